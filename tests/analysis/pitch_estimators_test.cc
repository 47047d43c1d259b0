#include "analysis/pitch_estimators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "analysis/frequency_grid.h"
#include "core/constants.h"
#include "support/fixtures.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

// Pulses of height 1000 every period samples from entry 0: peak regions of
// equal height at every multiple of the period, listed by lag.
std::vector<double> pulse_block(int period) {
  std::vector<double> block(BLOCK_LENGTH, 0.0);
  for (int i = 0; i < BLOCK_LENGTH; i += period) block[i] = 1000.0;
  return block;
}

TEST(AutocorrelationEstimator, WholeHzQuotientOfTheBestLag) {
  const struct {
    int period, rate;
    double f0;
  } cases[] = {{100, 44100, 441.0}, {101, 44100, 436.0}, {200, 22050, 110.0},
               {10, 1000, 100.0}};  // below 1102 Hz the smallest lag is 1, not 0
  double energy = 0.0;
  for (const auto& c : cases) {
    const std::vector<double> block = pulse_block(c.period);
    EXPECT_EQ(estimate_block_f0(block.data(), AUTOCORR_SPAN, c.rate, energy), c.f0) << c.period;
  }
  // Silence: no region, energy 0. A constant a weighs a^2 / 3072 at every lag:
  // one region still open at the last lag, so dropped.
  const std::vector<double> silent(BLOCK_LENGTH, 0.0);
  EXPECT_EQ(estimate_block_f0(silent.data(), AUTOCORR_SPAN, 44100, energy), 0.0);
  EXPECT_EQ(energy, 0.0);
  const std::vector<double> constant(BLOCK_LENGTH, 1536.0);
  EXPECT_EQ(estimate_block_f0(constant.data(), AUTOCORR_SPAN, 44100, energy), 0.0);
  EXPECT_NEAR(energy, 768.0, 1e-9);
}

// Three products at j = 0 (weight 1), 1 and 384 (weight 0.5), summed in j
// order and scaled by (1/span)/span. The values are chosen so that a sum in
// any other order, or x[j] * (x[j+lag] * w), rounds differently.
TEST(AutocorrelationEstimator, EachLagSumsInJOrder) {
  const int span = AUTOCORR_SPAN;
  std::vector<double> cosine(span);
  for (int j = 0; j < span; ++j) cosine[j] = std::cos(j * 8.0 * std::atan(1.0) / span);
  const double w1 = 0.5 * cosine[1] + 0.5;
  ASSERT_EQ(0.5 * cosine[384] + 0.5, 0.5);
  const double t0 = 20469.0 * -9633.0, t1 = 32165.0 * -31302.0 * w1, t2 = -26183.0 * -22419.0 * 0.5;
  const double sum = (t0 + t1) + t2;
  ASSERT_NE(sum, t0 + (t1 + t2));
  ASSERT_NE(sum, (t0 + t2) + t1);
  ASSERT_NE(sum, (t0 + 32165.0 * (-31302.0 * w1)) + t2);
  for (int lag : {2, 5, 1535}) {  // lanes 2 and 1 of the blocks of four, and the last lag
    std::vector<double> x(2 * span, 0.0);
    x[0] = 20469.0, x[lag] = -9633.0;
    x[1] = 32165.0, x[1 + lag] = -31302.0;
    x[384] = -26183.0, x[384 + lag] = -22419.0;
    std::vector<double> r(span, -1.0);
    weighted_autocorrelation(r.data(), x.data(), span, span, cosine.data());
    EXPECT_EQ(r[lag], (1.0 / span) / span * sum) << lag;
  }
}

// Every lag by every vector width this processor runs, bit for bit the plain
// sums: a noise block with exact zeros (left out of the sums) and a block
// holding an infinity (every term kept, NaN and infinite lags).
TEST(Autocorrelation, EveryVectorWidthGivesThePlainBits) {
  const int span = AUTOCORR_SPAN;
  const std::vector<double> cosine = autocorr_cosine(span);
  std::vector<double> noisy = test::noise_values(2 * span, 3e4, 31);
  for (int j = 0; j < 2 * span; j += 9) noisy[j] = 0.0;
  std::vector<double> infinite = test::noise_values(2 * span, 1.0, 32);
  infinite[700] = INFINITY;
  std::vector<SimdLevel> levels{SimdLevel::sse2};
  if (processor_has_avx2()) levels.push_back(SimdLevel::avx2);
  for (const std::vector<double>* x : {&noisy, &infinite}) {
    for (const int lags : {span, 37, 16, 1}) {
      std::vector<double> plain(lags, -1.0);
      weighted_autocorrelation(plain.data(), x->data(), span, lags, cosine.data(), SimdLevel::plain);
      for (const SimdLevel level : levels) {
        std::vector<double> r(lags, -1.0);
        weighted_autocorrelation(r.data(), x->data(), span, lags, cosine.data(), level);
        EXPECT_EQ(std::memcmp(r.data(), plain.data(), lags * sizeof(double)), 0)
            << simd_level_name(level) << " lags " << lags;
      }
    }
  }
}

