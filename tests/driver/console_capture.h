// Captures what a piece of driver code prints on standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quillet::test {

template <typename Action>
std::string console_of(Action action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace quillet::test
