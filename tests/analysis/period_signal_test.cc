#include "analysis/period_signal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/constants.h"

namespace quillet {
namespace {

PeriodSignal sine(double hz, double rate, int frames) {
  PeriodSignal s;
  s.rate = rate;
  for (int n = 0; n < frames; ++n) s.x.push_back(std::sin(TWO_PI * hz * n / rate));
  return s;
}

// Largest magnitude over the frames away from both ends.
double inner_peak(const PeriodSignal& s, int margin) {
  double peak = 0.0;
  for (int n = margin; n + margin < static_cast<int>(s.x.size()); ++n) peak = std::fmax(peak, std::fabs(s.x[n]));
  return peak;
}

TEST(PeriodSignal, FactorsBringEveryRateNearTheSearchRate) {
  const struct {
    int rate, down, up;
  } cases[] = {{1102, 1, 21}, {8000, 1, 3}, {11025, 1, 2}, {16000, 1, 2}, {22050, 1, 1},
               {44099, 1, 1}, {44100, 2, 1}, {48000, 2, 1}, {96000, 4, 1}, {192000, 8, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    EXPECT_EQ(decimation_factor(c.rate), c.down);
    EXPECT_EQ(upsampling_factor(c.rate), c.up);
    const double search = static_cast<double>(c.rate) * c.up / c.down;
    EXPECT_GE(search, PERIOD_SEARCH_RATE);
    EXPECT_LT(search, 2.0 * PERIOD_SEARCH_RATE);
  }
}

TEST(PeriodSignal, ChannelZeroTakesTheFirstChannelAndPadsWithSilence) {
  const SampleStore stereo{1, -1, 2, -2, 3, -3};
  const PeriodSignal s = channel_zero(stereo, 5, 2, 8000);
  ASSERT_EQ(s.x.size(), 5u);
  EXPECT_EQ(s.rate, 8000.0);
  EXPECT_EQ(s.x, (std::vector<double>{1, 2, 3, 0, 0}));
  EXPECT_EQ(s.at(-1), 0.0);
  EXPECT_EQ(s.at(2), 3.0);
  EXPECT_EQ(s.at(5), 0.0);
}

TEST(PeriodSignal, DecimationKeepsThePassBandAndRemovesWhatWouldFoldBack) {
  const int factor = 4;
  const PeriodSignal low = decimate(sine(1000.0, 96000.0, 9600), factor);
  ASSERT_EQ(low.x.size(), 2400u);
  EXPECT_EQ(low.rate, 24000.0);
  EXPECT_NEAR(inner_peak(low, 100), 1.0, 0.01);
  // Frame m of the copy lies at frame 4 m of the original.
  for (int m = 100; m < 2300; m += 97) EXPECT_NEAR(low.x[m], std::sin(TWO_PI * 1000.0 * m / 24000.0), 0.01) << m;
  // 20 kHz would fold to 4 kHz at 24 kHz.
  EXPECT_LT(inner_peak(decimate(sine(20000.0, 96000.0, 9600), factor), 100), 0.01);
  // Odd length: the last frame is kept.
  EXPECT_EQ(decimate(sine(1000.0, 44100.0, 1001), 2).x.size(), 501u);
  const PeriodSignal same = decimate(sine(1000.0, 22050.0, 50), 1);
  EXPECT_EQ(same.x, sine(1000.0, 22050.0, 50).x);
}

TEST(PeriodSignal, UpsamplingKeepsTheFramesAndInterpolatesBetweenThem) {
  const int factor = 3;
  const PeriodSignal in = sine(300.0, 8000.0, 800);
  const PeriodSignal up = upsample(in, factor);
  ASSERT_EQ(up.x.size(), 2400u);
  EXPECT_EQ(up.rate, 24000.0);
  for (int n = 0; n < 800; ++n) EXPECT_NEAR(up.x[3 * n], in.x[n], 1e-12) << n;
  for (int m = 60; m < 2340; ++m) {
    ASSERT_NEAR(up.x[m], std::sin(TWO_PI * 300.0 * m / 24000.0), 2e-3) << m;
  }
  EXPECT_EQ(upsample(in, 1).x, in.x);
}

}  // namespace
}  // namespace quillet
