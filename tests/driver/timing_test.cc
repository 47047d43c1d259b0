#include "driver/timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "driver/console_capture.h"
#include "driver/numeric.h"

namespace quillet {
namespace {

using test::console_of;

// Console texts of the timing lines (CP932).
const std::string kNoStretch = "\x90\x4c\x8f\x6b\x82\xc8\x82\xb5\n";  // 伸縮なし
const std::string kPitch = "\x83\x73\x83\x62\x83\x60 ";                 // ピッチ
const std::string kTime = "\x83\x5e\x83\x43\x83\x80 ";                  // タイム
const std::string kLength = "\x92\xb7\x82\xb3 ";                        // 長さ
const std::string kArrow = " \x81\xa8 ";                                 // →
const std::string kBlank = "\x8f\x49\x82\xe8\x82\xcc\x83\x75\x83\x89\x83\x93\x83\x4e ";  // 終りのブランク
const std::string kVolume = "\x83\x7b\x83\x8a\x83\x85\x81\x5b\x83\x80 ";                // ボリューム
const std::string kModulation =
    "\x83\x82\x83\x57\x83\x85\x83\x8c\x81\x5b\x83\x56\x83\x87\x83\x93 ";  // モジュレーション

struct TimingRun {
  RenderParams params;
  double time_percent = 0.0;
  bool arguments_ok = false;
  bool length_ok = false;
  std::string console;
};

// Runs both timing halves on the command line words (word 0 is the program),
// for an input of frames frames at rate, with the pitch percent given.
TimingRun run_timing(const std::vector<const char*>& words, uint32_t rate, int frames,
                     double pitch_percent = 100.0) {
  TimingRun run;
  run.params.rate_ratio = static_cast<double>(rate) / 44100.0;
  run.params.sample_count = frames;
  TimingInput input;
  input.words = timing_words(static_cast<int>(words.size()), words.data());
  input.sample_rate = rate;
  input.frame_count = frames;
  run.console = console_of([&] {
    run.arguments_ok = read_timing_arguments(input, run.params, run.time_percent);
    if (!run.arguments_ok) return;
    run.params.pitch_percent = pitch_percent;
    run.length_ok = settle_output_length(run.time_percent, run.params);
  });
  return run;
}

TEST(Timing, LengthRequireStretchesOrCutsToTheSameLength) {
  // 44100 Hz, offset 0, length_require 500, fixed 100, time 100.
  // 10000 frames after the one-sample offset: the stretch is lengthened.
  TimingRun longer = run_timing({"q", "in", "out", "A4", "100", "", "0", "500", "100"}, 44100, 10001);
  ASSERT_TRUE(longer.length_ok);
  EXPECT_EQ(longer.params.offset_samples, 1);
  EXPECT_EQ(longer.params.fixed_in, 4410.0);
  EXPECT_EQ(longer.params.fixed_out, 4410.0);
  EXPECT_EQ(longer.params.sample_count, 10000);
  EXPECT_NEAR(longer.time_percent, 316.3524150268336, 1e-9);
  EXPECT_NEAR(longer.params.time_factor, 3.163524150268336, 1e-12);
  EXPECT_EQ(longer.params.out_len, 22094);
  EXPECT_EQ(longer.console, "fixed:4410.000\n" + kPitch + "100.000%\n" + kTime + "316.352%\n" +
                                kLength + "10000" + kArrow + "22094\n");

  // 30000 frames after the offset: the input is cut to the required length.
  TimingRun cut = run_timing({"q", "in", "out", "A4", "100", "", "0", "500", "100"}, 44100, 30001);
  ASSERT_TRUE(cut.length_ok);
  EXPECT_EQ(cut.params.sample_count, 22094);
  EXPECT_EQ(cut.time_percent, 100.0);
  EXPECT_EQ(cut.params.time_factor, 1.0);
  EXPECT_EQ(cut.params.out_len, 22094);
  EXPECT_EQ(cut.console, "fixed:4410.000\n" + kNoStretch + kLength + "22094" + kArrow + "22094\n");

  // A pitch other than 100 % shows both lines even when the time stays 100 %.
  TimingRun pitched = run_timing({"q", "in", "out", "A4", "100", "", "0", "500", "100"}, 44100, 30001, 150.0);
  EXPECT_EQ(pitched.console, "fixed:4410.000\n" + kPitch + "150.000%\n" + kTime + "100.000%\n" +
                                 kLength + "22094" + kArrow + "22094\n");
}

TEST(Timing, FixedHeadAndRates) {
  // 2 ms at 44100 Hz is 88.2 samples: no fixed head.
  TimingRun short_head = run_timing({"q", "in", "out", "A4", "100", "", "0", "0", "2"}, 44100, 5000);
  EXPECT_EQ(short_head.params.fixed_in, 0.0);
  EXPECT_EQ(short_head.console.substr(0, 12), "fixed:0.000\n");
  // 2 ms at 64000 Hz is exactly 128 samples: the threshold counts.
  TimingRun at_threshold = run_timing({"q", "in", "out", "A4", "100", "", "0", "0", "2"}, 64000, 5000);
  EXPECT_EQ(at_threshold.params.fixed_in, 128.0);
  EXPECT_DOUBLE_EQ(at_threshold.params.fixed_out, 88.2);
  // An unreadable fixed word gives no head; the line shows 0.000 with argc = 5 too.
  TimingRun unreadable = run_timing({"q", "in", "out", "A4", "100", "", "0", "0", "x"}, 44100, 5000);
  EXPECT_EQ(unreadable.params.fixed_in, 0.0);
  TimingRun four_words = run_timing({"q", "in", "out", "A4", "100"}, 44100, 5000);
  EXPECT_EQ(four_words.console, "fixed:0.000\n" + kNoStretch + kLength + "5000" + kArrow + "5000\n");
  EXPECT_EQ(four_words.params.offset_samples, 0);
  EXPECT_EQ(four_words.params.volume, 1.0);
  EXPECT_EQ(four_words.params.modulation, 100.0);

  // Time 200 with a fixed head: only the part after the head doubles.
  TimingRun doubled = run_timing({"q", "in", "out", "A4", "200", "", "0", "0", "100"}, 44100, 20001);
  EXPECT_EQ(doubled.params.sample_count, 20000);
  EXPECT_EQ(doubled.params.out_len, (20000 - 4410) * 2 + 4410);
  EXPECT_EQ(doubled.params.input_step, 0.5);
  EXPECT_EQ(doubled.console, "fixed:4410.000\n" + kPitch + "100.000%\n" + kTime + "200.000%\n" +
                                 kLength + "20000" + kArrow + "35590\n");

  // 22050 Hz without a head: twice as many output samples as input frames.
  TimingRun low_rate = run_timing({"q", "in", "out", "A4", "100"}, 22050, 11025, 150.0);
  EXPECT_EQ(low_rate.params.out_len, 22050);
  EXPECT_EQ(low_rate.params.input_step, 0.5);
  EXPECT_EQ(low_rate.params.time_factor, 1.0);
}

TEST(Timing, ShortLengthUnderALongHeadCountsInputSamples) {
  // 48000 Hz, fixed 300 ms, length_require 100: the cut counts input samples,
  // so the output is the asked 101 ms (4454 samples), not 8 % short.
  TimingRun run = run_timing({"q", "in", "out", "A4", "100", "", "0", "100", "300"}, 48000, 48000);
  ASSERT_TRUE(run.length_ok);
  EXPECT_EQ(run.params.fixed_in, 14400.0);
  EXPECT_EQ(run.params.sample_count, 4848);
  EXPECT_EQ(run.time_percent, 100.0);
  EXPECT_EQ(run.params.out_len, 4454);
  EXPECT_EQ(run.console.substr(0, 16), "fixed:13230.000\n");

  // The same at 44100 Hz with a short input: the cut may not pass the end of
  // the input, so the used stretch ends at its last frame.
  TimingRun clipped = run_timing({"q", "in", "out", "A4", "100", "", "0", "100", "300"}, 44100, 3000);
  EXPECT_EQ(clipped.params.offset_samples, 1);
  EXPECT_EQ(clipped.params.sample_count, 2999);
  EXPECT_EQ(clipped.params.out_len, 2999);
}

TEST(Timing, EndBlankVolumeAndModulationInOrder) {
  // Negative blank -300 ms after an offset of 100 ms: the stretch ends at
  // sample 17641 and holds 13230 samples after the offset.
  TimingRun negative = run_timing({"q", "in", "out", "A4", "100", "", "100", "0", "0", "-300", "50", "x"},
                                  44100, 44100);
  ASSERT_TRUE(negative.length_ok);
  EXPECT_EQ(negative.params.offset_samples, 4411);
  EXPECT_EQ(negative.params.sample_count, 13230);
  EXPECT_EQ(negative.params.volume, 0.5);
  EXPECT_EQ(negative.params.modulation, 100.0);
  EXPECT_EQ(negative.console, "fixed:0.000\n" + kBlank + "0.000\n" + kVolume + "50.000%\n" +
                                  kModulation + "100.000%\n" + kNoStretch + kLength + "13230" +
                                  kArrow + "13230\n");

  // A positive blank of 10 ms cuts 441 samples from the end.
  TimingRun positive = run_timing({"q", "in", "out", "A4", "100", "", "0", "0", "0", "10", "abc", "80"},
                                  44100, 10000);
  EXPECT_EQ(positive.params.sample_count, 10000 - 441 - 1);
  EXPECT_EQ(positive.params.volume, 1.0);
  EXPECT_EQ(positive.params.modulation, 80.0);
  EXPECT_EQ(positive.console.substr(0, 12 + kBlank.size() + 8), "fixed:0.000\n" + kBlank + "441.000\n");

  // A blank as long as the input changes nothing and prints nothing.
  TimingRun too_long = run_timing({"q", "in", "out", "A4", "100", "", "0", "0", "0", "1000"}, 44100, 44100);
  EXPECT_EQ(too_long.params.sample_count, 44099);
  EXPECT_EQ(too_long.console.find(kBlank), std::string::npos);
}

TEST(Timing, ArgumentCountThresholds) {
  // argc = 7: the offset is read only together with length_require.
  TimingRun seven = run_timing({"q", "in", "out", "A4", "100", "G", "500"}, 44100, 8000);
  EXPECT_EQ(seven.params.offset_samples, 0);
  EXPECT_EQ(seven.params.sample_count, 8000);
  // argc = 8 reads both.
  TimingRun eight = run_timing({"q", "in", "out", "A4", "100", "G", "100", "0"}, 44100, 8000);
  EXPECT_EQ(eight.params.offset_samples, 4411);
  EXPECT_EQ(eight.params.sample_count, 8000 - 4411);
  // Negative offsets count from the start of the input.
  TimingRun negative_offset = run_timing({"q", "in", "out", "A4", "100", "G", "-1000", "0"}, 44100, 8000);
  EXPECT_EQ(negative_offset.params.offset_samples, 0);
  EXPECT_EQ(negative_offset.params.sample_count, 8000);
}

TEST(Timing, OddTimePercentsCountAsHundred) {
  for (const char* word : {"abc", "0", "-50", "nan", ""}) {
    TimingRun run = run_timing({"q", "in", "out", "A4", word}, 44100, 4000);
    EXPECT_EQ(run.time_percent, 100.0) << word;
    EXPECT_EQ(run.params.out_len, 4000) << word;
  }
}

TEST(Timing, NothingToRenderOrTooLong) {
  // An offset past the end of the input leaves an empty stretch.
  TimingRun past_end = run_timing({"q", "in", "out", "A4", "100", "", "100", "0"}, 44100, 1000);
  EXPECT_TRUE(past_end.arguments_ok);
  EXPECT_FALSE(past_end.length_ok);
  EXPECT_EQ(past_end.console, "fixed:0.000\n" + kNoStretch + "no samples to render.\n");

  // A fixed head longer than the stretch with a length_require: the
  // stretched part would divide by zero, so step 5 stops.
  TimingRun no_stretch = run_timing({"q", "in", "out", "A4", "100", "", "0", "500", "100"}, 44100, 1000);
  EXPECT_FALSE(no_stretch.arguments_ok);
  EXPECT_EQ(no_stretch.console, "fixed:4410.000\nno samples to render.\n");

  // Outputs beyond 2^30 samples are refused, an infinite percent included.
  for (const char* word : {"1e9", "inf"}) {
    TimingRun huge = run_timing({"q", "in", "out", "A4", word}, 44100, 44100);
    EXPECT_TRUE(huge.arguments_ok) << word;
    EXPECT_FALSE(huge.length_ok) << word;
    EXPECT_NE(huge.console.find("output too long.\n"), std::string::npos) << word;
    EXPECT_EQ(huge.console.find(kLength), std::string::npos) << word;
  }
  // An infinite length_require stretches without end, too.
  TimingRun endless = run_timing({"q", "in", "out", "A4", "100", "", "0", "inf"}, 44100, 44100);
  EXPECT_FALSE(endless.length_ok);
  EXPECT_NE(endless.console.find("output too long.\n"), std::string::npos);
  // A time percent of 1e-9 rounds the output down to nothing.
  TimingRun tiny = run_timing({"q", "in", "out", "A4", "1e-9"}, 44100, 44100);
  EXPECT_FALSE(tiny.length_ok);
  EXPECT_NE(tiny.console.find("no samples to render.\n"), std::string::npos);
}

TEST(Numeric, SaturatingConversions) {
  EXPECT_EQ(saturating_trunc(-2.7), -2);
  EXPECT_EQ(saturating_trunc(2.7), 2);
  EXPECT_EQ(saturating_trunc(std::nan("")), 0);
  EXPECT_EQ(saturating_trunc(1e300), INT_MAX);
  EXPECT_EQ(saturating_trunc(-INFINITY), INT_MIN);
  EXPECT_EQ(saturating_trunc(2147483646.9), 2147483646);
  EXPECT_EQ(saturating_trunc(-2147483648.5), INT_MIN);
  EXPECT_EQ(saturating_round(2.5), 3);
  EXPECT_EQ(saturating_round(-0.7), 0);
  EXPECT_EQ(saturating_round(-1.7), -1);
}

}  // namespace
}  // namespace quillet
