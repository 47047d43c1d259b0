// Time of a full pitch analysis (flag "G") of a 4-second 44100 Hz voice. The
// analysis shares its per-step work out among threads: "Time" is the wall
// time, "CPU" the processor time of all threads together.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>

#include "analysis/pitch_analysis.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace {

void BM_AnalysePitch4Seconds(benchmark::State& state) {
  quillet::test::SyntheticVoice voice;
  voice.f0 = 220.0;
  voice.sample_rate = 44100;
  voice.seconds = 4.0;
  voice.tail_frames = quillet::BLOCK_LENGTH;
  const quillet::SampleStore samples = quillet::test::synthetic_voice(voice);
  const int frames = quillet::test::synthetic_voice_frames(voice);
  quillet::FrequencyGrid grid;
  quillet::build_frequency_grid(grid, voice.sample_rate, quillet::BLOCK_LENGTH);
  const quillet::test::ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  {
    const quillet::test::SilencedStdout quiet;
    for (auto _ : state) {
      quillet::FrequencyList list =
          quillet::analyse_pitch(path, "G", samples, frames, voice.sample_rate, 1, grid);
      benchmark::DoNotOptimize(list.freq.data());
    }
  }
  state.counters["steps"] = frames / quillet::BLOCK_STEP + 1;
}
BENCHMARK(BM_AnalysePitch4Seconds)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
