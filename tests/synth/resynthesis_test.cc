#include "synth/resynthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/synthetic_voice.h"

namespace quillet {
namespace {

// A deterministic, jagged mono signal of frames frames with the zero tail.
SampleStore jagged_store(int frames) {
  SampleStore store(static_cast<std::size_t>(frames) + BLOCK_LENGTH, 0);
  for (int i = 0; i < frames; ++i) store[i] = static_cast<int16_t>((i * 7919) % 20001 - 10000);
  return store;
}

// A mono store that repeats the jagged pattern every period frames.
SampleStore periodic_store(int frames, int period) {
  SampleStore store(static_cast<std::size_t>(frames) + BLOCK_LENGTH, 0);
  for (int i = 0; i < frames; ++i) {
    store[i] = static_cast<int16_t>(((i % period) * 7919) % 20001 - 10000);
  }
  return store;
}

FrequencyList constant_list(double hz, int steps) {
  FrequencyList list;
  list.freq_avg = hz;
  list.length = steps;
  list.freq.assign(static_cast<std::size_t>(steps) + 1, hz);
  list.amp.assign(static_cast<std::size_t>(steps) + 1, 1.0);
  return list;
}

// T = 1, R = 1, no fixed head, target = average, modulation 100.
RenderParams plain_params(double avg_hz, int offset, int sample_count, int out_len) {
  RenderParams params;
  params.flags = "";
  params.avg_freq = avg_hz;
  params.target_freq = avg_hz;
  params.offset_samples = offset;
  params.sample_count = sample_count;
  params.out_len = out_len;
  params.bend_last = (sample_count + offset) / BLOCK_STEP + 2;
  params.bend_freq.assign(static_cast<std::size_t>(params.bend_last) + 1, avg_hz);
  return params;
}

void set_time_factor(RenderParams& params, double time_factor) {
  params.time_factor = time_factor;
  params.input_step = params.rate_ratio / time_factor;
}

void set_fixed_head(RenderParams& params, double fixed_in) {
  params.fixed_in = fixed_in;
  params.fixed_out = fixed_in / params.rate_ratio;
}

// Renders with the progress lines captured.
RenderedSignals render_quietly(const RenderParams& params, const SampleStore& store,
                               const FrequencyList& list, std::string* progress = nullptr) {
  testing::internal::CaptureStdout();
  RenderedSignals signals = resynthesize(params, store, 1, list);
  std::fflush(stdout);
  const std::string printed = testing::internal::GetCapturedStdout();
  if (progress != nullptr) *progress = printed;
  return signals;
}

double largest_magnitude(const std::vector<double>& values, int begin, int end) {
  double largest = 0.0;
  for (int i = begin; i < end; ++i) largest = std::max(largest, std::fabs(values[i]));
  return largest;
}

TEST(TimeMapTest, FixedHeadTransitionJoinsTheTwoSpeeds) {
  for (double rate : {1.0, 48000.0 / 44100.0}) {
    for (double t : {0.25, 0.5, 0.9, 1.5, 2.0, 5.0, 20.0}) {
      RenderParams params = plain_params(200.0, 7, 100000, 5000);
      params.rate_ratio = rate;
      set_time_factor(params, t);
      set_fixed_head(params, 1000.0 * rate);  // F = 1000 output samples
      const TimeMap map = make_time_map(params);
      for (int n = 0; n < 872; ++n) {
        const InputPlace place = map_output_sample(map, n);
        ASSERT_EQ(place.pos, n * rate + 7.0) << n;
        ASSERT_EQ(place.adv, rate) << n;
      }
      for (int n = 0; n < 1600; ++n) {
        const InputPlace here = map_output_sample(map, n);
        const InputPlace next = map_output_sample(map, n + 1);
        ASSERT_LE(std::fabs(next.pos - here.pos - here.adv), 0.03 * rate) << t << " " << n;
      }
      // The stretched part starts at F - 1 + 128 / T and runs at R / T.
      const InputPlace start = map_output_sample(map, 1127);
      EXPECT_NEAR(start.pos, (1000.0 - 1.0 + 128.0 / t) * rate + 7.0, 1e-9);
      EXPECT_EQ(start.adv, rate / t);
      const InputPlace later = map_output_sample(map, 1427);
      EXPECT_NEAR(later.pos - start.pos, 300.0 * rate / t, 1e-9);
      // Halfway through the transition the speed is halfway between.
      EXPECT_NEAR(map_output_sample(map, 999).adv, (rate + rate / t) / 2.0, 0.01 * rate);
    }
  }

  // Without a fixed head: pos = n / T x R + offset.
  RenderParams params = plain_params(200.0, 3, 100000, 5000);
  set_time_factor(params, 4.0);
  const TimeMap plain = make_time_map(params);
  EXPECT_EQ(map_output_sample(plain, 10).pos, 5.5);
  EXPECT_EQ(map_output_sample(plain, 10).adv, 0.25);

  // A head shorter than 128 samples starts inside the transition: with T = 1
  // and F = 100.5, h = 27 and pos = (100.5 - 128 + 27) + offset.
  set_time_factor(params, 1.0);
  set_fixed_head(params, 128.0);
  params.fixed_out = 100.5;
  EXPECT_EQ(map_output_sample(make_time_map(params), 0).pos, -0.5 + 3.0);
}

TEST(ResynthesisTest, UnchangedTimeAndPitchReproduceTheInput) {
  const SampleStore store = jagged_store(8000);
  FrequencyList list = constant_list(300.0, 40);
  for (int k = 0; k < 40; k += 3) list.freq[k] = 150.0 + 10.0 * k;  // a moving local pitch
  const RenderParams params = plain_params(300.0, 1000, 5200, 5000);
  std::string progress;
  const RenderedSignals out = render_quietly(params, store, list, &progress);

  ASSERT_EQ(out.voiced.size(), 5000u + 3073u);
  ASSERT_EQ(out.aperiodic.size(), out.voiced.size());
  for (int n = 0; n < 5000; ++n) ASSERT_EQ(out.voiced[n], store[n + 1000]) << n;
  EXPECT_EQ(largest_magnitude(out.voiced, 5000, 8073), 0.0);
  EXPECT_EQ(largest_magnitude(out.aperiodic, 5000, 8073), 0.0);
  EXPECT_GT(largest_magnitude(out.aperiodic, 0, 5000), 100.0);

  // Positions 1000 .. 5999 cross blocks 3 .. 23; block 5 starts at n = 280.
  EXPECT_EQ(progress.rfind("3 -> 0  \r4 -> 0  \r5 -> 1  \r6 -> 2  \r", 0), 0u) << progress;
  EXPECT_EQ(std::count(progress.begin(), progress.end(), '\r'), 21);
  EXPECT_NE(progress.find("23 -> 19  \r"), std::string::npos);
}

TEST(ResynthesisTest, OctaveUpReadsTwiceAsFastAndFallsBackByOneLag) {
  // 441 Hz gives a lag of exactly 100 frames; inc = 1, so phi = n mod 100 + 1.
  const SampleStore store = jagged_store(8000);
  const FrequencyList list = constant_list(441.0, 40);
  RenderParams params = plain_params(441.0, 500, 3000, 2000);
  std::fill(params.bend_freq.begin(), params.bend_freq.end(), 882.0);
  const RenderedSignals out = render_quietly(params, store, list);
  for (int n = 0; n < 2000; ++n) {
    const int phase = n % 100 + 1;
    const int head = n + 500 + phase;
    const double c = 0.5 + 0.5 * std::cos(PI * phase / 100.0);
    const double expected = store[head] * c + (1.0 - c) * store[head - 100];
    ASSERT_NEAR(out.voiced[n], expected, 1e-9) << n;
  }

}

TEST(ResynthesisTest, ModulationBlendsAverageAndLocalPitch) {
  // Local pitch 441 Hz (lag 100), average 294 Hz, target 441 Hz: following
  // the average moves the head by 0.5 per sample, following the local pitch
  // by 0; modulation m blends them to 0.5 m / 100.
  const SampleStore store = jagged_store(8000);
  const FrequencyList list = constant_list(441.0, 40);
  RenderParams params = plain_params(294.0, 700, 3000, 2000);
  std::fill(params.bend_freq.begin(), params.bend_freq.end(), 441.0);
  struct Blend {
    double modulation;
    int samples_per_frame;  // the head gains one frame every this many samples
  };
  for (const Blend blend : {Blend{50.0, 4}, Blend{200.0, 1}, Blend{100.0, 2}}) {
    params.modulation = blend.modulation;
    const RenderedSignals out = render_quietly(params, store, list);
    for (int n = blend.samples_per_frame - 1; n < 2000; n += blend.samples_per_frame) {
      const int phase = ((n + 1) / blend.samples_per_frame - 1) % 100 + 1;
      const int head = n + 700 + phase;
      const double c = 0.5 + 0.5 * std::cos(PI * phase / 100.0);
      const double expected = store[head] * c + (1.0 - c) * store[head - 100];
      ASSERT_NEAR(out.voiced[n], expected, 1e-9) << blend.modulation << " " << n;
    }
  }
}

TEST(ResynthesisTest, ListEntriesOutsideTheVoicedRangeFallBackToTheAverage) {
  // With modulation 0 the head follows target / local frequency: only where
  // every local frequency is the average does the input come back unchanged.
  const SampleStore store = jagged_store(8000);
  RenderParams params = plain_params(200.0, 0, 4000, 3000);
  params.modulation = 0.0;
  FrequencyList list = constant_list(200.0, 40);
  for (int k = 0; k < 40; ++k) list.freq[k] = (k % 2 == 0) ? 55.0 : 600.5;
  const RenderedSignals replaced = render_quietly(params, store, list);
  for (int n = 0; n < 3000; ++n) ASSERT_EQ(replaced.voiced[n], store[n]) << n;

  list.freq[5] = 600.0;  // exactly 3 x average is used
  const RenderedSignals used = render_quietly(params, store, list);
  for (int n = 0; n < 1024; ++n) ASSERT_EQ(used.voiced[n], store[n]) << n;
  EXPECT_GT(largest_magnitude(used.voiced, 1024, 1536), 0.0);
  double differs = 0.0;
  for (int n = 1024; n < 1536; ++n) {
    differs = std::max(differs, std::fabs(used.voiced[n] - store[n]));
  }
  EXPECT_GT(differs, 100.0);

  // The lag: one period of the input rate, doubled until it reaches 32.
  EXPECT_EQ(voiced_lag(44100.0, 2000.0), 44.1);
  EXPECT_EQ(voiced_lag(44100.0, 1000.0), 44.1);
  EXPECT_EQ(voiced_lag(48000.0, 480.0), 100.0);
  EXPECT_EQ(voiced_lag(44100.0, 0.0), INFINITY);
  EXPECT_LT(voiced_lag(44100.0, -100.0), 0.0);  // returns instead of doubling forever
}

TEST(ResynthesisTest, AperiodicPartCancelsAnInputThatRepeatsEveryLag) {
  const SampleStore store = periodic_store(20000, 100);
  const FrequencyList list = constant_list(441.0, 100);
  for (double t : {1.0, 2.0, 0.7}) {
    for (const char* flags : {"", "g60"}) {
      RenderParams params = plain_params(441.0, 4000, 9000, 4000);
      params.flags = flags;
      set_time_factor(params, t);
      const RenderedSignals out = render_quietly(params, store, list);
      EXPECT_GT(largest_magnitude(out.voiced, 0, 4000), 5000.0);
      EXPECT_LT(largest_magnitude(out.aperiodic, 0, 4000), 1e-6) << t << flags;
    }
  }
  // A jagged input that does not repeat leaves a strong aperiodic part; with
  // the floor at 0 and no fixed head it is silent.
  const SampleStore noise = jagged_store(20000);
  RenderParams params = plain_params(441.0, 4000, 9000, 4000);
  EXPECT_GT(largest_magnitude(render_quietly(params, noise, list).aperiodic, 0, 4000), 1000.0);
  params.aperiodic_floor = 0.0;
  EXPECT_EQ(largest_magnitude(render_quietly(params, noise, list).aperiodic, 0, 7073), 0.0);

  // Over a fixed head of 10000 samples with floor 0: full level first, silent
  // from 40 ms before the head's end.
  set_fixed_head(params, 10000.0);
  set_time_factor(params, 1.5);
  params.sample_count = 15000;
  params.out_len = 12000;
  const RenderedSignals fixed = render_quietly(params, noise, list);
  EXPECT_GT(largest_magnitude(fixed.aperiodic, 0, 7354), 1000.0);
  EXPECT_EQ(largest_magnitude(fixed.aperiodic, 8236, 12000), 0.0);
}

TEST(ResynthesisTest, SawtoothTestSignalAndPitchBendPoints) {
  const SampleStore store = jagged_store(8000);
  FrequencyList list = constant_list(441.0, 40);
  for (int k = 10; k < 40; ++k) list.freq[k] = 55.0;
  RenderParams params = plain_params(441.0, 0, 6000, 5000);
  params.saw_test = true;
  const RenderedSignals out = render_quietly(params, store, list);
  // 441 Hz: t = n / 100; both list entries voiced up to block 9.
  EXPECT_EQ(out.voiced[25], -8192.0);
  EXPECT_EQ(out.voiced[150], 0.0);
  EXPECT_EQ(out.voiced[199], (0.99 - 0.5) * 32768.0);
  EXPECT_EQ(out.voiced[100], -16384.0);
  EXPECT_EQ(largest_magnitude(out.voiced, 0, 2304), 16384.0);
  EXPECT_EQ(largest_magnitude(out.voiced, 2560, 5000), 0.0);  // both entries 55
  EXPECT_GT(largest_magnitude(out.voiced, 2304, 2560), 0.0);  // fading out

  // Bend points every 256 output samples: sample 128 is halfway.
  params.bend_mode = 1;
  params.bend_step = 256;
  params.bend_freq = {441.0, 882.0, 882.0};
  params.bend_last = 2;
  params.out_len = 300;
  const RenderedSignals bent = render_quietly(params, store, list);
  double t = 128.0 * 661.5 / 44100.0;
  EXPECT_NEAR(bent.voiced[128], (t - std::floor(t) - 0.5) * 32768.0, 1e-6);
  t = 256.0 * 882.0 / 44100.0;
  EXPECT_NEAR(bent.voiced[256], (t - std::floor(t) - 0.5) * 32768.0, 1e-6);
  // Past the last bend point the curve holds its last value.
  t = 299.0 * 882.0 / 44100.0;
  EXPECT_NEAR(bent.voiced[299], (t - std::floor(t) - 0.5) * 32768.0, 1e-6);

  // Points every 256 input frames follow a raised cosine: halfway between two
  // block starts the target is halfway between their points.
  params.bend_mode = 0;
  const RenderedSignals curved = render_quietly(params, store, list);
  t = 128.0 * 661.5 / 44100.0;
  EXPECT_NEAR(curved.voiced[128], (t - std::floor(t) - 0.5) * 32768.0, 1e-6);
  t = 64.0 * (441.0 + 441.0 * (1.0 - std::cos(PI / 4.0)) / 2.0) / 44100.0;
  EXPECT_NEAR(curved.voiced[64], (t - std::floor(t) - 0.5) * 32768.0, 1e-6);
}

TEST(ResynthesisTest, StopsWhereTheUsedStretchEnds) {
  const SampleStore store = jagged_store(8000);
  const FrequencyList list = constant_list(300.0, 40);
  const RenderParams params = plain_params(300.0, 10, 100, 500);
  const RenderedSignals out = render_quietly(params, store, list);
  for (int n = 0; n <= 100; ++n) ASSERT_EQ(out.voiced[n], store[n + 10]) << n;
  EXPECT_EQ(largest_magnitude(out.voiced, 101, 500), 0.0);
  EXPECT_EQ(largest_magnitude(out.aperiodic, 101, 500), 0.0);
  EXPECT_NE(store[111], 0);

  // Nothing to render: a zero or negative length gives only the spare tail.
  RenderParams empty = params;
  empty.out_len = -5;
  const RenderedSignals none = render_quietly(empty, store, list);
  EXPECT_EQ(none.voiced.size(), 3073u);
  EXPECT_EQ(largest_magnitude(none.voiced, 0, 3073), 0.0);
}

TEST(ResynthesisTest, AbsurdSettingsFinishWithoutReadingOutside) {
  const SampleStore store = jagged_store(6000);
  const FrequencyList list = constant_list(300.0, 30);

  // A pitch percent of 1e12: the head moves 1e10 frames per sample.
  RenderParams params = plain_params(300.0, 100, 5000, 3000);
  std::fill(params.bend_freq.begin(), params.bend_freq.end(), 300.0 * 1e10);
  RenderedSignals out = render_quietly(params, store, list);
  for (int n = 0; n < 3000; ++n) ASSERT_TRUE(std::isfinite(out.voiced[n])) << n;

  // A time percent of 1e-9 with a fixed head over an end far beyond the
  // store: the head part is untouched, the transition leaps away and stops.
  params = plain_params(300.0, 100, INT_MAX - 200, 5000);
  set_time_factor(params, 1e-11);
  set_fixed_head(params, 1000.0);
  out = render_quietly(params, store, list);
  for (int n = 0; n < 872; ++n) ASSERT_EQ(out.voiced[n], store[n + 100]) << n;
  for (double v : out.aperiodic) ASSERT_FALSE(std::isinf(v));

  // A list and curve with nothing usable in them: no average, empty arrays.
  FrequencyList hollow;
  hollow.freq_avg = 0.0;
  params = plain_params(0.0, 0, 5000, 1000);
  params.bend_freq.clear();
  params.modulation = 50.0;
  out = render_quietly(params, store, hollow);
  EXPECT_EQ(out.voiced.size(), 1000u + 3073u);
  params.avg_freq = -50.0;
  params.target_freq = -50.0;
  out = render_quietly(params, store, hollow);
  EXPECT_EQ(out.voiced.size(), 1000u + 3073u);

  // The phase wrap: huge values are reduced, small ones loop as usual.
  EXPECT_EQ(wrap_voiced_phase(6399.5, 100.0), 99.5);
  EXPECT_EQ(wrap_voiced_phase(6400.5, 100.0), 0.5);
  EXPECT_EQ(wrap_voiced_phase(100.0, 100.0), 100.0);
  EXPECT_EQ(wrap_voiced_phase(-100.0, 100.0), 0.0);
  EXPECT_EQ(wrap_voiced_phase(-1e18, 100.0), 0.0);
  EXPECT_EQ(wrap_voiced_phase(5.0, 0.0), 5.0);
}

TEST(ResynthesisTest, LagUsesInputRatesAboveTheIntRange) {
  // 3 GHz input, 100 MHz pitch: L = 30, doubled to 60. With the readers at
  // rest the aperiodic part is D / 2 = (S(pos) - S(pos + L)) / 2.
  const SampleStore store = jagged_store(6000);
  const FrequencyList list = constant_list(1e8, 30);
  RenderParams params = plain_params(1e8, 2000, 5000, 1);
  params.rate_ratio = 3e9 / 44100.0;
  set_time_factor(params, 1.0);
  const RenderedSignals out = render_quietly(params, store, list);
  EXPECT_EQ(out.voiced[0], store[2000]);
  EXPECT_EQ(out.aperiodic[0], (store[2000] - store[2060]) / 2.0);
}

TEST(ResynthesisTest, PositionBeforeFrameZeroUsesBlockZero) {
  // A 1 MHz input with the shortest fixed head (128 frames, F = 5.6 samples)
  // and a long stretch starts the transition well before frame 0.
  const SampleStore store = jagged_store(20000);
  const FrequencyList list = constant_list(300.0, 90);
  RenderParams params = plain_params(300.0, 1, 15000, 3000);
  params.rate_ratio = 1000000.0 / 44100.0;
  set_time_factor(params, 20.0);
  set_fixed_head(params, 128.0);
  ASSERT_LT(map_output_sample(make_time_map(params), 0).pos, -256.0);
  std::string progress;
  const RenderedSignals out = render_quietly(params, store, list, &progress);
  EXPECT_EQ(progress.rfind("0 -> 0  \r", 0), 0u) << progress;
  EXPECT_EQ(progress.find("-"), progress.find("->"));  // no negative block index
  for (int n = 0; n < 3000; ++n) {
    ASSERT_TRUE(std::isfinite(out.voiced[n])) << n;
    ASSERT_TRUE(std::isfinite(out.aperiodic[n])) << n;
  }
  EXPECT_GT(largest_magnitude(out.voiced, 0, 3000), 1000.0);
}

}  // namespace
}  // namespace quillet
