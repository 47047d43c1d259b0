// The format checks on a loaded input: 16-bit samples in whole frames of
// two bytes per channel, and a usable sample rate.
#pragma once

#include "core/wave_info.h"

namespace quillet {

inline constexpr uint32_t MIN_SAMPLE_RATE = 1102;
// Rates above this do not fit the signed rate the analysis and grid compute with.
inline constexpr uint32_t MAX_SAMPLE_RATE = 0x7FFFFFFFu;

enum class FormatProblem { none, not_16_bit, sample_rate };

// Why info describes input the run cannot use, printing nothing.
FormatProblem input_format_problem(const WaveInfo& info);

// A short plain-English reason, such as "sample rate out of range".
const char* format_problem_text(FormatProblem problem);

// True when info describes input the run can use. Otherwise prints the
// format message as a line and returns false.
bool input_format_ok(const WaveInfo& info);

// Number of sample frames in the input: data_bytes / block_align (0 when
// the record gives no whole frame).
int input_frame_count(const WaveInfo& info);

}  // namespace quillet
