#include "driver/input_check.h"

#include <cstdio>

namespace quillet {

FormatProblem input_format_problem(const WaveInfo& info) {
  if (info.bits_per_sample != 16 || info.channels == 0 || info.block_align != 2 * info.channels)
    return FormatProblem::not_16_bit;
  if (info.sample_rate < MIN_SAMPLE_RATE || info.sample_rate > MAX_SAMPLE_RATE)
    return FormatProblem::sample_rate;
  return FormatProblem::none;
}

const char* format_problem_text(FormatProblem problem) {
  switch (problem) {
    case FormatProblem::none: return "no problem";
    case FormatProblem::not_16_bit: return "not 16-bit samples in whole frames";
    case FormatProblem::sample_rate: return "sample rate out of range";
  }
  return "unknown problem";
}

bool input_format_ok(const WaveInfo& info) {
  const FormatProblem problem = input_format_problem(info);
  if (problem == FormatProblem::not_16_bit) std::printf("file format error.(16 bit only.\n\n");
  if (problem == FormatProblem::sample_rate) std::printf("file format error.(sample rate.\n");
  return problem == FormatProblem::none;
}

int input_frame_count(const WaveInfo& info) {
  if (info.block_align == 0 || info.data_bytes <= 0) return 0;
  return info.data_bytes / info.block_align;
}

}  // namespace quillet
