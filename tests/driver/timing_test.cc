#include "driver/timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "support/console.h"
#include "core/numeric.h"

namespace quillet {
namespace {

using namespace test;

struct TimingRun {
  RenderParams params;
  double time_percent = 0.0;
  bool arguments_ok = false;
  bool length_ok = false;
  std::string console;
};

// Both timing halves on the words after "q in out A4" (time percent first),
// for an input of frames frames at rate, with the pitch percent given.
TimingRun run_timing(std::vector<const char*> words, uint32_t rate, int frames, double pitch_percent = 100.0) {
  words.insert(words.begin(), {"q", "in", "out", "A4"});
  TimingRun run;
  run.params.rate_ratio = static_cast<double>(rate) / 44100.0;
  run.params.sample_count = frames;
  TimingInput input{timing_words(static_cast<int>(words.size()), words.data()), rate, frames};
  run.console = console_of([&] {
    run.arguments_ok = read_timing_arguments(input, run.params, run.time_percent);
    if (!run.arguments_ok) return;
    run.params.pitch_percent = pitch_percent;
    run.length_ok = settle_output_length(run.time_percent, run.params);
  });
  return run;
}

TEST(Timing, LengthRequireStretchesOrCutsToTheSameLength) {
  // 44100 Hz, offset 0 (one sample), length_require 500, fixed 100, time 100:
  // need = 22094.1, A = 17684.1. With 10000 frames after the offset the
  // percent is A / 5590 x 100, in that order.
  const TimingRun longer = run_timing({"100", "", "0", "500", "100"}, 44100, 10001);
  ASSERT_TRUE(longer.length_ok);
  EXPECT_EQ(longer.params.offset_samples, 1);
  EXPECT_EQ(longer.params.fixed_out, 4410.0);
  EXPECT_EQ(longer.time_percent, 316.35241502683363);  // A x 100 / 5590 gives ...357
  EXPECT_EQ(longer.params.out_len, 22094);
  EXPECT_EQ(longer.console, "fixed:4410.000\n" + kPitch + "100.000%\n" + kTime + "316.352%\n" + length_line(10000, 22094));

  // 30000 frames after the offset: cut to the required length at 100 %.
  const TimingRun cut = run_timing({"100", "", "0", "500", "100"}, 44100, 30001);
  EXPECT_EQ(cut.params.sample_count, 22094);
  EXPECT_EQ(cut.params.time_factor, 1.0);
  EXPECT_EQ(cut.console, "fixed:4410.000\n" + kNoStretch + length_line(22094, 22094));
  // Another pitch shows both lines even at 100 % time.
  EXPECT_EQ(run_timing({"100", "", "0", "500", "100"}, 44100, 30001, 150.0).console,
            "fixed:4410.000\n" + kPitch + "150.000%\n" + kTime + "100.000%\n" + length_line(22094, 22094));

  // Under a longer fixed head the cut counts input samples: 48000 Hz, fixed
  // 300 ms, length 100 ms gives 4848 frames and the asked 4454 samples.
  const TimingRun head = run_timing({"100", "", "0", "100", "300"}, 48000, 48000);
  EXPECT_EQ(head.params.sample_count, 4848);
  EXPECT_EQ(head.params.out_len, 4454);
  EXPECT_EQ(head.console.substr(0, 16), "fixed:13230.000\n");
  // ... and never past the end of the input.
  const TimingRun clipped = run_timing({"100", "", "0", "100", "300"}, 44100, 3000);
  EXPECT_EQ(clipped.params.sample_count, 2999);
  EXPECT_EQ(clipped.params.out_len, 2999);
}

TEST(Timing, FixedHeadThresholdAndStretch) {
  // Fixed words against the 128-sample threshold: 2 ms at 44100 Hz is 88.2
  // samples (none); at 64000 Hz exactly 128 (kept); 5.3 ms is rate x ms x
  // 0.001 = 233.73000000000002 (x / 1000 gives ...999).
  EXPECT_EQ(run_timing({"100", "", "0", "0", "2"}, 44100, 5000).console.substr(0, 12), "fixed:0.000\n");
  const TimingRun at_threshold = run_timing({"100", "", "0", "0", "2"}, 64000, 5000);
  EXPECT_EQ(at_threshold.params.fixed_in, 128.0);
  EXPECT_EQ(at_threshold.params.fixed_out, 128.0 / (64000.0 / 44100.0));
  EXPECT_EQ(run_timing({"100", "", "0", "0", "5.3"}, 44100, 5000).params.fixed_in, 233.73000000000002);
  EXPECT_EQ(run_timing({"100", "", "0", "0", "x"}, 44100, 5000).params.fixed_in, 0.0);

  // Four words: defaults, and the fixed line still shows 0.000.
  const TimingRun four = run_timing({"100"}, 44100, 5000);
  EXPECT_EQ(four.console, "fixed:0.000\n" + kNoStretch + length_line(5000, 5000));
  EXPECT_EQ(std::tie(four.params.offset_samples, four.params.volume, four.params.modulation), std::tuple(0, 1.0, 100.0));

  // Time 200: only the part after the head doubles.
  const TimingRun doubled = run_timing({"200", "", "0", "0", "100"}, 44100, 20001);
  EXPECT_EQ(doubled.params.input_step, 0.5);
  EXPECT_EQ(doubled.console, "fixed:4410.000\n" + kPitch + "100.000%\n" + kTime + "200.000%\n" +
                                 length_line(20000, (20000 - 4410) * 2 + 4410));
  // 22050 Hz without a head: twice as many output samples as input frames.
  const TimingRun low_rate = run_timing({"100"}, 22050, 11025, 150.0);
  EXPECT_EQ(low_rate.params.out_len, 22050);
  EXPECT_EQ(low_rate.params.input_step, 0.5);
}

TEST(Timing, EndBlankOffsetVolumeAndModulation) {
  // Blank -300 ms after an offset of 100 ms: the stretch ends at sample 17641,
  // 13230 samples after the offset of 4411; the blank line shows 0.000.
  const TimingRun negative = run_timing({"100", "", "100", "0", "0", "-300", "50", "x"}, 44100, 44100);
  EXPECT_EQ(negative.params.offset_samples, 4411);
  EXPECT_EQ(negative.params.volume, 0.5);
  EXPECT_EQ(negative.console, "fixed:0.000\n" + kBlank + "0.000\n" + kVolume + "50.000%\n" + kModulation +
                                  "100.000%\n" + kNoStretch + length_line(13230, 13230));
  // 10 ms cuts 441 samples from the end; an unreadable volume stays 100 %.
  const TimingRun positive = run_timing({"100", "", "0", "0", "0", "10", "abc", "80"}, 44100, 10000);
  EXPECT_EQ(positive.params.modulation, 80.0);
  EXPECT_EQ(positive.console, "fixed:0.000\n" + kBlank + "441.000\n" + kVolume + "100.000%\n" + kModulation +
                                  "80.000%\n" + kNoStretch + length_line(10000 - 441 - 1, 9558));
  // A blank as long as the input changes nothing and prints nothing.
  const TimingRun too_long = run_timing({"100", "", "0", "0", "0", "1000"}, 44100, 44100);
  EXPECT_EQ(too_long.params.sample_count, 44099);
  EXPECT_EQ(too_long.console.find(kBlank), std::string::npos);

  // A negative offset is 0.
  EXPECT_EQ(run_timing({"100", "G", "-1000", "0"}, 44100, 8000).params.sample_count, 8000);
}

TEST(Timing, OddPercentsEmptyAndEndlessOutputs) {
  for (const char* word : {"abc", "0", "-50", "nan", ""}) {
    const TimingRun run = run_timing({word}, 44100, 4000);
    EXPECT_EQ(run.time_percent, 100.0) << word;
    EXPECT_EQ(run.params.out_len, 4000) << word;
  }
  // A head as long as the stretch: length_require would divide by zero.
  const TimingRun no_stretch = run_timing({"100", "", "0", "500", "100"}, 44100, 1000);
  EXPECT_FALSE(no_stretch.arguments_ok);
  EXPECT_EQ(no_stretch.console, "fixed:4410.000\nno samples to render.\n");
  // Beyond 2^30 samples (an infinite percent or length included), or rounded to nothing.
  const struct {
    std::vector<const char*> words;
    std::string message;
  } cases[] = {{{"1e9"}, "output too long.\n"},
               {{"inf"}, "output too long.\n"},
               {{"100", "", "0", "inf"}, "output too long.\n"},
               {{"1e-9"}, "no samples to render.\n"}};
  for (const auto& c : cases) {
    const TimingRun run = run_timing(c.words, 44100, 44100);
    EXPECT_FALSE(run.length_ok) << c.words[0];
    EXPECT_TRUE(run.console.ends_with(c.message)) << run.console;
  }
}

TEST(Numeric, SaturatingConversions) {
  const struct {
    double value;
    int truncated;
  } cases[] = {{-2.7, -2},           {2.7, 2},         {std::nan(""), 0},         {1e300, INT_MAX},
               {-INFINITY, INT_MIN}, {2147483646.9, 2147483646}, {-2147483648.5, INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(saturating_trunc(c.value), c.truncated) << c.value;
  EXPECT_EQ(saturating_round(2.5), 3);
  EXPECT_EQ(saturating_round(-0.7), 0);
  EXPECT_EQ(saturating_round(-1.7), -1);
}

}  // namespace
}  // namespace quillet
