#include "analysis/pitch_estimators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/frequency_grid.h"
#include "constants.h"

namespace quillet {
namespace {

// A block of pulses of height 1000 every period samples, starting at entry 0.
std::vector<double> pulse_block(int period) {
  std::vector<double> block(BLOCK_LENGTH, 0.0);
  for (int i = 0; i < BLOCK_LENGTH; i += period) block[i] = 1000.0;
  return block;
}

TEST(AutocorrelationEstimator, SilenceAndConstantBlocksHaveNoFundamental) {
  const std::vector<double> silent(BLOCK_LENGTH, 0.0);
  double energy = -1.0;
  EXPECT_EQ(estimate_block_f0(silent.data(), AUTOCORR_SPAN, 44100, energy), 0.0);
  EXPECT_EQ(energy, 0.0);

  // A constant a weighs a^2 * (sum of the weights, span / 2) / span^2 = a^2 / 3072
  // at every lag: one region that is still open at the last lag, so dropped.
  const std::vector<double> constant(BLOCK_LENGTH, 1536.0);
  EXPECT_EQ(estimate_block_f0(constant.data(), AUTOCORR_SPAN, 44100, energy), 0.0);
  EXPECT_NEAR(energy, 768.0, 1e-9);
}

// Pulse trains have peak regions of exactly equal height at every multiple of
// the period, so they are listed by lag and the first two are an octave apart.
TEST(AutocorrelationEstimator, PulseTrainGivesTheWholeHzQuotientOfItsLag) {
  double energy = 0.0;
  std::vector<double> block = pulse_block(100);
  EXPECT_EQ(estimate_block_f0(block.data(), AUTOCORR_SPAN, 44100, energy), 441.0);
  EXPECT_GT(energy, 0.0);
  block = pulse_block(101);
  EXPECT_EQ(estimate_block_f0(block.data(), AUTOCORR_SPAN, 44100, energy), 436.0);
  block = pulse_block(200);
  EXPECT_EQ(estimate_block_f0(block.data(), AUTOCORR_SPAN, 22050, energy), 110.0);

  // Below 1102 Hz the smallest lag would be 0; the estimate must still be sane.
  block = pulse_block(10);
  const double low_rate = estimate_block_f0(block.data(), AUTOCORR_SPAN, 1000, energy);
  EXPECT_TRUE(std::isfinite(low_rate));
}

TEST(AutocorrelationEstimator, WeightedAutocorrelationMatchesHandSums) {
  // x[0] = 2 (weight 1), x[1] = 1 (weight w1) and x[768] = 3 (weight 0): r[0]
  // = 4 + w1, r[1] = 2 * 1, r[767] = 1 * 3 * w1, r[768] = 2 * 3, all over span^2.
  const int span = 1536;
  std::vector<double> x(2 * span, 0.0);
  x[0] = 2.0;
  x[1] = 1.0;
  x[768] = 3.0;
  std::vector<double> cosine(span);
  for (int j = 0; j < span; ++j) cosine[j] = std::cos(j * TWO_PI / span);
  std::vector<double> r(span, -1.0);
  weighted_autocorrelation(r.data(), x.data(), span, span, cosine.data());
  const double scale = 1.0 / (1536.0 * 1536.0);
  const double weight1 = 0.5 * std::cos(TWO_PI / span) + 0.5;
  EXPECT_NEAR(r[0], (4.0 + 1.0 * weight1) * scale, 1e-18);
  EXPECT_NEAR(r[1], 2.0 * scale, 1e-18);
  EXPECT_NEAR(r[768], 6.0 * scale, 1e-18);
  EXPECT_NEAR(r[767], 3.0 * weight1 * scale, 1e-18);
  EXPECT_EQ(r[766], 0.0);
  EXPECT_EQ(r[1535], 0.0);

  // Lags summed side by side give the same bits as lags summed one at a time.
  for (int i = 0; i < 2 * span; ++i) x[i] = std::sin(i * 0.37) * 3000.0 + (i % 7) * 11.0;
  weighted_autocorrelation(r.data(), x.data(), span, span, cosine.data());
  for (int lag : {0, 1, 2, 3, 4, 5, 6, 7, 1534, 1535}) {
    std::vector<double> single(span);
    weighted_autocorrelation(single.data(), x.data(), span, lag + 1, cosine.data());
    EXPECT_EQ(single[lag], r[lag]) << lag;
  }
}

TEST(AutocorrelationPeaks, RegionsAreListedByHeightWithTiesInLagOrder) {
  // min_lag at 44100 Hz is 40; the floor is 0.2 * r[0] = 20 (strict).
  std::vector<double> r(200, 0.0);
  r[0] = 100.0;
  r[10] = r[11] = 90.0;                      // below the smallest lag
  r[50] = 30.0, r[51] = 40.0, r[52] = 35.0;  // 44100 / 51 = 864.7 -> 864
  r[100] = 60.0, r[101] = 60.0;              // first maximum counts: 441
  r[120] = 20.0;                             // at the floor, not above it
  r[150] = 60.0;                             // equal height goes after: 294
  r[198] = r[199] = 99.0;                    // still open at the end: dropped
  double freq[MAX_PEAKS], height[MAX_PEAKS];
  ASSERT_EQ(collect_autocorr_peaks(freq, height, MAX_PEAKS, r.data(), 200, 44100), 4);
  EXPECT_EQ(freq[0], 44100.0);
  EXPECT_EQ(height[0], 100.0);
  EXPECT_EQ(freq[1], 441.0);
  EXPECT_EQ(freq[2], 294.0);
  EXPECT_EQ(freq[3], 864.0);
  EXPECT_EQ(height[3], 40.0);

  // With room for two regions the third is counted but not listed, even when taller.
  ASSERT_EQ(collect_autocorr_peaks(freq, height, 3, r.data(), 200, 44100), 3);
  EXPECT_EQ(freq[1], 441.0);
  EXPECT_EQ(freq[2], 864.0);
}

TEST(FundamentalChoice, ThreeEntriesPreferOctavesThenHeight) {
  const double octave_high_first[] = {44100, 441, 220};
  const double octave_low_first[] = {44100, 220, 441};
  const double heights[] = {100, 10, 9};
  EXPECT_EQ(choose_fundamental_peak(octave_high_first, heights, 3), 1);
  EXPECT_EQ(choose_fundamental_peak(octave_low_first, heights, 3), 2);

  const double fifth[] = {44100, 300, 200};
  EXPECT_EQ(choose_fundamental_peak(fifth, heights, 3), 1);
  const double equal[] = {100, 10, 10};
  EXPECT_EQ(choose_fundamental_peak(fifth, equal, 3), 2);

  // Tiny heights are never rejected below four entries.
  const double tiny[] = {1e-6, 1e-9, 1e-9};
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 2), 1);
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 3), 2);
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 1), 0);
}

