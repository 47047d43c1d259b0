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

// Runs every frame of a signal of out_len samples with one gain for every bin,
// the completing frame after the last frame start included.
OverlapAdd run_frames(const std::vector<double>& signal, int out_len, double gain,
                      bool keep_level) {
  const SpectralTables tables = make_spectral_tables();
  const std::vector<double> gains(SPECTRUM_SIZE, gain);
  OverlapAdd state;
  state.work.assign(out_len, -1.0);
  const FrameGains frame_gains{&gains, keep_level, nullptr};
  for (long long at = 0; at < out_len + 512; at += 512) {
    synthesize_frame(signal, at, frame_gains, tables, state);
  }
  return state;
}

TEST(FrameSynthesis, UnitGainsReturnTheSignalToItsLastSample) {
  const int out_len = 2600;  // not a multiple of 512: the last frame is partial
  const std::vector<double> signal = noise(out_len, 10000.0, 5);
  const OverlapAdd state = run_frames(signal, out_len, 1.0, true);
  double largest = 0.0;
  for (int n = 0; n < out_len; ++n) {
    ASSERT_NEAR(state.work[n], signal[n], 1e-8) << n;
    largest = std::max(largest, std::fabs(signal[n]));
  }
  EXPECT_NEAR(state.peak, largest, 1e-8);
}

TEST(FrameSynthesis, LevelFactorRestoresUniformGainsOnlyWhenAsked) {
  const int out_len = 1800;
  const std::vector<double> signal = noise(out_len, 5000.0, 9);
  const OverlapAdd kept = run_frames(signal, out_len, 0.5, true);
  const OverlapAdd scaled = run_frames(signal, out_len, 0.5, false);
  const OverlapAdd muted = run_frames(signal, out_len, 0.0, true);
  for (int n = 0; n < out_len; ++n) {
    ASSERT_NEAR(kept.work[n], signal[n], 1e-8) << n;
    ASSERT_NEAR(scaled.work[n], 0.5 * signal[n], 1e-8) << n;
    ASSERT_EQ(muted.work[n], 0.0) << n;  // no magnitude left: factor 1, not 0/0
  }
}

TEST(FrameSynthesis, FrameReadsAndGainedMagnitudes) {
  const std::vector<double> signal = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::vector<double> frame(SPECTRUM_SIZE, -1.0);
  read_frame(signal, -5, frame.data());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(frame[i], 0.0);
  for (int i = 5; i < 15; ++i) EXPECT_EQ(frame[i], signal[i - 5]);
  for (int i = 15; i < SPECTRUM_SIZE; ++i) ASSERT_EQ(frame[i], 0.0);

  // The frame at 512 reads signal[0 ... 1023]: its gained magnitudes are the
  // magnitudes of the sine-windowed frame times the gain.
  const SpectralTables tables = make_spectral_tables();
  const std::vector<double> long_signal = noise(1024, 1000.0, 2);
  std::vector<double> re(SPECTRUM_SIZE);
  std::vector<double> im(SPECTRUM_SIZE, 0.0);
  for (int i = 0; i < SPECTRUM_SIZE; ++i) re[i] = long_signal[i] * tables.sine_window[i];
  fft_forward(re.data(), im.data(), SPECTRUM_SIZE, tables);
  const std::vector<double> gains(SPECTRUM_SIZE, 2.0);
  double dumped[DUMPED_BINS];
  OverlapAdd state;
  state.work.assign(512, 0.0);
  synthesize_frame(long_signal, 512, FrameGains{&gains, false, dumped}, tables, state);
  for (int i = 0; i < DUMPED_BINS; ++i) {
    ASSERT_EQ(dumped[i], std::sqrt(re[i] * re[i] + im[i] * im[i]) * 2.0) << i;
  }
}

}  // namespace
}  // namespace quillet
