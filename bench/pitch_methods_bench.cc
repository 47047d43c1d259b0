// Both pitch analyses of the same 4-second 44100 Hz voice: the renderer's
// (flag "G", which shares its steps out among threads) and the accurate one
// (one thread). "Time" is the wall time, "CPU" the processor time of all
// threads together.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>

#include "analysis/accurate_pitch.h"
#include "analysis/pitch_analysis.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace {

struct FourSeconds {
  quillet::test::SyntheticVoice voice;
  quillet::SampleStore samples;
  int frames = 0;
  quillet::FrequencyGrid grid;

  FourSeconds() {
    voice.f0 = 220.0;
    voice.sample_rate = 44100;
    voice.seconds = 4.0;
    voice.tail_frames = quillet::BLOCK_LENGTH;
    samples = quillet::test::synthetic_voice(voice);
    frames = quillet::test::synthetic_voice_frames(voice);
    quillet::build_frequency_grid(grid, voice.sample_rate, quillet::BLOCK_LENGTH);
  }
};

const FourSeconds& sound() {
  static const FourSeconds four;
  return four;
}

void BM_WrittenAnalysis4Seconds(benchmark::State& state) {
  const FourSeconds& s = sound();
  const quillet::test::ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  {
    const quillet::test::SilencedStdout quiet;
    for (auto _ : state) {
      quillet::FrequencyList list =
          quillet::analyse_pitch(path, "G", s.samples, s.frames, s.voice.sample_rate, 1, s.grid);
      benchmark::DoNotOptimize(list.freq.data());
    }
  }
  state.counters["steps"] = s.frames / quillet::BLOCK_STEP + 1;
}
BENCHMARK(BM_WrittenAnalysis4Seconds)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_AccurateAnalysis4Seconds(benchmark::State& state) {
  const FourSeconds& s = sound();
  for (auto _ : state) {
    quillet::FrequencyList list =
        quillet::analyse_pitch_accurate(s.samples, s.frames, s.voice.sample_rate, 1, s.grid);
    benchmark::DoNotOptimize(list.freq.data());
  }
  state.counters["steps"] = s.frames / quillet::BLOCK_STEP + 1;
}
BENCHMARK(BM_AccurateAnalysis4Seconds)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
