// Where the tests find the built program and a scratch folder of their own.
#pragma once

#include <string>

namespace quillet::test {

// Path of the quillet executable built alongside the tests.
inline std::string quillet_binary() { return QUILLET_BINARY; }

}  // namespace quillet::test
