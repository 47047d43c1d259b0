#include "synth/resynthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/fixtures.h"
#include "support/pitch_meter.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using namespace test;

RenderedSignals render(const RenderParams& params, const SampleStore& store, const FrequencyList& list,
                       std::string* progress = nullptr, int threads = 1) {
  RenderedSignals signals;
  const std::string printed = console_of([&] { signals = resynthesize(params, store, 1, list, threads); });
  if (progress != nullptr) *progress = printed;
  return signals;
}

double largest_magnitude(const std::vector<double>& values, int begin, int end) {
  double largest = 0.0;
  for (int i = begin; i < end; ++i) largest = std::max(largest, std::fabs(values[i]));
  return largest;
}

TEST(TimeMapTest, FixedHeadTransitionJoinsTheTwoSpeeds) {
  const double r48 = 48000.0 / 44100.0;
  for (double rate : {1.0, r48}) {
    for (double t : {0.25, 0.9, 2.0, 5.0, 20.0}) {
      RenderParams params = plain_params(200.0, 7, 100000, 5000);
      params.rate_ratio = rate;
      set_timing(params, t, 1000.0);
      const TimeMap map = make_time_map(params);
      for (int n = 0; n < 1600; ++n) {
        const InputPlace here = map_output_sample(map, n);
        const InputPlace next = map_output_sample(map, n + 1);
        ASSERT_TRUE(n >= 872 || (here.pos == n * rate + 7.0 && here.adv == rate)) << n;
        ASSERT_LE(std::fabs(next.pos - here.pos - here.adv), 0.03 * rate) << t << " " << n;
      }
    }
  }
  // Worked out separately (offset 7, R = 48000 / 44100): transition start,
  // middle, end, first stretched sample (1/pi for 0.315 moves every one),
  // rows that catch regrouping K1, K2 or (h + 128) / T + F - 1, and
  // n / T x R without a head (n x R / T differs).
  const struct { double t, fixed_out; int n; double pos, adv; } pinned[] = {
      {2.0, 1000.0, 872, 956.1156462585035, 1.08843537414966},
      {2.0, 1000.0, 1000, 1082.3255823775437, 0.8146503546562893},
      {2.0, 1000.0, 1126, 1163.4608158423937, 0.5442383373837196},
      {2.0, 1000.0, 1127, 1164.0068027210884, 0.54421768707483},
      {0.4, 1000.5, 954, 1056.1023206839538, 1.462269368866027},
      {0.4, 1000.5, 1127, 1440.4746953299627, 2.721026484447481},
      {0.45, 130.5, 6, 13.015418938288269, 1.0888896349766741},
      {1.7, 130.5, 345, 285.60744297719094, 0.6402561024409764},
      {1.7, 0.0, 1002, 648.5366146458583, 0.6402561024409764},
  };
  for (const auto& p : pinned) {
    RenderParams params = plain_params(200.0, 7, 100000, 5000);
    params.rate_ratio = r48;
    set_timing(params, p.t, p.fixed_out);
    const InputPlace place = map_output_sample(make_time_map(params), p.n);
    EXPECT_TRUE(place.pos == p.pos && place.adv == p.adv) << p.t << " " << p.n;
  }
  // A head under 128 samples starts in the transition: h = trunc(128 - 100.5).
  RenderParams params = plain_params(200.0, 3, 100000, 5000);
  set_timing(params, 1.0, 100.5);
  EXPECT_EQ(map_output_sample(make_time_map(params), 0).pos, -0.5 + 3.0);
}

TEST(ResynthesisTest, UnchangedTimeAndPitchReproduceTheInputUpToItsEnd) {
  const SampleStore store = jagged_store(8000);
  FrequencyList list = constant_list(300.0, 40);
  for (int k = 0; k < 40; k += 3) list.freq[k] = 150.0 + 10.0 * k;  // a moving local pitch
  std::string progress;
  RenderParams params = plain_params(300.0, 1000, 4000, 5000);
  const RenderedSignals out = render(params, store, list, &progress);
  ASSERT_TRUE(out.voiced.size() == 5000u + 3073u && out.aperiodic.size() == out.voiced.size());
  // Positions 1000 .. 5000 are used; trunc(pos) = 5001 stops the loop.
  for (int n = 0; n <= 4000; ++n) ASSERT_EQ(out.voiced[n], store[n + 1000]) << n;
  ASSERT_NE(store[5001], 0);
  EXPECT_EQ(largest_magnitude(out.voiced, 4001, 8073), 0.0);
  EXPECT_EQ(largest_magnitude(out.aperiodic, 4001, 8073), 0.0);
  // Blocks 3 .. 19; block 5 starts at n = 280, block 19 at n = 3864.
  EXPECT_EQ(progress.rfind("3 -> 0  \r4 -> 0  \r5 -> 1  \r6 -> 2  \r", 0), 0u) << progress;
  EXPECT_EQ(std::count(progress.begin(), progress.end(), '\r'), 17);
  EXPECT_NE(progress.find("18 -> 14  \r19 -> 15  \r"), std::string::npos);
  params.out_len = -5;  // nothing to render: only the zero tail
  EXPECT_EQ(render(params, store, list).voiced, std::vector<double>(3073, 0.0));
}

