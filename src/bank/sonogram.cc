#include "bank/sonogram.h"

#include <cmath>
#include <complex>
#include <numbers>

namespace quillet {
namespace {

using Complex = std::complex<double>;

void transform_in_place(std::vector<Complex>& x) {
  const size_t n = x.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (size_t length = 2; length <= n; length <<= 1) {
    const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
    for (size_t start = 0; start < n; start += length) {
      for (size_t k = 0; k < length / 2; ++k) {
        const Complex w = std::polar(1.0, angle * static_cast<double>(k));
        const Complex even = x[start + k];
        const Complex odd = x[start + k + length / 2] * w;
        x[start + k] = even + odd;
        x[start + k + length / 2] = even - odd;
      }
    }
  }
}

}  // namespace

int spectrogram_frame_size(int sample_rate) {
  int size = 64;
  while (size < sample_rate / 25) size *= 2;
  return size;
}

std::vector<double> real_magnitudes(const std::vector<double>& frame) {
  std::vector<Complex> x(frame.begin(), frame.end());
  transform_in_place(x);
  std::vector<double> magnitudes(frame.size() / 2 + 1);
  for (size_t k = 0; k < magnitudes.size(); ++k) magnitudes[k] = std::abs(x[k]);
  return magnitudes;
}

Spectrogram compute_spectrogram(const SampleStore& samples, int frame_count, int channels,
                                int sample_rate) {
  Spectrogram picture;
  picture.sample_rate = sample_rate;
  picture.frame_size = spectrogram_frame_size(sample_rate);
  picture.hop = picture.frame_size / 8;
  picture.bins = picture.frame_size / 2 + 1;
  picture.columns = frame_count / picture.hop + 1;
  picture.db.resize(static_cast<size_t>(picture.columns) * picture.bins);
  const int n = picture.frame_size;
  std::vector<double> window(n);
  for (int i = 0; i < n; ++i) window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (i + 0.5) / n);
  std::vector<double> frame(n);
  const int stride = channels > 0 ? channels : 1;
  for (int column = 0; column < picture.columns; ++column) {
    const long first = static_cast<long>(column) * picture.hop - n / 2;
    for (int i = 0; i < n; ++i) {
      const long at = first + i;
      const bool inside = at >= 0 && at < frame_count;
      frame[i] = inside ? samples[static_cast<size_t>(at) * stride] / 32768.0 * window[i] : 0.0;
    }
    const std::vector<double> magnitudes = real_magnitudes(frame);
    for (int bin = 0; bin < picture.bins; ++bin) {
      const double level = magnitudes[bin] / (n / 4.0);  // a full-scale sine reads about 0 dB
      picture.db[static_cast<size_t>(column) * picture.bins + bin] =
          static_cast<float>(20.0 * std::log10(level + 1e-12));
    }
  }
  return picture;
}

}  // namespace quillet
