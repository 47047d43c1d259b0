#include "analysis/period_candidates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "core/constants.h"

namespace quillet {
namespace {

// A d' curve of n + 1 lags at level 1 with the given dips: lag -> depth,
// the neighbours of each dip halfway back up.
std::vector<double> curve_with_dips(int n, const std::vector<std::pair<int, double>>& dips) {
  std::vector<double> cmnd(static_cast<size_t>(n) + 1, 1.0);
  for (const auto& [lag, depth] : dips) {
    cmnd[lag] = depth;
    cmnd[lag - 1] = cmnd[lag + 1] = 0.5 * (1.0 + depth);
  }
  return cmnd;
}

// The weight of the thresholds 0.01 k above depth, which a dip of that
// depth reaches.
double weight_below(const std::vector<double>& weights, double depth) {
  double sum = 0.0;
  for (int k = 1; k <= THRESHOLD_COUNT; ++k) sum += 0.01 * k > depth ? weights[k - 1] : 0.0;
  return sum;
}

// What the deepest dip (of that depth) gets from the thresholds no dip reaches.
double unreached(const std::vector<double>& weights, double deepest) {
  return UNREACHED_SHARE * (1.0 - weight_below(weights, deepest));
}

TEST(PeriodCandidates, ThresholdWeightsFollowTheirBetaDistribution) {
  const std::vector<double> w = threshold_weights();
  ASSERT_EQ(w.size(), static_cast<size_t>(THRESHOLD_COUNT));
  EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 1.0, 1e-12);
  double mean = 0.0;
  for (int k = 0; k < THRESHOLD_COUNT; ++k) mean += w[k] * 0.01 * (k + 1);
  EXPECT_NEAR(mean, THRESHOLD_MEAN, 0.005);
  // Beta(2, 11.33) peaks at 1 / 11.33 = 0.088: the 9th threshold.
  EXPECT_EQ(std::max_element(w.begin(), w.end()) - w.begin(), 8);
  EXPECT_EQ(w.back(), 0.0);
}

TEST(PeriodCandidates, NormalisedDifferenceOfAPeriodicSignalDipsToZeroAtThePeriod) {
  PeriodSignal s;
  s.rate = 22050;
  for (int n = 0; n < 4000; ++n) s.x.push_back(std::sin(TWO_PI * n / 50.0) + 0.5 * std::sin(TWO_PI * 3 * n / 50.0));
  std::vector<double> cmnd;
  ASSERT_TRUE(normalised_difference(s, 2000.0, 400, 120, cmnd));
  ASSERT_EQ(cmnd.size(), 121u);
  EXPECT_EQ(cmnd[0], 1.0);
  EXPECT_LT(cmnd[50], 1e-12);
  EXPECT_LT(cmnd[100], 1e-12);
  for (int lag = 5; lag < 45; ++lag) EXPECT_GT(cmnd[lag], 0.05) << lag;
  // The lags' stretches may reach past either end of the signal.
  EXPECT_TRUE(normalised_difference(s, 10.0, 400, 120, cmnd));

  PeriodSignal silent;
  silent.rate = 22050;
  silent.x.assign(4000, 0.0);
  EXPECT_FALSE(normalised_difference(silent, 2000.0, 400, 120, cmnd));
  EXPECT_EQ(cmnd, std::vector<double>(121, 1.0));
}

// d' lag by lag, straight from its definition.
std::vector<double> plain_normalised_difference(const PeriodSignal& s, double centre, int window,
                                                int max_lag) {
  std::vector<double> out(static_cast<size_t>(max_lag) + 1, 1.0);
  double running = 0.0;
  for (int lag = 1; lag <= max_lag; ++lag) {
    const long start = std::lround(centre - (window + lag) / 2.0);
    double d = 0.0;
    for (int j = 0; j < window; ++j) {
      const double step = s.at(start + j) - s.at(start + j + lag);
      d += step * step;
    }
    running += d;
    out[lag] = running > 0.0 ? d * lag / running : 1.0;
  }
  return out;
}

TEST(PeriodCandidates, LagsSummedSideBySideGiveThePlainSumsExactly) {
  PeriodSignal s;
  s.rate = 22050;
  uint32_t state = 12345;
  for (int n = 0; n < 3000; ++n) {
    state = state * 1664525u + 1013904223u;
    s.x.push_back(std::sin(TWO_PI * n / 61.7) + (state >> 8) / 16777216.0 - 0.5);
  }
  std::vector<double> cmnd;
  // Lag counts that leave 0 .. 3 lags after the blocks of four; centres near
  // either end and between frames.
  for (int max_lag : {4, 5, 6, 7, 130, 503}) {
    for (double centre : {0.0, 777.5, 1500.0, 2999.0}) {
      SCOPED_TRACE(testing::Message() << max_lag << " lags at " << centre);
      ASSERT_TRUE(normalised_difference(s, centre, 441, max_lag, cmnd));
      const std::vector<double> plain = plain_normalised_difference(s, centre, 441, max_lag);
      ASSERT_EQ(cmnd.size(), plain.size());
      for (size_t lag = 0; lag < plain.size(); ++lag) ASSERT_EQ(cmnd[lag], plain[lag]) << lag;
    }
  }
}

TEST(PeriodCandidates, EachDipTakesTheThresholdsThatCrossItFirst) {
  const std::vector<double> w = threshold_weights();
  const LagSpan span{10, 100};
  // One dip at lag 30, symmetric: refined exactly to 30.
  std::vector<PeriodCandidate> c = threshold_candidates(curve_with_dips(100, {{30, 0.05}}), span, w);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_DOUBLE_EQ(c[0].period, 30.0);
  EXPECT_NEAR(c[0].probability, weight_below(w, 0.05) + unreached(w, 0.05), 1e-12);

  // Two dips, neither a multiple of the other: the high thresholds stop at
  // the first, the low ones only at the second, deeper one.
  c = threshold_candidates(curve_with_dips(100, {{25, 0.3}, {70, 0.02}}), span, w);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_DOUBLE_EQ(c[0].period, 25.0);
  EXPECT_NEAR(c[0].probability, weight_below(w, 0.3), 1e-12);
  EXPECT_DOUBLE_EQ(c[1].period, 70.0);
  EXPECT_NEAR(c[1].probability, weight_below(w, 0.02) - weight_below(w, 0.3) + unreached(w, 0.02), 1e-12);

  // An asymmetric dip: the parabola's vertex lies towards the lower side.
  std::vector<double> lopsided = curve_with_dips(100, {{40, 0.1}});
  lopsided[41] = 0.2;
  c = threshold_candidates(lopsided, span, w);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_GT(c[0].period, 40.0);
  EXPECT_LT(c[0].period, 40.5);
}

TEST(PeriodCandidates, AMuchDeeperDipAtAMultipleTakesTheProbability) {
  const std::vector<double> w = threshold_weights();
  const LagSpan span{10, 100};
  // Lag 20 is a strong harmonic; the period is 40, five times deeper.
  std::vector<PeriodCandidate> c =
      threshold_candidates(curve_with_dips(100, {{20, 0.3}, {40, 0.05}}), span, w);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_DOUBLE_EQ(c[0].period, 40.0);
  EXPECT_NEAR(c[0].probability, weight_below(w, 0.05) + unreached(w, 0.05), 1e-12);
  // Both near 0 (a steady sound whose period is lag 20): four times deeper
  // but by less than the margin, so lag 20 stays.
  c = threshold_candidates(curve_with_dips(100, {{20, 0.008}, {40, 0.001}}), span, w);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_DOUBLE_EQ(c[0].period, 20.0);
  // Three times deeper: lag 40 is neither the same period seen again nor
  // deep enough to take lag 20's thresholds.
  c = threshold_candidates(curve_with_dips(100, {{20, 0.3}, {40, 0.1}}), span, w);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_DOUBLE_EQ(c[0].period, 20.0);
  EXPECT_NEAR(c[0].probability, weight_below(w, 0.3), 1e-12);
  EXPECT_DOUBLE_EQ(c[1].period, 40.0);
}

TEST(PeriodCandidates, ANearlyAsDeepDipAtAMultipleIsTheSamePeriodAgain) {
  const std::vector<double> w = threshold_weights();
  const LagSpan span{10, 100};
  // Lag 40 (and 80, five periods on) only a little deeper than lag 20: every
  // threshold counts for lag 20.
  for (int multiple : {40, 61, 80}) {
    SCOPED_TRACE(multiple);
    const std::vector<PeriodCandidate> c =
        threshold_candidates(curve_with_dips(100, {{20, 0.3}, {multiple, 0.2}}), span, w);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_DOUBLE_EQ(c[0].period, 20.0);
    EXPECT_NEAR(c[0].probability, weight_below(w, 0.2) + unreached(w, 0.2), 1e-12);
  }
  // A dip that is no multiple keeps its own thresholds.
  const std::vector<PeriodCandidate> c =
      threshold_candidates(curve_with_dips(100, {{20, 0.3}, {50, 0.2}}), span, w);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_DOUBLE_EQ(c[1].period, 50.0);
}

TEST(PeriodCandidates, NoDipBelowAnyThresholdGivesTheDeepestASmallShare) {
  const std::vector<double> w = threshold_weights();
  std::vector<double> cmnd(101, 1.5);
  cmnd[60] = 1.1;
  cmnd[80] = 1.2;
  const std::vector<PeriodCandidate> c = threshold_candidates(cmnd, LagSpan{10, 100}, w);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_NEAR(c[0].period, 60.0, 0.5);
  EXPECT_NEAR(c[0].probability, UNREACHED_SHARE, 1e-12);
  // Lags outside the span are never picked.
  cmnd[5] = 0.0;
  EXPECT_NEAR(threshold_candidates(cmnd, LagSpan{10, 100}, w)[0].period, 60.0, 0.5);
  EXPECT_TRUE(threshold_candidates(cmnd, LagSpan{90, 80}, w).empty());
}

TEST(PeriodCandidates, RefinementFindsAPeriodBetweenLags) {
  PeriodSignal s;
  s.rate = 44100;
  const double period = 37.3;
  for (int n = 0; n < 3000; ++n) s.x.push_back(std::sin(TWO_PI * n / period) + 0.3 * std::sin(TWO_PI * 2 * n / period));
  EXPECT_NEAR(refine_period(s, 1500.0, 300, 37.0, 2), period, 0.02);
  EXPECT_NEAR(refine_period(s, 1500.0, 300, 38.4, 3), period, 0.02);
  // The least lag at the edge of the search: the guess comes back.
  EXPECT_EQ(refine_period(s, 1500.0, 300, 33.0, 2), 33.0);
}

}  // namespace
}  // namespace quillet