TEST(FundamentalChoice, FourOrMoreEntriesNeedScoreAboveFifty) {
  // Top pair 200 / 300 is no octave. 200 Hz has 100 Hz at its half (error 0)
  // and 66 Hz near its third (10000 ln(200/198)^2 = 1.0101): score
  // (80 + 70) / 1.0201 = 147 against well under 1 for the others.
  const double freq[] = {44100, 200, 300, 100, 66};
  const double loud[] = {100, 100, 90, 80, 70};
  EXPECT_EQ(choose_fundamental_peak(freq, loud, 5), 1);
  EXPECT_EQ(choose_fundamental_peak(freq, loud, 9), 1);  // entries past 4 take no part
  const double quiet[] = {10, 10, 9, 8, 7};               // score 14.7
  EXPECT_EQ(choose_fundamental_peak(freq, quiet, 5), 0);

  // An octave top pair scores height / (dev + 0.01); dev = 10000 ln(441/440)^2 = 0.0516.
  const double octave[] = {44100, 220, 441, 150, 100};
  const double h3[] = {10, 3.0, 2.0, 1, 1};  // 2 / 0.0616 = 32.5
  const double h4[] = {10, 4.0, 4.0, 1, 1};  // 4 / 0.0616 = 64.9
  EXPECT_EQ(choose_fundamental_peak(octave, h3, 4), 0);
  EXPECT_EQ(choose_fundamental_peak(octave, h4, 4), 2);
}