TEST(ResynthesisTest, HeadSpeedFollowsTargetAverageAndModulation) {
  // Local pitch 441 Hz: the lag is exactly 100 frames. The head gains one
  // frame every `every` samples, so there it stands on whole frames and the
  // crossfade of two samples one lag apart is exact.
  const SampleStore store = jagged_store(8000);
  const FrequencyList list = constant_list(441.0, 40);
  const struct { double avg, target, modulation; int every; } cases[] = {
      {441.0, 882.0, 100.0, 1},  // an octave up: twice the speed
      {294.0, 441.0, 100.0, 2},  // the average's ratio: 0.5 frame per sample
      {294.0, 441.0, 50.0, 4},   // halfway to the local ratio (0)
      {294.0, 441.0, 200.0, 1},  // beyond the average's ratio
  };
  for (const auto& c : cases) {
    RenderParams params = plain_params(c.avg, 700, 3000, 2000);
    std::fill(params.bend_freq.begin(), params.bend_freq.end(), c.target);
    params.modulation = c.modulation;
    const RenderedSignals out = render(params, store, list);
    for (int n = c.every - 1; n < 2000; n += c.every) {
      const int phase = ((n + 1) / c.every - 1) % 100 + 1;
      const int head = n + 700 + phase;
      const double fade = 0.5 + 0.5 * std::cos(PI * phase / 100.0);
      ASSERT_EQ(out.voiced[n], store[head] * fade + (1.0 - fade) * store[head - 100])
          << c.modulation << " " << n;
    }
  }
}

TEST(ResynthesisTest, FullNoteMatchesValuesWorkedOutSeparately) {
  // 48 kHz input, T = 1.7, fixed head F = 3000.5, modulation 70, g60, floor
  // 0.4, list entries 55, 700 (> 3 x 214), 640.5 and 642 (= 3 x 214, used),
  // a rising bend every 256 input frames. The values come from a separate
  // implementation of the written loop in double precision.
  const SampleStore store = jagged_store(12000);
  FrequencyList list = constant_list(214.0, 59);
  for (int k = 0; k < 60; ++k) list.freq[k] = 200.0 + 7.0 * (k % 5);
  list.freq[3] = 55.0;
  list.freq[4] = 700.0;
  list.freq[5] = 640.5;
  list.freq[6] = 642.0;
  RenderParams params = plain_params(214.0, 50, 9000, 4000);
  params.rate_ratio = 48000.0 / 44100.0;
  set_timing(params, 1.7, 3000.5);
  params.modulation = 70.0;
  params.flags = "g60";
  params.aperiodic_floor = 0.4;
  for (std::size_t k = 0; k < params.bend_freq.size(); ++k) params.bend_freq[k] = 300.0 + 11.0 * k;
  std::string progress;
  const RenderedSignals out = render(params, store, list, &progress);
  const struct { int n; double voiced, aperiodic; } pinned[] = {
      {0, 303.6550064645237, 5030.387401394402},       // full aperiodic level
      {500, 2783.4719574075534, 2997.2603343844416},   // falling level; list 3
      {1044, 7625.067839961728, -350.844524820701},    // list 4 and 5
      {1234, -3360.024880145722, -382.8175414632167},  // list 5 and 6
      {2900, 4781.64775494737, -47.50697165940008},    // transition
      {3100, -4441.290190561001, -206.8075466477155},
      {3999, -6582.89915961838, 378.8418077018799},    // stretched
  };
  for (const auto& p : pinned) {
    EXPECT_EQ(out.voiced[p.n], p.voiced) << p.n;
    EXPECT_EQ(out.aperiodic[p.n], p.aperiodic) << p.n;
  }
  EXPECT_EQ(progress,
            "0 -> 0  \r1 -> 0  \r2 -> 1  \r3 -> 2  \r4 -> 3  \r5 -> 4  \r6 -> 5  \r7 -> 6  \r"
            "8 -> 7  \r9 -> 8  \r10 -> 9  \r11 -> 9  \r12 -> 10  \r13 -> 11  \r14 -> 13  \r"
            "15 -> 14  \r");
}

