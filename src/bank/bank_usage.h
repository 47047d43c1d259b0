// The tool's usage text and its one-line complaints about bad usage.
#pragma once

#include <string>

namespace quillet {

inline constexpr int EXIT_BAD_USAGE = 2;

// The whole usage text, ending in a newline.
const char* bank_usage_text();

// Prints "quillet-bank: REASON" and a pointer to --help on standard error and
// returns EXIT_BAD_USAGE.
int usage_error(const std::string& reason);

// Reads a whole decimal number in [low, high] from text.
bool read_count(const std::string& text, int low, int high, int* value);

}  // namespace quillet
