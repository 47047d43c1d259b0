// Speed of the back end of a note: the post filter over a one-second note
// (44100 output samples) built from synthetic signals, and a whole one-second
// note through every phase from the command line with its frequency list
// already cached beside the input.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/constants.h"
#include "driver/run.h"
#include "filter/post_filter.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

constexpr int NOTE_LENGTH = 44100;

// The filter and the run print progress lines; the timings are taken with
// standard output sent to /dev/null. Returns the descriptor to restore.
int silence_stdout() {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  return saved;
}

void restore_stdout(int saved) {
  std::fflush(stdout);
  if (saved < 0) return;
  dup2(saved, STDOUT_FILENO);
  close(saved);
}

// Arguments of one post_filter call: the input is a voice at 220 Hz, voiced
// a voice at 275 Hz with the formants elsewhere, aperiodic white noise; a
// fixed head of 4410 samples, then a stretch of about 1.17 input samples per
// output sample.
struct FilterNote {
  SampleStore samples;
  std::vector<double> voiced;
  std::vector<double> aperiodic;
  std::vector<double> freq;
  std::vector<double> bend_freq;
  int sample_count = 0;
};

FilterNote filter_note() {
  test::SyntheticVoice input;
  input.seconds = 1.2;
  input.tail_frames = BLOCK_LENGTH;
  FilterNote note;
  note.samples = test::synthetic_voice(input);
  const int frames = test::synthetic_voice_frames(input);
  note.sample_count = frames - 2000;
  note.freq.assign(frames / BLOCK_STEP + 2, 220.0);
  for (std::size_t k = 0; k < note.freq.size(); ++k) note.freq[k] += 0.3 * (k % 5);
  note.bend_freq.assign(note.freq.size(), 275.0);

  test::SyntheticVoice rendered;
  rendered.f0 = 275.0;
  rendered.seconds = 1.0;
  rendered.formant1_hz = 500.0;
  rendered.formant2_hz = 1700.0;
  rendered.tail_frames = BLOCK_LENGTH;
  const std::vector<int16_t> voiced = test::synthetic_voice(rendered);
  note.voiced.assign(voiced.begin(), voiced.end());
  const std::vector<int16_t> noise = test::white_noise(NOTE_LENGTH, 800.0, 3, BLOCK_LENGTH);
  note.aperiodic.assign(noise.begin(), noise.end());
  return note;
}

void run_filter(const FilterNote& note, const std::string& flags) {
  std::vector<double> voiced = note.voiced;
  std::vector<double> aperiodic = note.aperiodic;
  const double peak = post_filter(voiced, aperiodic, NOTE_LENGTH, note.samples, 1,
                                  note.sample_count, 0, 4410.0, 17, 1.0, 1.0, note.bend_freq, 256,
                                  note.freq, 220.0, flags, 0);
  benchmark::DoNotOptimize(peak);
  benchmark::DoNotOptimize(voiced.data());
}

void BM_PostFilterOneSecond(benchmark::State& state) {
  const FilterNote note = filter_note();
  const int saved = silence_stdout();
  for (auto _ : state) run_filter(note, "L");
  restore_stdout(saved);
  state.SetItemsProcessed(state.iterations() * NOTE_LENGTH);
}
BENCHMARK(BM_PostFilterOneSecond)->Unit(benchmark::kMillisecond);

// The band split also filters the aperiodic signal: one more frame per hop.
void BM_PostFilterOneSecondBandSplit(benchmark::State& state) {
  const FilterNote note = filter_note();
  const int saved = silence_stdout();
  for (auto _ : state) run_filter(note, "Lx2v-12");
  restore_stdout(saved);
  state.SetItemsProcessed(state.iterations() * NOTE_LENGTH);
}
BENCHMARK(BM_PostFilterOneSecondBandSplit)->Unit(benchmark::kMillisecond);

// A whole note from the command line: a 1.5 s voice sung at A4 for 1000 ms
// with a fixed head of 100 ms; the first run writes the side file.
void BM_WholeNoteOneSecond(benchmark::State& state) {
  test::ScratchDir scratch;
  test::SyntheticVoice voice;
  voice.seconds = 1.5;
  const std::vector<int16_t> samples = test::synthetic_voice(voice);
  const std::string input = scratch.file("voice.wav");
  test::write_file_bytes(input, test::wav16(samples, 1, 44100));
  const std::string output = scratch.file("out.wav");
  const std::vector<std::string> words = {"quillet", input, output, "A4", "100", "B60", "0",
                                          "1000", "100", "0", "100", "100"};
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  const int argc = static_cast<int>(argv.size());
  const int saved = silence_stdout();
  run_quillet(argc, argv.data());
  for (auto _ : state) benchmark::DoNotOptimize(run_quillet(argc, argv.data()));
  restore_stdout(saved);
}
BENCHMARK(BM_WholeNoteOneSecond)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillet
