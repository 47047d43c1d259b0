// Per-block pitch estimators: the weighted autocorrelation with its peak
// picking (a coarse fundamental), and the grid spectrum with its first peak.
#pragma once

#include <array>
#include <vector>

#include "analysis/frequency_grid.h"
#include "core/simd.h"

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

// cos(j * 2 pi / span) for j = 0 .. span - 1: the weight table of the
// autocorrelation, the same for every block.
std::vector<double> autocorr_cosine(int span);

// estimate_block_f0 with the weight table made once by the caller
// (autocorr_cosine(span)).
double estimate_block_f0(const double* block, int span, int sample_rate, const double* cosine,
                         double& energy);

inline constexpr int BATCH_BLOCKS = 6;
inline constexpr int BATCH_LAGS = 8;  // lags summed side by side per block, four to a vector

// The weighted autocorrelation's lags first .. span - 1 of count blocks of
// one run: block b starts at x + b * stride with its 2 * span entries inside
// the run, and its lags go to r[b]. With AVX2, up to BATCH_BLOCKS blocks
// share each product x[a] * x[a + lag] of the entries they have in common;
// every block's sums keep their order, so each r[b] has the bits of
// weighted_autocorrelation of that block alone, at every level.
void run_autocorrelation(double* const* r, const double* x, int count, int stride, int span,
                         int first, const double* cosine, SimdLevel level);

// estimate_block_f0 of count consecutive blocks of one run: block b starts
// at x + b * stride (its 2 * span entries inside the run), and gets f0[b] and
// energy[b]. With AVX2, up to BATCH_BLOCKS blocks share each product
// x[a] * x[a + lag] of the entries they have in common; every block's sums
// keep their order (run_autocorrelation), so the results are
// estimate_block_f0's to the last bit.
void estimate_block_f0_batch(const double* x, int count, int stride, int span, int sample_rate,
                             const double* cosine, double* f0, double* energy);
void estimate_block_f0_batch(const double* x, int count, int stride, int span, int sample_rate,
                             const double* cosine, double* f0, double* energy, SimdLevel level);

void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine);

// The same with the vector width named (the other uses the process's level);
// every width gives the same bits.
void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine,
                              SimdLevel level);

// r[0] of the weighted autocorrelation alone: the energy that estimate_block_f0
// gives for the same block, to the last bit, without the other lags.
double weighted_block_energy(const double* x, int span, const double* cosine);

int collect_autocorr_peaks(double* peak_freq, double* peak_height, int capacity, const double* r,
                           int span, int sample_rate);

int choose_fundamental_peak(const double* peak_freq, const double* peak_height, int n);

void grid_spectrum(double* spectrum, const double* block, int block_len, const FrequencyGrid& grid,
                   int lo, int hi, int sample_rate, double& maximum);

// The trigonometric factors of the grid spectrum's windowed sums. They depend
// only on the grid index, the window offset n and the sample rate, not on the
// block, so an analysis makes each index's factors once and every block
// measured at that index reuses them.
struct GridFactors {
  int sample_rate = 0;  // the rate and block length the factors were made for
  int block_len = 0;
  std::array<char, GRID_SIZE> made{};
  // Per index, three doubles for each window offset n whose block entry
  // exists, n rising: 0.5 cos(n pi / L) + 0.5, cos(n w), sin(n w).
  std::array<std::vector<double>, GRID_SIZE> values;
};

// Forgets every made index when the factors were made for another sample rate
// or block length.
void key_grid_factors(GridFactors& factors, int block_len, int sample_rate);

// Makes the factors of grid index k (0 .. 900) into values.
void make_grid_factors(std::vector<double>& values, const FrequencyGrid& grid, int k, int block_len,
                       int sample_rate);

// grid_spectrum with the factors of indices lo .. hi - 1 made beforehand (for
// this block_len and the rate of the grid); the same values to the last bit.
void grid_spectrum_from_factors(double* spectrum, const double* block, int block_len,
                                const FrequencyGrid& grid, const GridFactors& factors, int lo,
                                int hi, double& maximum);

// grid_spectrum_from_factors of count blocks of one run, block b at
// x + b * stride, into spectra[b] with its maximum in maximum[b]. With AVX2,
// up to four blocks are summed side by side, one per lane, each lane in the
// one-block order: the same values to the last bit.
void grid_spectra_from_factors(double* const* spectra, const double* x, int count, int stride,
                               int block_len, const FrequencyGrid& grid, const GridFactors& factors,
                               int lo, int hi, double* maximum);
void grid_spectra_from_factors(double* const* spectra, const double* x, int count, int stride,
                               int block_len, const FrequencyGrid& grid, const GridFactors& factors,
                               int lo, int hi, double* maximum, SimdLevel level);

int first_spectral_peak(const double* spectrum, int lo, int hi, double threshold);

}  // namespace quillet
