#include "filter/spectral.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace quillet {
namespace {

constexpr int N = SPECTRUM_SIZE;

// A deterministic spread of values in [-1, 1).
std::vector<double> pseudo_random(int count, uint32_t seed) {
  std::vector<double> values(count);
  for (double& v : values) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
  }
  return values;
}

TEST(SpectralTables, WindowsAndTwiddles) {
  const SpectralTables t = make_spectral_tables();
  ASSERT_EQ(t.twiddle_cos.size(), 512u);
  ASSERT_EQ(t.twiddle_sin.size(), 512u);
  ASSERT_EQ(t.hann_window.size(), 1024u);
  ASSERT_EQ(t.sine_window.size(), 1024u);
  EXPECT_EQ(t.twiddle_cos[0], 1.0);
  EXPECT_EQ(t.twiddle_sin[0], 0.0);
  EXPECT_NEAR(t.twiddle_cos[128], std::sqrt(0.5), 1e-14);  // 45 degrees
  EXPECT_NEAR(t.twiddle_sin[256], 1.0, 1e-14);             // 90 degrees
  EXPECT_NEAR(t.twiddle_cos[511], -std::cos(std::acos(-1.0) / 512), 1e-14);
  // Half-integer sampling: both windows are symmetric and never exactly 0.
  for (int i = 0; i < N / 2; ++i) {
    EXPECT_NEAR(t.hann_window[i], t.hann_window[N - 1 - i], 1e-14);
    EXPECT_NEAR(t.sine_window[i], t.sine_window[N - 1 - i], 1e-14);
    const double power = t.sine_window[i] * t.sine_window[i] +
                         t.sine_window[i + 512] * t.sine_window[i + 512];
    EXPECT_NEAR(power, 1.0, 1e-14);
  }
  EXPECT_GT(t.sine_window[0], 0.0);
  EXPECT_NEAR(t.hann_window[511], 1.0, 1e-5);
  EXPECT_NEAR(t.sine_window[0], std::sin(std::acos(-1.0) / 2048), 1e-14);
}

TEST(FftForward, MatchesTheDirectSumWithPositiveExponent) {
  const SpectralTables t = make_spectral_tables();
  std::vector<double> re = pseudo_random(N, 7);
  std::vector<double> im = pseudo_random(N, 11);
  const std::vector<double> x_re = re;
  const std::vector<double> x_im = im;
  fft_forward(re.data(), im.data(), N, t);
  const long double two_pi = 2.0L * std::acos(-1.0L);
  for (int k : {0, 1, 2, 3, 17, 255, 256, 511, 512, 513, 700, 1023}) {
    long double sum_re = 0.0L;
    long double sum_im = 0.0L;
    for (int m = 0; m < N; ++m) {
      const long double angle = two_pi * ((static_cast<long>(k) * m) % N) / N;
      const long double c = std::cos(angle);
      const long double s = std::sin(angle);
      sum_re += x_re[m] * c - x_im[m] * s;
      sum_im += x_re[m] * s + x_im[m] * c;
    }
    EXPECT_NEAR(re[k], static_cast<double>(sum_re), 1e-10) << "bin " << k;
    EXPECT_NEAR(im[k], static_cast<double>(sum_im), 1e-10) << "bin " << k;
  }
}

TEST(FftForward, ImpulseAndCosineCases) {
  const SpectralTables t = make_spectral_tables();
  // An impulse at 0 meets only the twiddle 1: every bin is exactly 1.
  std::vector<double> re(N, 0.0);
  std::vector<double> im(N, 0.0);
  re[0] = 1.0;
  fft_forward(re.data(), im.data(), N, t);
  for (int k = 0; k < N; ++k) {
    ASSERT_EQ(re[k], 1.0) << k;
    ASSERT_EQ(im[k], 0.0) << k;
  }
  // A cosine of 5 cycles per frame, amplitude 1: 512 at bins 5 and 1019.
  for (int m = 0; m < N; ++m) {
    re[m] = std::cos(2.0 * std::acos(-1.0) * 5 * m / N);
    im[m] = 0.0;
  }
  fft_forward(re.data(), im.data(), N, t);
  for (int k = 0; k < N; ++k) {
    const double magnitude = std::sqrt(re[k] * re[k] + im[k] * im[k]);
    EXPECT_NEAR(magnitude, (k == 5 || k == 1019) ? 512.0 : 0.0, 1e-9) << k;
  }
}

TEST(FftInverse, UndoesForwardAndScalesByOneOverN) {
  const SpectralTables t = make_spectral_tables();
  std::vector<double> re = pseudo_random(N, 3);
  std::vector<double> im(N, 0.0);
  const std::vector<double> original = re;
  fft_forward(re.data(), im.data(), N, t);
  fft_inverse(re.data(), im.data(), N, t);
  for (int i = 0; i < N; ++i) {
    EXPECT_NEAR(re[i], original[i], 1e-13) << i;
    EXPECT_NEAR(im[i], 0.0, 1e-13) << i;
  }
  // A single bin k comes back as e^(-j 2 pi k m / n) / n.
  std::fill(re.begin(), re.end(), 0.0);
  std::fill(im.begin(), im.end(), 0.0);
  re[3] = 1024.0;
  fft_inverse(re.data(), im.data(), N, t);
  const double two_pi = 2.0 * std::acos(-1.0);
  for (int m : {0, 1, 100, 1023}) {
    EXPECT_NEAR(re[m], std::cos(two_pi * 3 * m / N), 1e-12);
    EXPECT_NEAR(im[m], -std::sin(two_pi * 3 * m / N), 1e-12);
  }
  // Any size other than 1024 is refused and changes nothing.
  std::vector<double> short_re = {1.0, 2.0, 3.0, 4.0};
  std::vector<double> short_im(4, 0.0);
  fft_forward(short_re.data(), short_im.data(), 4, t);
  fft_inverse(short_re.data(), short_im.data(), 4, t);
  EXPECT_EQ(short_re, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
}

TEST(MagnitudeSpectrum, ZeroConstantAndCosineFrames) {
  const SpectralTables t = make_spectral_tables();
  std::vector<double> frame(N, 0.0);
  magnitude_spectrum(frame.data(), N, t);
  for (double v : frame) ASSERT_EQ(v, 0.0);

  // Hann window of a constant a: 0.5 a at bin 0, 0.25 a at bins 1 and 1023.
  const double a = 300.0;
  std::fill(frame.begin(), frame.end(), a);
  magnitude_spectrum(frame.data(), N, t);
  for (int k = 0; k < N; ++k) {
    const double expected = k == 0 ? 0.5 * a : (k == 1 || k == 1023) ? 0.25 * a : 0.0;
    EXPECT_NEAR(frame[k], expected, 1e-9) << k;
  }

  // A windowed cosine of 40 cycles: 0.25 at bin 40, 0.125 beside it, mirrored.
  for (int m = 0; m < N; ++m) frame[m] = std::cos(2.0 * std::acos(-1.0) * 40 * m / N);
  magnitude_spectrum(frame.data(), N, t);
  EXPECT_NEAR(frame[40], 0.25, 1e-9);
  EXPECT_NEAR(frame[39], 0.125, 1e-9);
  EXPECT_NEAR(frame[41], 0.125, 1e-9);
  EXPECT_NEAR(frame[984], 0.25, 1e-9);
  EXPECT_NEAR(frame[200], 0.0, 1e-9);
}

}  // namespace
}  // namespace quillet
