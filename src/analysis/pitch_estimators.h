// Per-block pitch estimators: the weighted autocorrelation with its peak
// picking (a coarse fundamental), and the grid spectrum with its first peak.
#pragma once

#include "analysis/frequency_grid.h"

namespace quillet {

inline constexpr int AUTOCORR_SPAN = 1536;
inline constexpr int MAX_PEAKS = 32;
inline constexpr int MIN_LAG_DIVISOR = 1102;
inline constexpr double PEAK_FLOOR = 0.2;
inline constexpr double OCTAVE_TOLERANCE = 50.0;
inline constexpr double PICK_THRESHOLD = 50.0;

// Coarse fundamental of a 3072-entry block in Hz (a whole number), or 0.0.
// energy receives r[0] in every case.
double estimate_block_f0(const double* block, int span, int sample_rate, double& energy);

void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine);

int collect_autocorr_peaks(double* peak_freq, double* peak_height, int capacity, const double* r,
                           int span, int sample_rate);

int choose_fundamental_peak(const double* peak_freq, const double* peak_height, int n);

void grid_spectrum(double* spectrum, const double* block, int block_len, const FrequencyGrid& grid,
                   int lo, int hi, int sample_rate, double& maximum);

int first_spectral_peak(const double* spectrum, int lo, int hi, double threshold);

}  // namespace quillet