// Runs of one to four blocks, 256 entries apart as the analysis steps are,
// overlapping less (2000) or not at all (3100), with exact zeros, a silent
// lead-in, a sample as large as a double allows and an infinity: each block's
// lags have the bits of the plain autocorrelation of that block alone, and
// the batched estimates those of estimate_block_f0.
TEST(Autocorrelation, RunsOfBlocksGiveEachBlocksPlainBits) {
  const int span = AUTOCORR_SPAN;
  const std::vector<double> cosine = autocorr_cosine(span);
  std::vector<SimdLevel> levels{SimdLevel::plain, SimdLevel::sse2};
  if (processor_has_avx2()) levels.push_back(SimdLevel::avx2);
  std::vector<std::vector<double>> runs;
  runs.push_back(test::noise_values(2 * span + (BATCH_BLOCKS - 1) * 3100, 3e4, 41));
  for (size_t j = 0; j < runs[0].size(); j += 7) runs[0][j] = 0.0;
  for (int j = 0; j < 900; ++j) runs[0][j] = 0.0;
  runs.push_back(test::noise_values(2 * span + (BATCH_BLOCKS - 1) * 3100, 1.0, 42));
  runs[1][1900] = 1.7e308;
  runs.push_back(runs[1]);
  runs[2][2600] = -INFINITY;
  for (size_t v = 0; v < runs.size(); ++v) {
    const std::vector<double>& x = runs[v];
    for (const int stride : {256, 2000, 3100}) {
      for (int count = 1; count <= BATCH_BLOCKS; ++count) {
        std::vector<std::vector<double>> plain(count, std::vector<double>(span));
        for (int b = 0; b < count; ++b) {
          weighted_autocorrelation(plain[b].data(), x.data() + b * stride, span, span,
                                   cosine.data(), SimdLevel::plain);
        }
        for (const SimdLevel level : levels) {
          std::vector<std::vector<double>> r(count, std::vector<double>(span, -1.0));
          std::vector<double*> rows;
          for (std::vector<double>& row : r) rows.push_back(row.data());
          run_autocorrelation(rows.data(), x.data(), count, stride, span, 37, cosine.data(), level);
          for (int b = 0; b < count; ++b) {
            EXPECT_EQ(std::memcmp(r[b].data() + 37, plain[b].data() + 37,
                                  (span - 37) * sizeof(double)), 0)
                << "run " << v << " stride " << stride << " block " << b << " of " << count << " "
                << simd_level_name(level);
            EXPECT_EQ(r[b][36], -1.0) << "lags below the first are left alone";
          }
          std::vector<double> f0(count), energy(count);
          estimate_block_f0_batch(x.data(), count, stride, span, 44100, cosine.data(), f0.data(),
                                  energy.data(), level);
          for (int b = 0; b < count; ++b) {
            double alone_energy = 0.0;
            const double alone = estimate_block_f0(x.data() + b * stride, span, 44100,
                                                   cosine.data(), alone_energy);
            EXPECT_EQ(std::memcmp(&f0[b], &alone, sizeof alone), 0);
            EXPECT_EQ(std::memcmp(&energy[b], &alone_energy, sizeof alone_energy), 0);
          }
        }
      }
    }
  }
}

TEST(AutocorrelationPeaks, RegionsByHeightWithTiesInLagOrder) {
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
  EXPECT_EQ(std::vector<double>(freq, freq + 4), (std::vector<double>{44100, 441, 294, 864}));
  EXPECT_EQ(std::vector<double>(height, height + 4), (std::vector<double>{100, 60, 60, 40}));
  // With room for two regions the third is counted but not listed, even when taller.
  ASSERT_EQ(collect_autocorr_peaks(freq, height, 3, r.data(), 200, 44100), 3);
  EXPECT_EQ(freq[1], 441.0);
  EXPECT_EQ(freq[2], 864.0);
}

