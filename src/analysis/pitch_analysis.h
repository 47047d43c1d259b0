// Pitch analysis of a whole input: the frequency list, read from its side
// files or analysed in three passes and written back.
#pragma once

#include <string>

#include "analysis/frequency_grid.h"
#include "core/frequency_list.h"
#include "core/wave_info.h"

namespace quillet {

inline constexpr double VOICED_LIMIT_HZ = 1000.0;
inline constexpr double SMOOTH_LIMIT_HZ = 86.1328125;

FrequencyList analyse_pitch(const std::string& path, const std::string& flags,
                            const SampleStore& samples, int frame_count, int sample_rate,
                            int channels, const FrequencyGrid& grid);

}  // namespace quillet
