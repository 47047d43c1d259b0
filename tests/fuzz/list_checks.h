// What every frequency list read back from a side file must hold.
#pragma once

#include <cmath>

#include "core/constants.h"
#include "core/frequency_list.h"
#include "fuzz_input.h"

namespace quillet::fuzz {

inline void check_read_list(const FrequencyList& list) {
  QUILLET_FUZZ_CHECK(list.length > 0);
  QUILLET_FUZZ_CHECK(list.step == BLOCK_STEP);
  QUILLET_FUZZ_CHECK(std::isfinite(list.freq_avg) && list.freq_avg > 0.0);
  QUILLET_FUZZ_CHECK(list.freq.size() == static_cast<std::size_t>(list.length) + 1);
  QUILLET_FUZZ_CHECK(list.amp.size() == list.freq.size());
  for (std::size_t i = 0; i < list.freq.size(); ++i) {
    QUILLET_FUZZ_CHECK(std::isfinite(list.freq[i]) && list.freq[i] > 0.0);
    QUILLET_FUZZ_CHECK(std::isfinite(list.amp[i]));
  }
  QUILLET_FUZZ_CHECK(list.freq.back() == list.freq[list.freq.size() - 2]);
}

}  // namespace quillet::fuzz
