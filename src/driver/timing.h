// Timing of a note: which stretch of the input is used (offset, end blank),
// the unstretched head (fixed length), the required output length, the time
// factor and the output length, with their console lines.
#pragma once

#include <cstdint>

#include "core/render_params.h"

namespace quillet {

// Longest output the run renders, in output samples.
inline constexpr int MAX_OUT_LEN = 1 << 30;

// Fixed heads shorter than this many input samples are ignored.
inline constexpr double MIN_FIXED_SAMPLES = 128.0;

// The timing words of the command line, each nullptr when the argument count
// is below the one at which the word is read.
struct TimingWords {
  const char* time_percent = nullptr;    // argument 4, always
  const char* offset = nullptr;          // argument 6, argc >= 8
  const char* length_require = nullptr;  // argument 7, argc >= 8
  const char* fixed_length = nullptr;    // argument 8, argc >= 9
  const char* end_blank = nullptr;       // argument 9, argc >= 10
  const char* volume = nullptr;          // argument 10, argc >= 11
  const char* modulation = nullptr;      // argument 11, argc >= 12
};

TimingWords timing_words(int argc, const char* const* argv);

struct TimingInput {
  TimingWords words;
  uint32_t sample_rate = 0;
  int frame_count = 0;  // sample frames in the whole input
};

// Offset in input samples of an offset in milliseconds (never below 0).
int offset_in_samples(double sample_rate, double offset_ms);

// First half, before the pitch target: fixed length, end blank, volume,
// modulation, time percent, offset and length_require. Expects
// params.rate_ratio and params.sample_count (the whole input) to be set.
// Fills fixed_in, fixed_out, offset_samples, sample_count, volume and
// modulation, and time_percent. Returns false, after printing why, when
// nothing is left to render.
bool read_timing_arguments(const TimingInput& input, RenderParams& params, double& time_percent);

// Second half, once pitch_percent is known: the no-stretch test,
// time_factor, input_step and out_len with the length line. Returns false,
// after printing why, when the output would be empty or too long.
bool settle_output_length(double time_percent, RenderParams& params);

}  // namespace quillet
