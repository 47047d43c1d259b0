// The frequency list: the fundamental frequency of every 256-frame step of an input.
#pragma once

#include <cstdint>
#include <vector>

#include "core/constants.h"

namespace quillet {

inline constexpr double UNVOICED_HZ = 55.0;

struct FrequencyList {
  double freq_avg = UNVOICED_HZ;
  int32_t step = BLOCK_STEP;
  int32_t length = 0;         // number of steps listed
  std::vector<double> freq;   // length + 1 entries; the last repeats entry length - 1
  std::vector<double> amp;    // length + 1 entries; the last repeats entry length - 1
};

}  // namespace quillet
