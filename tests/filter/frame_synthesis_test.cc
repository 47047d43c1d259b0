#include "filter/frame_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace quillet {
namespace {

std::vector<double> noise(int count, double amplitude, uint32_t seed) {
  std::vector<double> values(count);
  for (double& v : values) {
    seed = seed * 1664525u + 1013904223u;
    v = amplitude * (static_cast<double>(seed >> 8) / 8388608.0 - 1.0);
  }
  return values;
}

// Every frame of a signal of out_len samples with one gain for every bin, the
// completing frame after the last frame start included.
OverlapAdd run_frames(const std::vector<double>& signal, int out_len, double gain, bool keep_level) {
  const SpectralTables tables = make_spectral_tables();
  const std::vector<double> gains(SPECTRUM_SIZE, gain);
  OverlapAdd state;
  state.work.assign(out_len, -1.0);
  for (long long at = 0; at < out_len + 512; at += 512) {
    synthesize_frame(signal, at, FrameGains{&gains, keep_level, nullptr}, tables, state);
  }
  return state;
}

TEST(FrameSynthesis, LevelFactorRestoresTheMagnitudeSum) {
  // 2600 samples, the last frame partial: a uniform gain 0.5 is undone by the
  // level factor to the last sample; gain 0 leaves nothing (factor 1, not 0/0).
  const int out_len = 2600;
  const std::vector<double> signal = noise(out_len, 10000.0, 5);
  const OverlapAdd kept = run_frames(signal, out_len, 0.5, true);
  const OverlapAdd muted = run_frames(signal, out_len, 0.0, true);
  double largest = 0.0;
  for (int n = 0; n < out_len; ++n) {
    ASSERT_NEAR(kept.work[n], signal[n], 1e-8) << n;
    ASSERT_EQ(muted.work[n], 0.0) << n;
    largest = std::max(largest, std::fabs(signal[n]));
  }
  EXPECT_NEAR(kept.peak, largest, 1e-8);
}

}  // namespace
}  // namespace quillet
