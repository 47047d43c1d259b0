// Spectral primitives of the post filter: the 1024-point tables, an in-place
// radix-2 complex transform and its inverse, and the Hann-windowed magnitude
// spectrum of a real frame.
#pragma once

#include <vector>

#include "core/simd.h"

namespace quillet {

inline constexpr int SPECTRUM_SIZE = 1024;  // points of every transform
inline constexpr int SPECTRUM_HALF = 512;

// Tables built once per filter run and read-only afterwards.
struct SpectralTables {
  std::vector<double> twiddle_cos;  // 512 entries: cos(i * 2 pi / 1024)
  std::vector<double> twiddle_sin;  // 512 entries: sin(i * 2 pi / 1024)
  std::vector<double> hann_window;  // 1024 entries: 0.5 - 0.5 cos((i + 0.5) 2 pi / 1024)
  std::vector<double> sine_window;  // 1024 entries: sin((i + 0.5) pi / 1024)
  // The twiddles of the groups of the first two stages (512 of half 1, then
  // 256 of half 2), group by group, for the paths that do several groups at once.
  std::vector<double> stage_cos;
  std::vector<double> stage_sin;
  // The vector width the transforms use: the process's level unless a caller
  // sets another (every level gives the same bits).
  SimdLevel level = SimdLevel::plain;
};

SpectralTables make_spectral_tables();

// In place, n = 1024: X[k] = sum over m of x[m] e^(+j 2 pi k m / n), no
// scaling, natural order. Any other n leaves the arrays untouched.
void fft_forward(double* re, double* im, int n, const SpectralTables& tables);

// In place, n = 1024: x[m] = (1/n) sum over k of X[k] e^(-j 2 pi k m / n).
// Any other n leaves the arrays untouched.
void fft_inverse(double* re, double* im, int n, const SpectralTables& tables);

// n = 1024: replaces the real frame by the magnitudes of its Hann-windowed
// spectrum, divided by n. Any other n leaves the frame untouched.
void magnitude_spectrum(double* frame, int n, const SpectralTables& tables);

}  // namespace quillet
