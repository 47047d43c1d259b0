#include "driver/input_check.h"

#include <cstdio>

namespace quillet {

bool input_format_ok(const WaveInfo& info) {
  if (info.bits_per_sample != 16 || info.channels == 0 ||
      info.block_align != 2 * info.channels) {
    std::printf("file format error.(16 bit only.\n\n");
    return false;
  }
  if (info.sample_rate < MIN_SAMPLE_RATE || info.sample_rate > MAX_SAMPLE_RATE) {
    std::printf("file format error.(sample rate.\n");
    return false;
  }
  return true;
}

int input_frame_count(const WaveInfo& info) {
  if (info.block_align == 0 || info.data_bytes <= 0) return 0;
  return info.data_bytes / info.block_align;
}

}  // namespace quillet