TEST(FundamentalChoice, OctavesThenHeightThenSubharmonicSupport) {
  const double h10_9[] = {100, 10, 9}, equal[] = {100, 10, 10}, tiny[] = {1e-6, 1e-9, 1e-9};
  const double octave_high_first[] = {44100, 441, 220}, octave_low_first[] = {44100, 220, 441};
  const double fifth[] = {44100, 300, 200};
  EXPECT_EQ(choose_fundamental_peak(octave_high_first, h10_9, 3), 1);
  EXPECT_EQ(choose_fundamental_peak(octave_low_first, h10_9, 3), 2);
  EXPECT_EQ(choose_fundamental_peak(fifth, h10_9, 3), 1);
  EXPECT_EQ(choose_fundamental_peak(fifth, equal, 3), 2);
  // Below four entries nothing is rejected, however quiet.
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 1), 0);
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 2), 1);
  EXPECT_EQ(choose_fundamental_peak(fifth, tiny, 3), 2);

  // Top pair 200 / 300 is no octave. 200 Hz has 100 Hz at its half (error 0)
  // and 66 Hz near its third (10000 ln(200/198)^2 = 1.0101): score
  // (80 + 70) / 1.0201 = 147, or 14.7 at a tenth of the heights.
  const double support[] = {44100, 200, 300, 100, 66};
  const double loud[] = {100, 100, 90, 80, 70}, quiet[] = {10, 10, 9, 8, 7};
  EXPECT_EQ(choose_fundamental_peak(support, loud, 5), 1);
  EXPECT_EQ(choose_fundamental_peak(support, loud, 9), 1);  // entries past 4 take no part
  EXPECT_EQ(choose_fundamental_peak(support, quiet, 5), 0);
  // An octave top pair scores height / (dev + 0.01); dev = 10000 ln(441/440)^2 = 0.0516.
  const double octave[] = {44100, 220, 441, 150, 100};
  const double h3[] = {10, 3.0, 2.0, 1, 1};  // 2 / 0.0616 = 32.5
  const double h4[] = {10, 4.0, 4.0, 1, 1};  // 4 / 0.0616 = 64.9
  EXPECT_EQ(choose_fundamental_peak(octave, h3, 4), 0);
  EXPECT_EQ(choose_fundamental_peak(octave, h4, 4), 2);
}

// An impulse a at block entry 1536 + n measures a * (0.5 cos(n pi / L) + 0.5)
// / sqrt(L) at every grid index, whatever its frequency.
TEST(GridSpectrum, HannWindowCentredOnTheBlockAndDividedByL) {
  const FrequencyGrid& grid = test::grid_at(44100);
  std::vector<double> spectrum(GRID_SIZE, -1.0);
  double maximum = -1.0;
  const struct {
    int entry, k;
    double expected;
  } impulses[] = {
      {1536, 360, 1000.0 / std::sqrt(724.0)},       // the centre, L = 724: 37.1647
      {1536 + 362, 360, 500.0 / std::sqrt(724.0)},  // half-way out: weight 0.5
      {0, 0, 3.23604345604},  // L = 2048 cut at the block start: 1000 (0.5 cos(3pi/4) + 0.5) / sqrt(2048)
  };
  for (const auto& c : impulses) {
    std::vector<double> block(BLOCK_LENGTH, 0.0);
    block[c.entry] = 1000.0;
    grid_spectrum(spectrum.data(), block.data(), BLOCK_LENGTH, grid, c.k, c.k + 1, 44100, maximum);
    EXPECT_NEAR(spectrum[c.k], c.expected, 1e-9) << c.entry;
    EXPECT_EQ(maximum, spectrum[c.k]);
  }
  EXPECT_EQ(spectrum[1], -1.0);

  // A 440 Hz sine peaks at index 360 with about A sqrt(L) / 2; only lo..hi-1 are written.
  std::vector<double> sine(BLOCK_LENGTH);
  for (int i = 0; i < BLOCK_LENGTH; ++i) sine[i] = 1000.0 * std::sin(i * TWO_PI * 440.0 / 44100.0);
  grid_spectrum(spectrum.data(), sine.data(), BLOCK_LENGTH, grid, 350, 371, 44100, maximum);
  EXPECT_NEAR(spectrum[360], 1000.0 * std::sqrt(724.0) / 2.0, 0.01 * 13453.6);
  EXPECT_EQ(maximum, spectrum[360]);
  EXPECT_EQ(spectrum[371], -1.0);
  EXPECT_EQ(first_spectral_peak(spectrum.data(), 350, 371, 0.2 * maximum), 360);

  // A grid built from a rate of 0 has empty windows: zeros, not NaN.
  grid_spectrum(spectrum.data(), sine.data(), BLOCK_LENGTH, test::grid_at(0), 1, 901, 0, maximum);
  EXPECT_EQ(spectrum[360], 0.0);
  EXPECT_EQ(maximum, 0.0);
}

