#include "filter/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "core/simd.h"
#include "support/simd_levels.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using test::runnable_levels;

constexpr int N = SPECTRUM_SIZE;
const double TWO_PI_D = 2.0 * std::acos(-1.0);

int reverse_bits(int value, int bits) {
  int reversed = 0;
  for (int b = 0; b < bits; ++b) reversed = (reversed << 1) | ((value >> b) & 1);
  return reversed;
}

// The transform in its written order, indices found by reversing bits: the
// permutation, then half-spans 1 ... 512 with group g using twiddle
// bitreverse9(g), (a - b) times W (or its conjugate), then 1/n.
void written_order_transform(std::vector<double>& re, std::vector<double>& im,
                             const SpectralTables& t, bool inverse) {
  for (int i = 0; i < N; ++i) {
    const int j = reverse_bits(i, 10);
    if (i < j) std::swap(re[i], re[j]), std::swap(im[i], im[j]);
  }
  for (int c = 1; c < N; c *= 2) {
    for (int g = 0; g * 2 * c < N; ++g) {
      const double wc = t.twiddle_cos[reverse_bits(g, 9)];
      const double ws = inverse ? -t.twiddle_sin[reverse_bits(g, 9)] : t.twiddle_sin[reverse_bits(g, 9)];
      for (int i = g * 2 * c; i < g * 2 * c + c; ++i) {
        const double dr = re[i] - re[i + c];
        const double di = im[i] - im[i + c];
        re[i] = re[i] + re[i + c];
        im[i] = im[i] + im[i + c];
        re[i + c] = wc * dr - ws * di;
        im[i + c] = wc * di + ws * dr;
      }
    }
  }
  if (!inverse) return;
  const double scale = 1.0 / N;
  for (int i = 0; i < N; ++i) re[i] = re[i] * scale, im[i] = im[i] * scale;
}

TEST(Spectral, Tables) {
  const SpectralTables t = make_spectral_tables();
  ASSERT_EQ(t.twiddle_cos.size(), 512u);
  ASSERT_EQ(t.hann_window.size(), 1024u);
  EXPECT_EQ(t.twiddle_cos[0], 1.0);
  EXPECT_EQ(t.twiddle_sin[0], 0.0);
  // The literal pi and 2 pi (a more precise pi changes these last bits).
  EXPECT_EQ(t.twiddle_cos[300], std::cos(300 * 6.28318530717958 / 1024));
  EXPECT_EQ(t.twiddle_sin[300], std::sin(300 * 6.28318530717958 / 1024));
  EXPECT_EQ(t.hann_window[700], 0.5 - 0.5 * std::cos(700.5 * 6.28318530717958 / 1024));
  EXPECT_EQ(t.sine_window[700], std::sin(700.5 * 3.14159265358979 / 1024));
}

TEST(Spectral, TransformInTheWrittenOrderWithItsSigns) {
  const SpectralTables t = make_spectral_tables();
  std::vector<double> re = test::noise_values(N, 1.0, 7);
  std::vector<double> im = test::noise_values(N, 1.0, 11);
  const std::vector<double> x_re = re;
  std::vector<double> ref_re = re;
  std::vector<double> ref_im = im;
  // Bit for bit as written, both directions, and back to the input.
  fft_forward(re.data(), im.data(), N, t);
  written_order_transform(ref_re, ref_im, t, false);
  EXPECT_EQ(re, ref_re);
  EXPECT_EQ(im, ref_im);
  fft_inverse(re.data(), im.data(), N, t);
  written_order_transform(ref_re, ref_im, t, true);
  EXPECT_EQ(re, ref_re);
  EXPECT_EQ(im, ref_im);
  for (int i = 0; i < N; ++i) ASSERT_NEAR(re[i], x_re[i], 1e-13) << i;

  // Forward has exponent +j: e^(+j 2 pi 5 m / n) lands in bin 1019 (1024),
  // nowhere else (so the inverse, which undoes it, has -j).
  for (int m = 0; m < N; ++m) re[m] = std::cos(TWO_PI_D * 5 * m / N), im[m] = std::sin(TWO_PI_D * 5 * m / N);
  fft_forward(re.data(), im.data(), N, t);
  for (int k = 0; k < N; ++k) {
    ASSERT_NEAR(std::sqrt(re[k] * re[k] + im[k] * im[k]), k == 1019 ? 1024.0 : 0.0, 1e-9) << k;
  }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Spectral, EveryVectorWidthGivesTheWrittenOrderBits) {
  SpectralTables t = make_spectral_tables();
  // Values of very different sizes and signs, with exact zeros, so that any
  // change of rounding or of the sign of a zero shows.
  std::vector<double> x_re = test::noise_values(N, 1e6, 21);
  std::vector<double> x_im = test::noise_values(N, 1e-3, 22);
  for (int i = 0; i < N; i += 7) x_re[i] = 0.0;
  for (int i = 0; i < N; i += 5) x_im[i] = -0.0;
  std::vector<double> ref_re = x_re;
  std::vector<double> ref_im = x_im;
  written_order_transform(ref_re, ref_im, t, false);
  std::vector<double> back_re = ref_re;
  std::vector<double> back_im = ref_im;
  written_order_transform(back_re, back_im, t, true);
  std::vector<double> ref_magnitude = x_re;
  t.level = SimdLevel::plain;
  magnitude_spectrum(ref_magnitude.data(), N, t);
  for (const SimdLevel level : runnable_levels()) {
    SCOPED_TRACE(simd_level_name(level));
    t.level = level;
    std::vector<double> re = x_re;
    std::vector<double> im = x_im;
    fft_forward(re.data(), im.data(), N, t);
    EXPECT_TRUE(same_bits(re, ref_re));
    EXPECT_TRUE(same_bits(im, ref_im));
    fft_inverse(re.data(), im.data(), N, t);
    EXPECT_TRUE(same_bits(re, back_re));
    EXPECT_TRUE(same_bits(im, back_im));
    std::vector<double> magnitude = x_re;
    magnitude_spectrum(magnitude.data(), N, t);
    EXPECT_TRUE(same_bits(magnitude, ref_magnitude));
  }
}

TEST(Spectral, MagnitudeOfZeroConstantAndCosineFrames) {
  const SpectralTables t = make_spectral_tables();
  std::vector<double> frame(N, 0.0);
  magnitude_spectrum(frame.data(), N, t);
  for (double v : frame) ASSERT_EQ(v, 0.0);
  // Constant a: 0.5 a at bin 0, 0.25 a at bins 1 and 1023, 0 elsewhere.
  std::fill(frame.begin(), frame.end(), 300.0);
  magnitude_spectrum(frame.data(), N, t);
  for (int k = 0; k < N; ++k) {
    ASSERT_NEAR(frame[k], k == 0 ? 150.0 : (k == 1 || k == 1023) ? 75.0 : 0.0, 1e-9) << k;
  }
  // A cosine of 40 cycles: 0.25 at bins 40 and 984, 0.125 beside them.
  for (int m = 0; m < N; ++m) frame[m] = std::cos(TWO_PI_D * 40 * m / N);
  magnitude_spectrum(frame.data(), N, t);
  EXPECT_NEAR(frame[40], 0.25, 1e-9);
  EXPECT_NEAR(frame[41], 0.125, 1e-9);
  EXPECT_NEAR(frame[984], 0.25, 1e-9);
  EXPECT_NEAR(frame[200], 0.0, 1e-9);
}

}  // namespace
}  // namespace quillet
