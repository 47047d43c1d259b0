#include "driver/run.h"

#include <cstdio>
#include <string>

#include "analysis/frequency_grid.h"
#include "analysis/pitch_analysis.h"
#include "audio_io/aiff.h"
#include "audio_io/wav.h"
#include "core/constants.h"
#include "driver/command_line.h"
#include "driver/input_check.h"
#include "driver/pitch_target.h"
#include "driver/post_process.h"
#include "core/render_params.h"
#include "driver/timing.h"
#include "synth/resynthesis.h"

namespace quillet {
namespace {

// Reads the input with the reader its name asks for and checks its format.
// Prints why and returns false when it cannot be used. A reader that met its
// sound data counts as loaded even when the store is empty (no channels, no
// frame size): the format check then refuses it with its own message.
bool load_input(const std::string& path, WaveInfo& info, SampleStore& samples) {
  const bool loaded = is_aiff_path(path) ? read_aiff(path, info, BLOCK_LENGTH, samples)
                                         : read_wav(path, info, BLOCK_LENGTH, samples);
  if (!loaded) {
    std::printf("file load error.\n");
    return false;
  }
  return input_format_ok(info);
}

}  // namespace

bool derive_note_length(int argc, const char* const* argv, const WaveInfo& info,
                        const FrequencyGrid& grid, RenderParams& params) {
  TimingInput timing;
  timing.words = timing_words(argc, argv);
  timing.sample_rate = info.sample_rate;
  timing.frame_count = input_frame_count(info);
  double time_percent = 100.0;
  if (!read_timing_arguments(timing, params, time_percent)) return false;
  set_pitch_target(argv[ARG_PITCH], grid, params);
  return settle_output_length(time_percent, params);
}

void derive_bend_and_loop(int argc, const char* const* argv, RenderParams& params) {
  const std::span<const char* const> bends = bend_words(argc, argv);
  set_bend_spacing(bends, params);
  build_bend_curve(bends, params);
  read_loop_flags(params);
}

int run_quillet(int argc, const char* const* argv) {
  RenderParams params;
  if (argc < MIN_ARGC) {
    print_usage();
    return -1;
  }
  params.flags = flags_word(argc, argv);
  const std::string input_path = argv[ARG_INPUT];
  WaveInfo info;
  SampleStore samples;
  if (!load_input(input_path, info, samples)) return -1;
  const int frame_count = input_frame_count(info);
  params.sample_count = frame_count;

  FrequencyGrid grid;
  build_frequency_grid(grid, static_cast<int32_t>(info.sample_rate), BLOCK_LENGTH);
  const FrequencyList list = analyse_pitch(input_path, params.flags, samples, frame_count,
                                           static_cast<int>(info.sample_rate), info.channels, grid);
  params.avg_freq = list.freq_avg;
  params.rate_ratio = static_cast<double>(info.sample_rate) / static_cast<double>(OUTPUT_RATE);

  if (!derive_note_length(argc, argv, info, grid, params)) return -1;
  derive_bend_and_loop(argc, argv, params);
  std::printf("\x8f\x88\x97\x9d\x8a\x4a\x8e\x6e\n");  // "処理開始" as a line

  RenderedSignals signals = resynthesize(params, samples, info.channels, list);
  return post_process_and_write(params, signals, samples, info.channels, list, argv[ARG_OUTPUT]);
}

}  // namespace quillet