// The analysis measures two grid indices side by side from factors made once;
// every value and the maximum must equal the one-index-at-a-time spectrum to
// the last bit, over ranges of either parity and at several rates.
TEST(GridSpectrum, PairedSumsFromFactorsEqualTheSingleIndexSums) {
  const std::vector<double> block = test::noise_values(BLOCK_LENGTH, 20000.0, 11);
  for (int rate : {22050, 44100, 48000}) {
    const FrequencyGrid& grid = test::grid_at(rate);
    GridFactors factors;
    key_grid_factors(factors, BLOCK_LENGTH, rate);
    for (int k = 0; k < GRID_SIZE; ++k) make_grid_factors(factors.values[k], grid, k, BLOCK_LENGTH, rate);
    for (const auto& [lo, hi] : {std::pair{1, 901}, std::pair{0, 900}, std::pair{359, 362}, std::pair{700, 701}}) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << lo << ".." << hi);
      std::vector<double> single(GRID_SIZE, -1.0), paired(GRID_SIZE, -1.0);
      double single_max = -1.0, paired_max = -2.0;
      grid_spectrum(single.data(), block.data(), BLOCK_LENGTH, grid, lo, hi, rate, single_max);
      grid_spectrum_from_factors(paired.data(), block.data(), BLOCK_LENGTH, grid, factors, lo, hi, paired_max);
      EXPECT_EQ(paired, single);
      EXPECT_EQ(paired_max, single_max);
    }
  }
}

// Runs of one to four blocks measured side by side give every block the
// values and the maximum of its own spectrum to the last bit, at every
// width, for blocks 256 entries apart, apart by more than a block, and one
// holding an infinity (its lane alone turns NaN or infinite).
TEST(GridSpectrum, BlocksSideBySideEqualEachBlockAlone) {
  std::vector<double> run = test::noise_values(BLOCK_LENGTH + 3 * 4000, 20000.0, 12);
  std::vector<SimdLevel> levels{SimdLevel::plain, SimdLevel::sse2};
  if (processor_has_avx2()) levels.push_back(SimdLevel::avx2);
  for (int rate : {22050, 44100}) {
    const FrequencyGrid& grid = test::grid_at(rate);
    GridFactors factors;
    key_grid_factors(factors, BLOCK_LENGTH, rate);
    for (int k = 0; k < GRID_SIZE; ++k) make_grid_factors(factors.values[k], grid, k, BLOCK_LENGTH, rate);
    for (const bool infinite : {false, true}) {
      run[1500] = infinite ? INFINITY : run[1501];
      for (const int stride : {256, 4000}) {
        for (int count = 1; count <= 4; ++count) {
          for (const auto& [lo, hi] : {std::pair{-3, 905}, std::pair{352, 369}, std::pair{700, 701}}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, stride " << stride << ", " << count
                                            << " blocks, " << lo << ".." << hi << (infinite ? ", inf" : ""));
            std::vector<std::vector<double>> alone(count, std::vector<double>(GRID_SIZE, -1.0));
            std::vector<double> alone_max(count);
            for (int b = 0; b < count; ++b) {
              grid_spectrum_from_factors(alone[b].data(), run.data() + b * stride, BLOCK_LENGTH, grid,
                                         factors, lo, hi, alone_max[b]);
            }
            for (const SimdLevel level : levels) {
              std::vector<std::vector<double>> together(count, std::vector<double>(GRID_SIZE, -1.0));
              std::vector<double*> rows;
              for (std::vector<double>& row : together) rows.push_back(row.data());
              std::vector<double> together_max(count, -2.0);
              grid_spectra_from_factors(rows.data(), run.data(), count, stride, BLOCK_LENGTH, grid,
                                        factors, lo, hi, together_max.data(), level);
              for (int b = 0; b < count; ++b) {
                EXPECT_EQ(std::memcmp(together[b].data(), alone[b].data(), GRID_SIZE * sizeof(double)), 0)
                    << simd_level_name(level) << " block " << b;
                EXPECT_EQ(std::memcmp(&together_max[b], &alone_max[b], sizeof(double)), 0);
              }
            }
          }
        }
      }
    }
  }
}

TEST(FirstSpectralPeak, FirstRiseAboveTheThresholdThenItsTop) {
  const double values[] = {0, 1, 5, 9, 7, 12};
  const double plateau[] = {2, 6, 6, 8}, dip[] = {6, 7, 3, 9};
  const struct {
    const double* spectrum;
    int lo, hi;
    double threshold;
    int peak;
  } cases[] = {
      {values, 1, 6, 4.0, 3},   // the later, higher 12 is never looked at
      {values, 1, 6, 12.0, 0},  // all at or below the threshold
      {values, 1, 4, 4.0, 3},   // still rising at hi - 1
      {values, 3, 6, 4.0, 3},   // first value above, then a fall: lo itself
      {plateau, 0, 4, 4.0, 1},  // a plateau ends the climb at its first entry
      {dip, 0, 4, 4.0, 1},      // done after falling to the threshold
  };
  for (const auto& c : cases) {
    EXPECT_EQ(first_spectral_peak(c.spectrum, c.lo, c.hi, c.threshold), c.peak)
        << c.lo << ".." << c.hi << " over " << c.threshold;
  }
}

}  // namespace
}  // namespace quillet
