// The format record of a loaded input and the sample store that holds its samples.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

// Format of the loaded input. The first six fields have the order and widths
// of the 16-byte body of a WAVE fmt chunk.
struct WaveInfo {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint32_t byte_rate = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
  int32_t data_bytes = 0;  // byte length of the sound data
};

// Signed 16-bit samples, frames interleaved by channel, followed by a zero tail
// of pad_frames frames (the driver asks for BLOCK_LENGTH). Sample c of frame i
// is element i * channels + c. When the stored data is not 16-bit the bytes are
// kept as they were (two bytes per element, little-endian, zero-padded).
using SampleStore = std::vector<int16_t>;

}  // namespace quillet
