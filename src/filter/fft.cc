#include "filter/fft.h"

#include <cmath>
#include <utility>

#include "core/constants.h"

namespace quillet {

namespace {

// Adds one to value counted with its bits reversed below top_bit: the top bit
// is toggled, and while a toggled bit became 0 the carry moves one bit down.
// Returns value unchanged in its low bits once every bit has carried out.
int reversed_increment(int value, int top_bit) {
  int bit = top_bit;
  value ^= bit;
  while (bit != 0 && (value & bit) == 0) {
    bit >>= 1;
    value ^= bit;
  }
  return value;
}

void bit_reverse_order(double* re, double* im, int n) {
  int j = 0;
  for (int i = 1; i <= n - 2; ++i) {
    j = reversed_increment(j, n / 2);
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
}

// The butterflies of every stage. The inverse multiplies the difference by
// the twiddle's conjugate.
template <bool inverse>
void butterfly_stages(double* __restrict re, double* __restrict im, int n,
                      const SpectralTables& tables) {
  for (int half = 1; half < n; half <<= 1) {
    int d = 0;
    for (int group = 0; group < n; group += 2 * half) {
      const double wc = tables.twiddle_cos[d];
      const double ws = tables.twiddle_sin[d];
      for (int i = group; i < group + half; ++i) {
        const int t = i + half;
        const double dr = re[i] - re[t];
        const double di = im[i] - im[t];
        re[i] = re[i] + re[t];
        im[i] = im[i] + im[t];
        if constexpr (inverse) {
          re[t] = wc * dr + ws * di;
          im[t] = wc * di - ws * dr;
        } else {
          re[t] = wc * dr - ws * di;
          im[t] = wc * di + ws * dr;
        }
      }
      if (group + 2 * half < n) d = reversed_increment(d, n / 4);
    }
  }
}

}  // namespace

SpectralTables make_spectral_tables() {
  SpectralTables tables;
  tables.twiddle_cos.resize(SPECTRUM_HALF);
  tables.twiddle_sin.resize(SPECTRUM_HALF);
  tables.hann_window.resize(SPECTRUM_SIZE);
  tables.sine_window.resize(SPECTRUM_SIZE);
  for (int i = 0; i < SPECTRUM_HALF; ++i) {
    const double angle = i * TWO_PI / SPECTRUM_SIZE;
    tables.twiddle_cos[i] = std::cos(angle);
    tables.twiddle_sin[i] = std::sin(angle);
  }
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    tables.hann_window[i] = 0.5 - 0.5 * std::cos((i + 0.5) * TWO_PI / SPECTRUM_SIZE);
    tables.sine_window[i] = std::sin((i + 0.5) * PI / SPECTRUM_SIZE);
  }
  return tables;
}

void fft_forward(double* re, double* im, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  bit_reverse_order(re, im, n);
  butterfly_stages<false>(re, im, n, tables);
}

void fft_inverse(double* re, double* im, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  bit_reverse_order(re, im, n);
  butterfly_stages<true>(re, im, n, tables);
  const double scale = 1.0 / n;
  for (int i = 0; i < n; ++i) {
    re[i] = re[i] * scale;
    im[i] = im[i] * scale;
  }
}

void magnitude_spectrum(double* frame, int n, const SpectralTables& tables) {
  if (n != SPECTRUM_SIZE) return;
  std::vector<double> imaginary(SPECTRUM_SIZE, 0.0);
  for (int i = 0; i < n; ++i) frame[i] = frame[i] * tables.hann_window[i];
  fft_forward(frame, imaginary.data(), n, tables);
  for (int i = 0; i < n; ++i) {
    frame[i] = std::sqrt(frame[i] * frame[i] + imaginary[i] * imaginary[i]) / n;
  }
}

}  // namespace quillet