TEST(ResynthesisTest, AperiodicPartCancelsAnInputThatRepeatsEveryLag) {
  const SampleStore periodic = jagged_store(20000, 100);
  const FrequencyList list = constant_list(441.0, 100);
  for (double t : {1.0, 2.0, 0.7}) {
    for (const char* flags : {"", "g60"}) {
      RenderParams params = plain_params(441.0, 4000, 9000, 4000);
      params.flags = flags;
      set_timing(params, t);
      const RenderedSignals out = render(params, periodic, list);
      EXPECT_GT(largest_magnitude(out.voiced, 0, 4000), 5000.0);
      EXPECT_LT(largest_magnitude(out.aperiodic, 0, 4000), 1e-6) << t << flags;
    }
  }
}

// The sawtooth test signal at hz, fully voiced.
double saw(int n, double hz) {
  const double t = n * hz / 44100.0;
  return (t - std::floor(t) - 0.5) * 32768.0;
}

TEST(ResynthesisTest, SawtoothTestSignalAndPitchBendPoints) {
  const SampleStore store = jagged_store(8000);
  FrequencyList list = constant_list(441.0, 40);
  for (int k = 10; k < 40; ++k) list.freq[k] = 55.0;
  RenderParams params = plain_params(441.0, 0, 6000, 5000);
  params.saw_test = true;
  const RenderedSignals out = render(params, store, list);
  // 441 Hz: t = n / 100; voiced up to block 9, fading over block 9, silent after.
  EXPECT_TRUE(out.voiced[25] == -8192.0 && out.voiced[199] == (0.99 - 0.5) * 32768.0);
  EXPECT_EQ(out.voiced[35], -4915.200000000001);  // n x f / 44100, not f / 44100 x n
  EXPECT_EQ(largest_magnitude(out.voiced, 0, 2304), 16384.0);
  EXPECT_GT(largest_magnitude(out.voiced, 2304, 2560), 0.0);
  EXPECT_EQ(largest_magnitude(out.voiced, 2560, 5000), 0.0);

  // Points every 256 output samples: 128 is halfway; past the last point the
  // curve holds it. Points every 256 input frames follow the block weight.
  params.bend_freq = {441.0, 882.0, 882.0};
  params.out_len = 300;
  params.bend_mode = 1;
  const RenderedSignals bent = render(params, store, list);
  for (int n : {128, 256, 299}) EXPECT_EQ(bent.voiced[n], saw(n, n == 128 ? 661.5 : 882.0)) << n;
  params.bend_step = 300;  // (300 - r) x f[q] + r x f[q + 1], not f[q] + (f[q + 1] - f[q]) r
  params.bend_freq = {441.3, 882.7, 882.7};
  EXPECT_EQ(render(params, store, list).voiced[18], -10127.532199183672);
  params.bend_step = 256;
  params.bend_freq = {441.0, 882.0, 882.0};
  params.bend_mode = 0;
  const RenderedSignals curved = render(params, store, list);
  for (int n : {64, 128}) {
    const double w = std::cos(n * (PI / 256.0));
    EXPECT_EQ(curved.voiced[n], saw(n, 441.0 + 441.0 * (1.0 - w) / 2.0)) << n;
  }
}

