// The render parameters from arbitrary command words. The first 10 bytes
// give the input (3 bytes frame count, 4 bytes sample rate, 2 bytes average
// frequency, 1 byte unused); the rest are the words from the pitch word on,
// one per line. Bend curves longer than 2^22 points (a huge tempo) are left
// out, as a harness that ran them would only measure memory.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/frequency_grid.h"
#include "core/constants.h"
#include "driver/command_line.h"
#include "driver/input_check.h"
#include "driver/pitch_target.h"
#include "driver/run.h"
#include "driver/timing.h"
#include "fuzz_input.h"

namespace {

constexpr std::size_t HEAD_BYTES = 10;
constexpr std::size_t MAX_WORDS = 64;
constexpr int MAX_BEND_POINTS = 1 << 22;

uint32_t bytes_value(const uint8_t* data, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | data[i];
  return value;
}

std::vector<std::string> split_words(const uint8_t* data, std::size_t size) {
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size && words.size() <= MAX_WORDS; ++i) {
    if (data[i] == '\n') {
      words.emplace_back();
    } else {
      words.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (words.size() > MAX_WORDS) words.resize(MAX_WORDS);
  return words;
}

const quillet::FrequencyGrid& grid_for(int32_t sample_rate) {
  static quillet::FrequencyGrid grid;
  static int32_t built_for = -1;
  if (built_for != sample_rate) {
    quillet::build_frequency_grid(grid, sample_rate, quillet::BLOCK_LENGTH);
    built_for = sample_rate;
  }
  return grid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace quillet;
  if (size < HEAD_BYTES) return 0;
  WaveInfo info;
  info.format_tag = 1;
  info.channels = 1;
  info.block_align = 2;
  info.bits_per_sample = 16;
  info.data_bytes = static_cast<int32_t>(bytes_value(data, 3) * 2);
  const uint32_t raw_rate = bytes_value(data + 3, 4);
  info.sample_rate = raw_rate < MIN_SAMPLE_RATE ? MIN_SAMPLE_RATE : (raw_rate > MAX_SAMPLE_RATE ? MAX_SAMPLE_RATE : raw_rate);
  const double avg_freq = 55.0 + bytes_value(data + 7, 2) * (945.0 / 65535.0);

  const std::vector<std::string> words = split_words(data + HEAD_BYTES, size - HEAD_BYTES);
  std::vector<const char*> argv = {"quillet", "input.wav", "output.wav"};
  for (const std::string& word : words) argv.push_back(word.c_str());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  if (argc < MIN_ARGC) return 0;

  RenderParams params;
  params.flags = flags_word(argc, argv.data());
  params.sample_count = input_frame_count(info);
  params.avg_freq = avg_freq;
  params.rate_ratio = static_cast<double>(info.sample_rate) / static_cast<double>(OUTPUT_RATE);
  const FrequencyGrid& grid = grid_for(static_cast<int32_t>(info.sample_rate));
  if (!derive_note_length(argc, argv.data(), info, grid, params)) return 0;
  QUILLET_FUZZ_CHECK(params.out_len > 0 && params.out_len <= MAX_OUT_LEN);
  QUILLET_FUZZ_CHECK(params.offset_samples >= 0);

  RenderParams spacing = params;
  set_bend_spacing(bend_words(argc, argv.data()), spacing);
  if (spacing.bend_last > MAX_BEND_POINTS) return 0;
  derive_bend_and_loop(argc, argv.data(), params);
  QUILLET_FUZZ_CHECK(params.bend_last >= 0);
  QUILLET_FUZZ_CHECK(params.bend_freq.size() == static_cast<std::size_t>(params.bend_last) + 1);
  QUILLET_FUZZ_CHECK(params.aperiodic_floor >= 0.0 && params.aperiodic_floor <= 1.0);
  return 0;
}
