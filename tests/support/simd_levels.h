// The vector levels a test can run on this processor, for tests that compare
// every level's bits with the plain code's.
#pragma once

#include <vector>

#include "core/simd.h"

namespace quillet::test {

// plain, sse2 and, where the processor has it, avx2.
inline std::vector<SimdLevel> runnable_levels() {
  std::vector<SimdLevel> levels = {SimdLevel::plain, SimdLevel::sse2};
  if (choose_simd_level(nullptr, processor_has_avx2()) == SimdLevel::avx2) {
    levels.push_back(SimdLevel::avx2);
  }
  return levels;
}

}  // namespace quillet::test