TEST(ResynthesisTest, AbsurdSettingsFinishWithoutReadingOutside) {
  const SampleStore store = jagged_store(20000);
  const FrequencyList list = constant_list(300.0, 90);
  // A pitch percent of 1e12: the head moves 1e10 frames per sample.
  RenderParams params = plain_params(300.0, 100, 5000, 3000);
  std::fill(params.bend_freq.begin(), params.bend_freq.end(), 300.0 * 1e10);
  RenderedSignals out = render(params, store, list);
  for (int n = 0; n < 3000; ++n) ASSERT_TRUE(std::isfinite(out.voiced[n])) << n;

  // A time percent of 1e-11 with a fixed head and an end far beyond the
  // store: the head is untouched, the transition leaps away and stops.
  params = plain_params(300.0, 100, INT_MAX - 200, 5000);
  set_timing(params, 1e-11, 1000.0);
  out = render(params, store, list);
  for (int n = 0; n < 872; ++n) ASSERT_EQ(out.voiced[n], store[n + 100]) << n;
  for (double v : out.aperiodic) ASSERT_FALSE(std::isinf(v));

  // An empty list and curve, with no average or a negative one.
  for (double avg : {0.0, -50.0}) {
    params = plain_params(avg, 0, 5000, 1000);
    params.bend_freq.clear();
    params.modulation = 50.0;
    EXPECT_EQ(render(params, store, FrequencyList{}).voiced.size(), 1000u + 3073u) << avg;
  }

  // 1 MHz input, 128-frame head (F = 5.6 samples), long stretch: the
  // transition starts before frame 0, and block 0 serves it.
  params = plain_params(300.0, 1, 15000, 3000);
  params.rate_ratio = 1000000.0 / 44100.0;
  set_timing(params, 20.0, 128.0 / params.rate_ratio);
  std::string progress;
  out = render(params, store, list, &progress);
  EXPECT_EQ(progress.rfind("0 -> 0  \r", 0), 0u) << progress;
  EXPECT_EQ(progress.find("-"), progress.find("->"));  // no negative block index
  for (int n = 0; n < 3000; ++n) ASSERT_TRUE(std::isfinite(out.voiced[n] + out.aperiodic[n])) << n;
  EXPECT_GT(largest_magnitude(out.voiced, 0, 3000), 1000.0);

  // 3 GHz input (beyond INT_MAX) at 100 MHz: L = 30, doubled to 60; with the
  // readers at rest the aperiodic part is (S(pos) - S(pos + L)) / 2.
  params = plain_params(1e8, 2000, 5000, 1);
  params.rate_ratio = 3e9 / 44100.0;
  set_timing(params, 1.0);
  out = render(params, store, constant_list(1e8, 30));
  EXPECT_EQ(out.voiced[0], store[2000]);
  EXPECT_EQ(out.aperiodic[0], (store[2000] - store[2060]) / 2.0);
}

// Two threads give one thread's signals and progress lines, wherever the note
// is split: at its ends, in the fixed head, in the transition, on and next to
// block changes, and wherever the boundary settles; with readers that stand
// still and readers that move; and when the input runs out before the split
// or after it.
TEST(ResynthesisTest, TwoThreadsGiveOneThreadsSignalsAndLines) {
  const SampleStore store = jagged_store(30000);
  FrequencyList list = constant_list(230.0, 120);
  for (int k = 0; k < 120; ++k) list.freq[k] = 220.0 + 9.0 * (k % 4);
  struct Case {
    const char* flags;
    double time_factor;
    int sample_count;
  } cases[] = {{"", 1.6, 26000}, {"g40", 0.8, 26000}, {"", 0.5, 9000}};
  for (const Case& c : cases) {
    RenderParams params = plain_params(225.0, 40, c.sample_count, 12000);
    set_timing(params, c.time_factor, 3000.5);
    params.flags = c.flags;
    params.aperiodic_floor = 0.3;
    std::string lines_alone;
    const RenderedSignals alone = render(params, store, list, &lines_alone, 1);
    if (c.sample_count == 9000) {  // the input runs out between samples 6000 and 7000
      ASSERT_NE(alone.voiced[5999], 0.0);
      ASSERT_EQ(largest_magnitude(alone.voiced, 7000, 12000), 0.0);
    }
    for (int split : {0, 1, 700, 2873, 3000, 3128, 5120, 5121, 7000, 11999, 12000}) {
      RenderedSignals split_out;
      const std::string lines = console_of(
          [&] { split_out = resynthesize_in_two(params, store, 1, list, split); });
      ASSERT_EQ(lines, lines_alone) << c.flags << " " << split;
      ASSERT_EQ(split_out.voiced, alone.voiced) << c.flags << " " << split;
      ASSERT_EQ(split_out.aperiodic, alone.aperiodic) << c.flags << " " << split;
    }
    // Where the boundary settles depends on when the second thread starts.
    for (int run = 0; run < 8; ++run) {
      std::string lines;
      const RenderedSignals settled = render(params, store, list, &lines, 2);
      ASSERT_EQ(lines, lines_alone) << c.flags << " " << run;
      ASSERT_EQ(settled.voiced, alone.voiced) << c.flags << " " << run;
      ASSERT_EQ(settled.aperiodic, alone.aperiodic) << c.flags << " " << run;
    }
  }
}