TEST(GridSpectrum, SineAtAGridFrequencyPeaksThereWithHandMagnitude) {
  FrequencyGrid grid;
  build_frequency_grid(grid, 44100, BLOCK_LENGTH);
  std::vector<double> block(BLOCK_LENGTH);
  for (int i = 0; i < BLOCK_LENGTH; ++i) block[i] = 1000.0 * std::sin(i * TWO_PI * 440.0 / 44100.0);
  std::vector<double> spectrum(GRID_SIZE, -1.0);
  double maximum = -1.0;
  grid_spectrum(spectrum.data(), block.data(), BLOCK_LENGTH, grid, 350, 371, 44100, maximum);
  // |X| ~ A/2 * (sum of the Hann window = L); divided by L under the root:
  // A sqrt(L) / 2 with L = 724.
  EXPECT_NEAR(spectrum[360], 1000.0 * std::sqrt(724.0) / 2.0, 0.01 * 13453.6);
  EXPECT_EQ(maximum, spectrum[360]);
  EXPECT_EQ(spectrum[349], -1.0);
  EXPECT_EQ(spectrum[371], -1.0);
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 350, 371, 0.2 * maximum), 360);

  // Windows longer than the block are cut at both ends; silence gives 0.
  grid_spectrum(spectrum.data(), block.data(), BLOCK_LENGTH, grid, 1, 5, 44100, maximum);
  for (int k = 1; k < 5; ++k) EXPECT_TRUE(std::isfinite(spectrum[k]));
  const std::vector<double> silent(BLOCK_LENGTH, 0.0);
  grid_spectrum(spectrum.data(), silent.data(), BLOCK_LENGTH, grid, 1, 901, 44100, maximum);
  EXPECT_EQ(maximum, 0.0);
  EXPECT_EQ(spectrum[900], 0.0);

  // A grid built from a rate of 0 has empty windows: zeros, not NaN.
  FrequencyGrid empty;
  build_frequency_grid(empty, 0, BLOCK_LENGTH);
  grid_spectrum(spectrum.data(), block.data(), BLOCK_LENGTH, empty, 1, 901, 0, maximum);
  EXPECT_EQ(spectrum[360], 0.0);
  EXPECT_EQ(maximum, 0.0);
}

TEST(FirstSpectralPeak, TakesTheFirstPeakAboveTheThreshold) {
  const double values[] = {1, 5, 9, 7, 12};
  std::vector<double> spectrum(20, 0.0);
  for (int i = 0; i < 5; ++i) spectrum[10 + i] = values[i];
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 10, 15, 4.0), 12);
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 10, 15, 12.0), 0);  // all at or below
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 10, 13, 4.0), 12);  // still rising at the end
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 12, 15, 4.0), 12);  // first value, then falls: lo

  // A plateau stops the climb at its first entry; after falling to the
  // threshold the scan is done, so a later higher peak is ignored.
  const double plateau[] = {2, 6, 6, 8};
  const double dip[] = {6, 7, 3, 9};
  EXPECT_EQ(first_spectral_peak(plateau, 0, 4, 4.0), 1);
  EXPECT_EQ(first_spectral_peak(dip, 0, 4, 4.0), 1);
  const double late[] = {1, 2, 3, 6};
  EXPECT_EQ(first_spectral_peak(late, 0, 4, 4.0), 3);
}

}  // namespace
}  // namespace quillet
