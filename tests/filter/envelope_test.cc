#include "filter/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "support/simd_levels.h"

namespace quillet {
namespace {

constexpr int N = 1024;
constexpr double NAN_D = std::numeric_limits<double>::quiet_NaN();
constexpr double INF_D = std::numeric_limits<double>::infinity();

std::vector<double> flat(double value, int count = N) { return std::vector<double>(count, value); }

// A positive, uneven spectrum: 1025 entries (the last 0) as input, 1024 as output.
std::vector<double> uneven_spectrum(int count = N + 1) {
  std::vector<double> spectrum(count, 0.0);
  for (int k = 0; k < N; ++k) spectrum[k] = 1.0 + 0.9 * std::sin(0.37 * k) + 0.001 * k;
  return spectrum;
}

EnvelopeSettings settings_for(double pitch_bins, int band_index = -1) {
  EnvelopeSettings s;
  s.source_bins = pitch_bins;
  s.target_bins = pitch_bins;
  s.band_index = band_index;  // -1: no bin limited
  return s;
}

std::vector<double> curve_of(const std::vector<double>& in, const std::vector<double>& out,
                             const EnvelopeSettings& settings) {
  std::vector<double> curve;
  compute_gain_curve(in, out, settings, curve);
  return curve;
}

TEST(SmoothingWeights, WidthsAndDegeneratePitches) {
  EXPECT_EQ(smoothing_weights(4.0).weight.size(), 9u);
  EXPECT_EQ(smoothing_weights(4.0).weight[0], 0.0);  // m = -4: cos(pi) is -1
  EXPECT_EQ(smoothing_weights(2.5).half_width, 2);
  EXPECT_EQ(smoothing_weights(1e12).half_width, 1023);  // the widest offset that reaches a bin
  // Too small or not finite: m = 0 alone, weight 1.
  for (double pitch : {0.5, 0.0, -3.0, 1e-10, NAN_D, INF_D}) {
    EXPECT_EQ(smoothing_weights(pitch).weight, std::vector<double>{1.0}) << pitch;
  }
}

TEST(GainCurve, RatioOfEnvelopesWithLimitsExponentWindowAndBandGain) {
  const std::vector<double> in = uneven_spectrum();
  const std::vector<double> out = uneven_spectrum(N);
  for (double v : curve_of(in, out, settings_for(5.3, 17))) ASSERT_EQ(v, 1.0);  // same in and out
  // Twice the input: gain 2 except bins 0 ... 3 and 1020 ... 1023 (band index 3).
  std::vector<double> doubled = in;
  for (double& v : doubled) v *= 2.0;
  std::vector<double> curve = curve_of(doubled, out, settings_for(5.3, 3));
  EXPECT_EQ(curve[3], 1.0);
  EXPECT_NEAR(curve[4], 2.0, 1e-12);
  EXPECT_NEAR(curve[1019], 2.0, 1e-12);
  EXPECT_EQ(curve[1020], 1.0);
  // Input e^2 to the power 0.5 against 1 over a 2048 window: e x 2; band
  // index 0 still limits bins 0 and 1023.
  EnvelopeSettings settings = settings_for(3.0, 0);
  settings.fce = 0.5;
  settings.window = 2048;
  std::vector<double> input = flat(std::exp(2.0), N + 1);
  input[N] = 0.0;
  curve = curve_of(input, flat(1.0), settings);
  EXPECT_EQ(curve[0], 1.0);
  EXPECT_NEAR(curve[1], 2.0 * std::exp(1.0), 1e-12);
  EXPECT_EQ(curve[1023], 1.0);
  // Band gain 0.25 above cutoff 100, (0.25 + 1) / 2 at it; the upper half lies
  // above any cutoff; a fractional cutoff hits no bin.
  settings = settings_for(4.0, 0);
  settings.band_gain = 0.25;
  for (const double cutoff : {100.0, 100.5}) {
    settings.cutoff_bin = cutoff;
    curve = curve_of(in, out, settings);
    EXPECT_NEAR(curve[99], 1.0, 1e-12);
    EXPECT_NEAR(curve[100], cutoff == 100.0 ? 0.625 : 1.0, 1e-12);
    EXPECT_NEAR(curve[101], 0.25, 1e-12);
    EXPECT_NEAR(curve[1023], 0.25, 1e-12);
  }
}

TEST(GainCurve, SmoothedSumsKeepTheirOrderInEveryBin) {
  // Against a flat output of 1 the gain is exp(A / WA), A summed with weights
  // 0.5 + 0.5 cos(m pi / pitch) in increasing offset order (fewer offsets near
  // the edges), to the last bit.
  const std::vector<double> input = uneven_spectrum();
  const std::vector<double> curve = curve_of(input, flat(1.0), settings_for(5.3));
  for (int k = 0; k < N; ++k) {
    double a = 0.0;
    double wa = 0.0;
    for (int m = -5; m <= 5; ++m) {
      if (k + m < 0 || k + m > N - 1) continue;
      const double w = 0.5 + 0.5 * std::cos(m * 3.14159265358979 / 5.3);
      a = a + w * std::log(input[k + m]);
      wa = wa + w;
    }
    ASSERT_EQ(curve[k], std::exp(a / wa * 1.0) * 0.0009765625 * 1.0 / (std::exp(0.0 / wa) / 1024)) << k;
  }
}

TEST(GainCurve, ZeroWeightEndsSkipSilentBins) {
  // A pitch of exactly 4 bins puts weight 0 at m = +-4: silent bins there add
  // nothing (not 0 x ln 0 = NaN). Bins 6, 14, 1012 (inner path), 1020 (edge
  // path), 496 and 504 stay 1; with the silence inside the window: 0 for a
  // silent input, 1 for a silent output.
  std::vector<double> input = flat(1.0, N + 1);
  input[N] = 0.0;
  input[10] = 0.0;
  input[1016] = 0.0;
  std::vector<double> output = flat(1.0);
  output[500] = 0.0;
  const std::vector<double> curve = curve_of(input, output, settings_for(4.0));
  for (int k = 0; k < N; ++k) {
    const bool silenced = (k >= 7 && k <= 13) || (k >= 1013 && k <= 1019);
    ASSERT_EQ(curve[k], silenced ? 0.0 : 1.0) << k;
  }
}

TEST(GainCurve, FrequencyWarpReadsTheInputEnvelopeElsewhere) {
  // ln(input[i]) = i / 100, no smoothing, output 1: bin k reads the input at s(k).
  std::vector<double> input(N + 1, 0.0);
  for (int i = 0; i < N; ++i) input[i] = std::exp(i / 100.0);
  EnvelopeSettings settings = settings_for(0.0);
  struct Case { double gen; int bin; double expected; };
  for (const Case& c : {Case{2.0, 100, std::exp(2.0)},     // s = 200
                        Case{2.0, 300, std::exp(5.12)},    // 600, held at 512
                        Case{2.0, 1000, std::exp(9.76)},   // 1024 - 24 x 2
                        Case{2.0, 600, std::exp(5.12)},    // below 512, held there
                        Case{1.5, 101, 0.5 * std::exp(1.51) + 0.5 * std::exp(1.52)},  // 151.5
                        Case{0.5, 700, std::exp(8.62)},    // 1024 - 324 x 0.5
                        Case{0.5, 9, 0.5 * std::exp(0.04) + 0.5 * std::exp(0.05)}}) {  // 4.5
    settings.gen = c.gen;
    EXPECT_NEAR(curve_of(input, flat(1.0), settings)[c.bin] / c.expected, 1.0, 1e-13) << c.bin;
  }
}

TEST(GainCurve, DegeneratePitchesAndWindowStayFinite) {
  // Pitches of NaN, 0 or infinity and a window of 0.
  const std::vector<double> in = uneven_spectrum();
  const std::vector<double> out = uneven_spectrum(N);
  EnvelopeSettings settings = settings_for(4.0, 0);
  settings.source_bins = NAN_D;
  settings.target_bins = 0.0;
  settings.window = 0;
  for (double v : curve_of(in, out, settings)) ASSERT_TRUE(std::isfinite(v));
  settings.source_bins = INF_D;
  settings.window = 1024;
  for (double v : curve_of(in, out, settings)) ASSERT_NEAR(v, 1.0, 1e-12);
}

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// The smoothed sums formed side by side give every bin the bits it gets at
// the plain level: pitches from below a bin to wider than a vector's bins,
// warped and not, with silent bins among the input's.
TEST(GainCurve, EveryLevelGivesThePlainBits) {
  std::vector<double> in = uneven_spectrum();
  for (int k = 100; k < 140; ++k) in[k] = 0.0;
  const std::vector<double> out = uneven_spectrum(N);
  for (const double pitch : {0.5, 3.0, 4.7, 13.0, 40.25, 700.0}) {
    for (const double gen : {1.0, 1.3}) {
      EnvelopeSettings settings = settings_for(pitch, 2);
      settings.target_bins = pitch * 0.8;
      settings.gen = gen;
      const std::vector<double> plain = curve_of(in, out, settings);
      for (const SimdLevel level : test::runnable_levels()) {
        settings.level = level;
        const std::vector<double> curve = curve_of(in, out, settings);
        ASSERT_EQ(curve.size(), plain.size());
        EXPECT_EQ(std::memcmp(curve.data(), plain.data(), plain.size() * sizeof(double)), 0)
            << simd_level_name(level) << " pitch " << pitch << " gen " << gen;
      }
    }
  }
}

}  // namespace
}  // namespace quillet