TEST(ResynthesisTest, LagAndPhaseWrap) {
  // One period at the input rate, doubled until it reaches 32 frames.
  EXPECT_EQ(voiced_lag(44100.0, 2000.0), 44.1);
  EXPECT_EQ(voiced_lag(44100.0, 1000.0), 44.1);
  EXPECT_EQ(voiced_lag(48000.0, 480.0), 100.0);
  EXPECT_EQ(voiced_lag(44100.0, 0.0), INFINITY);
  EXPECT_LT(voiced_lag(44100.0, -100.0), 0.0);  // returns instead of doubling forever
  // Down first, then up; more than 64 lags out, fmod reduces first.
  const double cases[][2] = {{100.0, 100.0}, {-100.0, 0.0}, {6399.5, 99.5},
                             {6400.5, 0.5},  {-1e18, 0.0},   {-0.25, 99.75}};
  for (const auto& c : cases) EXPECT_EQ(wrap_voiced_phase(c[0], 100.0), c[1]) << c[0];
  EXPECT_EQ(wrap_voiced_phase(5.0, 0.0), 5.0);
}

TEST(PitchMeterTest, MeasuresKnownTones) {
  std::vector<double> saw(8192);
  for (int i = 0; i < 8192; ++i) {
    const double t = 123.4 * i / 48000.0;
    saw[i] = 8000.0 * (t - std::floor(t) - 0.5);
  }
  // A tone rich in harmonics is not taken for its octave; silence gives 0.
  const double measured = measure_pitch_hz(saw, 100, 8000, 48000.0, 80.0, 1000.0);
  EXPECT_NEAR(cents_between(measured, 123.4), 0.0, 0.2);
  EXPECT_EQ(measure_pitch_hz(std::vector<double>(8192), 0, 8192, 44100.0, 80.0, 1000.0), 0.0);
}

// A steady synthetic voice at voice_hz rendered at target_hz; the voiced
// signal of 20000 output samples.
struct PitchCase {
  int sample_rate;
  double voice_hz, target_hz, time_factor, fixed_ms, modulation;
};

std::vector<double> render_voice(const PitchCase& c) {
  const SyntheticVoice voice = {.f0 = c.voice_hz, .sample_rate = c.sample_rate, .seconds = 1.0,
                                .vibrato_cents = 0.0, .jitter = 0.0, .tail_frames = BLOCK_LENGTH};
  const int frames = synthetic_voice_frames(voice);
  RenderParams params = plain_params(c.voice_hz, c.sample_rate / 20, frames - 2 * (c.sample_rate / 20), 20000);
  params.rate_ratio = c.sample_rate / 44100.0;
  set_timing(params, c.time_factor, c.sample_rate * c.fixed_ms * 0.001 / params.rate_ratio);
  params.target_freq = c.target_hz;
  params.modulation = c.modulation;
  std::fill(params.bend_freq.begin(), params.bend_freq.end(), c.target_hz);
  return render(params, synthetic_voice(voice), constant_list(c.voice_hz, frames / BLOCK_STEP + 1)).voiced;
}

TEST(RenderedPitchTest, VoicedNoteLandsOnTheTarget) {
  const PitchCase cases[] = {
      {44100, 220.0, 330.0, 1.0, 0.0, 100.0},     // a fifth up
      {44100, 220.0, 196.0, 2.5, 0.0, 100.0},     // down, stretched
      {44100, 150.0, 440.0, 0.8, 0.0, 0.0},       // follow the target alone
      {48000, 220.0, 440.0, 1.3, 0.0, 100.0},     // other input rates: the lag
      {48000, 180.0, 261.63, 0.7, 0.0, 60.0},     // is a period at that rate
      {22050, 200.0, 311.13, 1.7, 150.0, 100.0},  // after a fixed head
  };
  for (const PitchCase& c : cases) {
    const double measured = measure_pitch_hz(render_voice(c), 10000, 8192, 44100.0, 80.0, 1000.0);
    EXPECT_NEAR(cents_between(measured, c.target_hz), 0.0, 3.0)
        << c.sample_rate << " Hz input, " << c.voice_hz << " -> " << c.target_hz << " Hz";
  }
}

}  // namespace
}  // namespace quillet
