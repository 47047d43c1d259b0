// Rendering speed of the resynthesis loop: a one-second note (44100 output
// samples) from a steady synthetic voice, with a fixed head, a stretch, a
// pitch change and a modulation blend.
#include <benchmark/benchmark.h>

#include "support/synthetic_voice.h"
#include "synth/resynthesis.h"
#include "synth/spline.h"

namespace quillet {
namespace {

struct BenchNote {
  SampleStore store;
  FrequencyList list;
  RenderParams params;
};

BenchNote one_second_note() {
  test::SyntheticVoice voice;
  voice.f0 = 220.0;
  voice.seconds = 1.2;
  voice.tail_frames = BLOCK_LENGTH;
  BenchNote note;
  note.store = test::synthetic_voice(voice);
  const int frames = test::synthetic_voice_frames(voice);

  note.list.freq_avg = 220.0;
  note.list.length = frames / BLOCK_STEP + 1;
  note.list.freq.assign(static_cast<std::size_t>(note.list.length) + 1, 220.0);
  for (std::size_t k = 0; k < note.list.freq.size(); ++k) note.list.freq[k] += 0.1 * (k % 7);
  note.list.amp.assign(note.list.freq.size(), 1.0);

  RenderParams& p = note.params;
  p.flags = "";
  p.offset_samples = 1;
  p.sample_count = frames - 2000;
  p.fixed_in = 4410.0;
  p.fixed_out = 4410.0;
  p.time_factor = (44100.0 - 4410.0) / (p.sample_count - 4410.0);
  p.input_step = 1.0 / p.time_factor;
  p.out_len = 44100;
  p.avg_freq = 220.0;
  p.target_freq = 275.0;
  p.modulation = 80.0;
  p.aperiodic_floor = 0.5;
  p.bend_last = note.list.length;
  p.bend_freq.assign(static_cast<std::size_t>(p.bend_last) + 1, 275.0);
  return note;
}

// The argument is the number of threads.
void BM_RenderOneSecondNote(benchmark::State& state) {
  const BenchNote note = one_second_note();
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    RenderedSignals out = resynthesize(note.params, note.store, 1, note.list, threads);
    benchmark::DoNotOptimize(out.voiced.data());
    benchmark::DoNotOptimize(out.aperiodic.data());
  }
  state.SetItemsProcessed(state.iterations() * note.params.out_len);
}
BENCHMARK(BM_RenderOneSecondNote)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A block solved whole, and a block made from the one a block step before
// it, as the loop makes them while it walks forward.
void BM_LoadSplineBlock(benchmark::State& state) {
  const BenchNote note = one_second_note();
  const bool from_earlier = state.range(0) != 0;
  SweptBlock swept;
  SweptBlock unused;
  int origin = 0;
  for (auto _ : state) {
    load_swept_block(swept, from_earlier ? swept : unused, note.store, origin, 1);
    benchmark::DoNotOptimize(swept.window.data());
    origin = origin + BLOCK_STEP < 40000 ? origin + BLOCK_STEP : 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoadSplineBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillet
