#include "filter/post_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "filter/spectral.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

constexpr double PI_D = 3.14159265358979323846;

// One call's arguments: an input of frames frames with its zero tail, voiced
// rendered as the input itself (one to one), a frequency list and pitch-bend
// curve of constant pitch.
struct FilterCase {
  SampleStore samples;
  std::vector<double> voiced;
  std::vector<double> aperiodic;
  std::vector<double> freq;
  std::vector<double> bend;
  int out_len = 0;
  int sample_count = 0;
  int offset = 0;
  double fixed_in = 0.0;
  int band_index = 17;
  double gen = 1.0;
  double fce = 1.0;
  int bend_step = 256;
  int bend_mode = 0;
  double avg_freq = 220.0;
  std::string flags;
};

FilterCase one_to_one_case(int frames) {
  test::SyntheticVoice voice;
  voice.seconds = frames / 44100.0;
  voice.tail_frames = 3072;
  FilterCase c;
  c.samples = test::synthetic_voice(voice);
  c.out_len = frames;
  c.sample_count = frames;
  c.fixed_in = frames;  // every output sample inside the head: no stretched part
  c.voiced.assign(c.samples.begin(), c.samples.end());
  c.aperiodic.assign(c.voiced.size(), 0.0);
  c.freq.assign(frames / 256 + 2, 220.0);
  c.bend.assign(frames / 256 + 2, 220.0);
  return c;
}

double run(FilterCase& c) {
  return post_filter(c.voiced, c.aperiodic, c.out_len, c.samples, 1, c.sample_count, c.offset,
                     c.fixed_in, c.band_index, c.gen, c.fce, c.bend, c.bend_step, c.freq,
                     c.avg_freq, c.flags, c.bend_mode);
}

std::string console_of_run(FilterCase& c) {
  testing::internal::CaptureStdout();
  run(c);
  return testing::internal::GetCapturedStdout();
}

const std::string FILTER_LINE = "\x83\x74\x83\x42\x83\x8b\x83\x5e\x92\x86\n";  // フィルタ中

std::vector<double> cosine(int count, double bin, double amplitude) {
  std::vector<double> values(count);
  for (int n = 0; n < count; ++n) values[n] = amplitude * std::cos(2.0 * PI_D * bin * n / 1024.0);
  return values;
}

TEST(PostFilter, MatchingEnvelopesReturnVoicedUnchangedWithProgressLines) {
  // Input and voiced are the same sound at the same pitch: every gain is 1,
  // and the overlap-add gives voiced back, the last partial frame included.
  FilterCase c = one_to_one_case(3000);
  const std::vector<double> before = c.voiced;
  const std::vector<double> aperiodic_before = c.aperiodic;
  testing::internal::CaptureStdout();
  const double peak = run(c);
  const std::string console = testing::internal::GetCapturedStdout();
  double largest = 0.0;
  for (int n = 0; n < c.out_len; ++n) {
    ASSERT_NEAR(c.voiced[n], before[n], 1e-7) << n;
    largest = std::max(largest, std::fabs(before[n]));
  }
  EXPECT_GT(largest, 1000.0);
  EXPECT_NEAR(peak, largest, 1e-7);
  for (std::size_t n = c.out_len; n < c.voiced.size(); ++n) ASSERT_EQ(c.voiced[n], 0.0);
  EXPECT_EQ(c.aperiodic, aperiodic_before);  // no band split: left alone
  // One line per frame start (block -> frame); none for the completing frame.
  EXPECT_EQ(console, FILTER_LINE + "0->0 \r0->1 \r1->2 \r1->3 \r2->4 \r2->5 \r");
}

TEST(PostFilter, MappingThroughHeadAndStretchShowsInProgressLines) {
  FilterCase c = one_to_one_case(4410);
  c.out_len = 2000;
  c.sample_count = 4000;
  c.fixed_in = 0.0;  // ratio 2: block advances with every frame
  EXPECT_EQ(console_of_run(c), FILTER_LINE + "0->0 \r1->1 \r2->2 \r3->3 \r");

  c = one_to_one_case(4410);
  c.out_len = 2000;
  c.sample_count = 4000;
  c.fixed_in = 1000.0;  // one to one from offset 100, then ratio 3000 / 1000
  c.offset = 100;
  EXPECT_EQ(console_of_run(c), FILTER_LINE + "0->0 \r0->1 \r1->2 \r2->3 \r");

  c = one_to_one_case(4410);
  c.out_len = 2000;
  c.offset = -100000;  // positions before the input are taken as 0
  c.fixed_in = 0.0;
  EXPECT_EQ(console_of_run(c), FILTER_LINE + "0->0 \r0->1 \r0->2 \r0->3 \r");
  for (int n = 0; n < c.out_len; ++n) ASSERT_TRUE(std::isfinite(c.voiced[n])) << n;
}

TEST(PostFilter, ImposesTheInputEnvelopeOnFlatNoise) {
  // Voiced is white noise, the input a vowel with formants at 700 and 1150 Hz:
  // after filtering, the share of energy below 2 kHz rises towards the input's.
  FilterCase c = one_to_one_case(8192);
  const std::vector<int16_t> noise = test::white_noise(8192, 8000.0, 4, 3072);
  c.voiced.assign(noise.begin(), noise.end());
  auto low_share = [](const std::vector<double>& signal) {
    const SpectralTables tables = make_spectral_tables();
    double low = 0.0;
    double all = 0.0;
    for (int start = 1024; start + 1024 <= 7168; start += 512) {
      std::vector<double> frame(signal.begin() + start, signal.begin() + start + 1024);
      magnitude_spectrum(frame.data(), 1024, tables);
      for (int k = 1; k < 512; ++k) {
        all += frame[k] * frame[k];
        if (k < 47) low += frame[k] * frame[k];  // 47 bins = 2 kHz
      }
    }
    return low / all;
  };
  const double noise_share = low_share(c.voiced);
  testing::internal::CaptureStdout();
  run(c);
  testing::internal::GetCapturedStdout();
  const double filtered_share = low_share(c.voiced);
  EXPECT_LT(noise_share, 0.15);
  EXPECT_GT(filtered_share, 0.6);
}

