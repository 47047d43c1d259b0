#include "filter/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillet {
namespace {

constexpr int N = 1024;

std::vector<double> flat(double value, int count = N) { return std::vector<double>(count, value); }

// A positive, uneven spectrum (1025 entries, the last 0 as the filter keeps it).
std::vector<double> uneven_spectrum() {
  std::vector<double> spectrum(N + 1, 0.0);
  for (int k = 0; k < N; ++k) spectrum[k] = 1.0 + 0.9 * std::sin(0.37 * k) + 0.001 * k;
  return spectrum;
}

EnvelopeSettings plain_settings(double pitch_bins) {
  EnvelopeSettings s;
  s.source_bins = pitch_bins;
  s.target_bins = pitch_bins;
  s.band_index = 0;
  return s;
}

TEST(SmoothingWeights, RaisedCosineOnePitchWide) {
  const SmoothingWeights w = smoothing_weights(4.0);
  ASSERT_EQ(w.half_width, 4);
  ASSERT_EQ(w.weight.size(), 9u);
  EXPECT_EQ(w.weight[4], 1.0);                                // m = 0
  EXPECT_NEAR(w.weight[2], 0.5, 1e-14);                       // m = -2: a quarter turn
  EXPECT_NEAR(w.weight[5], 0.5 + 0.5 * std::sqrt(0.5), 1e-14);  // m = 1
  EXPECT_NEAR(w.weight[0], 0.0, 1e-14);                       // m = -4: half a turn
  EXPECT_EQ(smoothing_weights(2.5).half_width, 2);
  // Pitches too small or not finite keep m = 0 alone with weight 1.
  for (double pitch : {0.5, 0.0, -3.0, 1e-10, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
    const SmoothingWeights single = smoothing_weights(pitch);
    EXPECT_EQ(single.half_width, 0) << pitch;
    EXPECT_EQ(single.weight, std::vector<double>{1.0}) << pitch;
  }
  // A huge pitch is cut to the widest offset that still reaches a bin.
  const SmoothingWeights wide = smoothing_weights(1e12);
  EXPECT_EQ(wide.half_width, 1023);
  EXPECT_EQ(wide.weight.size(), 2047u);
}

TEST(GainCurve, RatioOfSmoothedEnvelopesWithBoostLimits) {
  std::vector<double> curve;
  // The same spectrum in and out, no warp: every gain is exactly 1.
  const std::vector<double> spectrum = uneven_spectrum();
  const std::vector<double> same_out(spectrum.begin(), spectrum.begin() + N);
  EnvelopeSettings settings = plain_settings(5.3);
  settings.band_index = 17;
  compute_gain_curve(spectrum, same_out, settings, curve);
  ASSERT_EQ(curve.size(), 1024u);
  for (int k = 0; k < N; ++k) ASSERT_EQ(curve[k], 1.0) << k;

  // Twice the output everywhere: gain 2, except bins 0 ... 3 and 1020 ... 1023.
  std::vector<double> doubled = spectrum;
  for (double& v : doubled) v *= 2.0;
  settings.band_index = 3;
  compute_gain_curve(doubled, same_out, settings, curve);
  EXPECT_EQ(curve[3], 1.0);
  EXPECT_NEAR(curve[4], 2.0, 1e-12);
  EXPECT_NEAR(curve[600], 2.0, 1e-12);
  EXPECT_NEAR(curve[1019], 2.0, 1e-12);
  EXPECT_EQ(curve[1020], 1.0);

  // Exponent and window length: input e^2 raised to 0.5 against 1 summed over
  // a 2048-sample window gives e * 2; band index 0 still limits bins 0 and 1023.
  settings = plain_settings(3.0);
  settings.fce = 0.5;
  settings.window = 2048;
  std::vector<double> input = flat(std::exp(2.0), N + 1);
  input[N] = 0.0;
  compute_gain_curve(input, flat(1.0), settings, curve);
  EXPECT_EQ(curve[0], 1.0);
  EXPECT_NEAR(curve[1], 2.0 * std::exp(1.0), 1e-12);
  EXPECT_NEAR(curve[512], 2.0 * std::exp(1.0), 1e-12);
  EXPECT_EQ(curve[1023], 1.0);
}

TEST(GainCurve, SmoothedSumsKeepTheirOrderInEveryBin) {
  // Against a flat output of 1 (log 0) the gain is exp(A / WA) with A the
  // weighted log sum taken in increasing offset order; bins near the edges
  // sum fewer offsets. Every bin must match that order to the last bit.
  const std::vector<double> input = uneven_spectrum();
  EnvelopeSettings settings = plain_settings(5.3);
  settings.band_index = -1;
  std::vector<double> curve;
  compute_gain_curve(input, flat(1.0), settings, curve);
  const SmoothingWeights w = smoothing_weights(5.3);
  for (int k = 0; k < N; ++k) {
    double a = 0.0;
    double wa = 0.0;
    for (int m = -5; m <= 5; ++m) {
      if (k + m < 0 || k + m > N - 1) continue;
      a = a + w.weight[m + 5] * std::log(input[k + m]);
      wa = wa + w.weight[m + 5];
    }
    const double env_in = std::exp(a / wa * 1.0) * 0.0009765625 * 1.0;
    const double env_out = std::exp(0.0 / wa) / 1024;
    ASSERT_EQ(curve[k], env_in / env_out) << k;
  }
}

TEST(GainCurve, ZeroWeightEndsSkipSilentBins) {
  // A pitch of exactly 4 bins puts weight 0 at m = +-4. Silent bins there
  // must add nothing (not 0 x ln 0): bins 6, 14, 1012 (inner path), 1020 (edge
  // path) and 496, 504 stay at 1; bins with the silence inside their window
  // get 0 (silent input) or 1 (silent output).
  std::vector<double> input = flat(1.0, N + 1);
  input[N] = 0.0;
  input[10] = 0.0;
  input[1016] = 0.0;
  std::vector<double> output = flat(1.0);
  output[500] = 0.0;
  EnvelopeSettings settings = plain_settings(4.0);
  settings.band_index = -1;
  std::vector<double> curve;
  compute_gain_curve(input, output, settings, curve);
  for (int k = 0; k < N; ++k) {
    const bool silenced = (k >= 7 && k <= 13) || (k >= 1013 && k <= 1019);
    ASSERT_EQ(curve[k], silenced ? 0.0 : 1.0) << k;
  }
}

TEST(GainCurve, FrequencyWarpReadsTheInputEnvelopeElsewhere) {
  // ln(input[i]) = i / 100, no smoothing, output flat 1: the gain at bin k is
  // the input read at the warped position s(k).
  std::vector<double> input(N + 1, 0.0);
  for (int i = 0; i < N; ++i) input[i] = std::exp(i / 100.0);
  EnvelopeSettings settings = plain_settings(0.0);
  settings.band_index = -1;  // no bin limited
  std::vector<double> curve;

  settings.gen = 2.0;
  compute_gain_curve(input, flat(1.0), settings, curve);
  EXPECT_NEAR(curve[100], std::exp(2.0), 1e-12);    // s = 200
  EXPECT_NEAR(curve[300], std::exp(5.12), 1e-11);   // s = 600, held at 512
  EXPECT_NEAR(curve[1000], std::exp(9.76), 1e-9);   // s = 1024 - 24 * 2
  EXPECT_NEAR(curve[600], std::exp(5.12), 1e-11);   // s = 848 - ..., held at 512

  settings.gen = 1.5;
  compute_gain_curve(input, flat(1.0), settings, curve);
  EXPECT_NEAR(curve[101], 0.5 * std::exp(1.51) + 0.5 * std::exp(1.52), 1e-12);  // s = 151.5

  settings.gen = 0.5;
  compute_gain_curve(input, flat(1.0), settings, curve);
  EXPECT_NEAR(curve[700], std::exp(8.62), 1e-9);    // s = 1024 - 324 * 0.5
  EXPECT_NEAR(curve[9], 0.5 * std::exp(0.04) + 0.5 * std::exp(0.05), 1e-12);  // s = 4.5
}

TEST(GainCurve, BandGainSilenceAndDegenerateWidths) {
  const std::vector<double> spectrum = uneven_spectrum();
  const std::vector<double> same_out(spectrum.begin(), spectrum.begin() + N);
  std::vector<double> curve;
  EnvelopeSettings settings = plain_settings(4.0);
  settings.band_gain = 0.25;
  settings.cutoff_bin = 100.0;
  compute_gain_curve(spectrum, same_out, settings, curve);
  EXPECT_NEAR(curve[99], 1.0, 1e-12);
  EXPECT_NEAR(curve[100], 0.625, 1e-12);
  EXPECT_NEAR(curve[101], 0.25, 1e-12);
  EXPECT_NEAR(curve[1023], 0.25, 1e-12);  // the upper half lies above any cutoff
  settings.cutoff_bin = 100.5;
  compute_gain_curve(spectrum, same_out, settings, curve);
  EXPECT_NEAR(curve[100], 1.0, 1e-12);
  EXPECT_NEAR(curve[101], 0.25, 1e-12);

  // A silent output spectrum gives gain 1; a silent input gives gain 0. (The
  // pitch is not a whole number of bins: the end weights then stay above 0.)
  settings = plain_settings(4.2);
  compute_gain_curve(spectrum, flat(0.0), settings, curve);
  for (int k = 0; k < N; ++k) ASSERT_EQ(curve[k], 1.0) << k;
  compute_gain_curve(flat(0.0, N + 1), same_out, settings, curve);
  for (int k = 0; k < N; ++k) ASSERT_EQ(curve[k], 0.0) << k;

  // Pitches of 0, NaN or infinity and a window of 0 still give finite gains.
  settings.source_bins = std::numeric_limits<double>::quiet_NaN();
  settings.target_bins = 0.0;
  settings.window = 0;
  compute_gain_curve(spectrum, same_out, settings, curve);
  for (int k = 0; k < N; ++k) ASSERT_TRUE(std::isfinite(curve[k])) << k;
  settings.source_bins = std::numeric_limits<double>::infinity();
  settings.window = 1024;
  compute_gain_curve(spectrum, same_out, settings, curve);
  for (int k = 0; k < N; ++k) ASSERT_NEAR(curve[k], 1.0, 1e-12) << k;
}

}  // namespace
}  // namespace quillet