TEST(PostFilter, BandSplitFiltersAperiodicOnTheOppositeSide) {
  // Cutoff 100 with a gain of -200 dB: aperiodic bins below 100 are removed.
  // Only the positive-frequency half of a low cosine lies below the cutoff,
  // so it comes back at half its amplitude; a cosine above the cutoff stays.
  FilterCase c = one_to_one_case(3072);
  const std::vector<double> low = cosine(c.aperiodic.size(), 10.0, 1000.0);
  const std::vector<double> high = cosine(c.aperiodic.size(), 300.0, 1000.0);
  for (std::size_t n = 0; n < c.aperiodic.size(); ++n) c.aperiodic[n] = low[n] + high[n];
  c.flags = "u100v-200";
  console_of_run(c);
  for (int n = 1024; n < 2048; ++n) ASSERT_NEAR(c.aperiodic[n], 0.5 * low[n] + high[n], 10.0) << n;

  // x3 at 220 Hz puts the cutoff at floor(3 * 220 * 1024 / 44100) = 15: a
  // cosine at bin 10 is halved, one at bin 20 kept. A bare x (cutoff 5) keeps both.
  const std::vector<double> bin10 = cosine(c.aperiodic.size(), 10.0, 1000.0);
  const std::vector<double> bin20 = cosine(c.aperiodic.size(), 20.0, 1000.0);
  for (const char* flags : {"x3v-200", "xv-200"}) {
    c = one_to_one_case(3072);
    for (std::size_t n = 0; n < c.aperiodic.size(); ++n) c.aperiodic[n] = bin10[n] + bin20[n];
    c.flags = flags;
    console_of_run(c);
    const double kept = std::string(flags) == "x3v-200" ? 0.5 : 1.0;
    for (int n = 1024; n < 2048; ++n) {
      ASSERT_NEAR(c.aperiodic[n], kept * bin10[n] + bin20[n], 10.0) << flags << " " << n;
    }
  }
}

TEST(PostFilter, SpectrumDumpHoldsOneRecordPerFrame) {
  test::ScratchDir scratch;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch.path);
  FilterCase c = one_to_one_case(3000);
  const std::vector<double> before = c.voiced;
  c.flags = "LS";
  console_of_run(c);
  const std::string bytes = test::read_file_bytes(scratch.file("tmp.bin"));
  std::filesystem::current_path(previous);
  ASSERT_EQ(bytes.size(), 6u * 128 * 8);  // floor(2999 / 512) + 1 records
  // Record 0 is the frame at sample 0 (zeros, then voiced[0 ... 511]) with
  // gain exactly 1: fade-in 0 gives the previous curve, which is all 1.
  const SpectralTables tables = make_spectral_tables();
  std::vector<double> re(1024, 0.0);
  std::vector<double> im(1024, 0.0);
  for (int i = 512; i < 1024; ++i) re[i] = before[i - 512] * tables.sine_window[i];
  fft_forward(re.data(), im.data(), 1024, tables);
  for (int i = 0; i < 128; ++i) {
    double stored = 0.0;
    std::memcpy(&stored, bytes.data() + 8 * i, 8);
    ASSERT_EQ(stored, std::sqrt(re[i] * re[i] + im[i] * im[i])) << i;
  }
}

TEST(PostFilter, HostileArgumentsStayInBoundsAndFinite) {
  // Nothing to filter.
  FilterCase c = one_to_one_case(1000);
  c.out_len = 0;
  const std::vector<double> before = c.voiced;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run(c), 0.0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(c.voiced, before);

  // Empty buffers everywhere, a zero bend step and a zero warp.
  std::vector<double> empty_voiced;
  std::vector<double> empty_aperiodic;
  testing::internal::CaptureStdout();
  post_filter(empty_voiced, empty_aperiodic, 600, SampleStore{}, 0, 0, 0, 0.0, 17, 0.0, 1.0, {}, 0,
              {}, 0.0, "x", 1);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(empty_voiced.empty());

  // Signals without a spare tail, a head longer than the input (positions
  // past its end) and a used stretch of length 0 (ratio 0: an endless window).
  c = one_to_one_case(1500);
  c.voiced.resize(c.out_len);
  c.aperiodic.resize(c.out_len);
  c.sample_count = 300;
  c.freq.assign(3, 220.0);
  c.bend.assign(3, 220.0);
  c.fixed_in = 300.0;
  c.flags = "u50";
  console_of_run(c);
  for (int n = 0; n < c.out_len; ++n) {
    ASSERT_TRUE(std::isfinite(c.voiced[n])) << n;
    ASSERT_TRUE(std::isfinite(c.aperiodic[n])) << n;
  }
  c.fixed_in = 1500.0;
  console_of_run(c);
  for (int n = 0; n < c.out_len; ++n) ASSERT_TRUE(std::isfinite(c.voiced[n])) << n;
}

}  // namespace
}  // namespace quillet
