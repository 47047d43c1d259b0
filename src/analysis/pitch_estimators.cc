#include "analysis/pitch_estimators.h"

#include <cmath>
#include <vector>

#include "constants.h"

namespace quillet {

namespace {

// 10000 * (ln(f / g))^2: the squared log-distance of f from g.
double log_distance(double f, double g) {
  const double l = std::log(f / g);
  return 10000.0 * (l * l);
}

// Inserts (freq, height) among entries 1..n, keeping heights in descending
// order; a new entry goes after entries of equal height.
void insert_peak(double* peak_freq, double* peak_height, int n, double freq, double height) {
  int position = n;
  while (position > 1 && peak_height[position - 1] < height) {
    peak_freq[position] = peak_freq[position - 1];
    peak_height[position] = peak_height[position - 1];
    --position;
  }
  peak_freq[position] = freq;
  peak_height[position] = height;
}

// Candidate among entries 1..m-1 whose frequency has other peaks closest to
// its half and its third; sets score to the winner's score (0 when none beats 0).
int best_subharmonic_support(const double* peak_freq, const double* peak_height, int m,
                             double& score) {
  int pick = 0;
  score = 0.0;
  for (int i = 1; i < m; ++i) {
    double half_err = 99999.0, half_height = 0.0;
    double third_err = 99999.0, third_height = 0.0;
    for (int j = 1; j < m; ++j) {
      if (j == i) continue;
      double e = log_distance(peak_freq[i], 2.0 * peak_freq[j]);
      if (e < half_err) {
        half_err = e;
        half_height = peak_height[j];
      }
      e = log_distance(peak_freq[i], 3.0 * peak_freq[j]);
      if (e < third_err) {
        third_err = e;
        third_height = peak_height[j];
      }
    }
    const double s = (half_height + third_height) / (0.01 + half_err + third_err);
    if (s > score) {
      score = s;
      pick = i;
    }
  }
  return pick;
}

// Four lags side by side; each sum runs over j in order, as a single lag would.
void autocorrelation_four_lags(double* r, const double* x, const double* weight, int span,
                               int lag, double scale) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (int j = 0; j < span; ++j) {
    const double xj = x[j];
    const double wj = weight[j];
    const double* shifted = x + j + lag;
    s0 = s0 + xj * shifted[0] * wj;
    s1 = s1 + xj * shifted[1] * wj;
    s2 = s2 + xj * shifted[2] * wj;
    s3 = s3 + xj * shifted[3] * wj;
  }
  r[lag] = scale * s0;
  r[lag + 1] = scale * s1;
  r[lag + 2] = scale * s2;
  r[lag + 3] = scale * s3;
}

}  // namespace

double estimate_block_f0(const double* block, int span, int sample_rate, double& energy) {
  energy = 0.0;
  if (span < 1) return 0.0;
  std::vector<double> cosine(span);
  std::vector<double> r(span);
  const double two_pi = 8.0 * std::atan(1.0);
  for (int j = 0; j < span; ++j) cosine[j] = std::cos(j * two_pi / span);
  weighted_autocorrelation(r.data(), block, span, span, cosine.data());
  energy = r[0];
  double peak_freq[MAX_PEAKS];
  double peak_height[MAX_PEAKS];
  const int n = collect_autocorr_peaks(peak_freq, peak_height, MAX_PEAKS, r.data(), span,
                                       sample_rate);
  const int chosen = choose_fundamental_peak(peak_freq, peak_height, n);
  return chosen > 0 ? peak_freq[chosen] : 0.0;
}

// r[i] = (1/span)/span * sum_j x[j] * x[j+i] * (0.5 cosine[j] + 0.5).
void weighted_autocorrelation(double* r, const double* x, int span, int lags, const double* cosine) {
  if (span < 1) return;
  std::vector<double> weight(span);
  for (int j = 0; j < span; ++j) weight[j] = 0.5 * cosine[j] + 0.5;
  const double scale = (1.0 / span) / span;
  int lag = 0;
  for (; lag + 4 <= lags; lag += 4) {
    autocorrelation_four_lags(r, x, weight.data(), span, lag, scale);
  }
  for (; lag < lags; ++lag) {
    double sum = 0.0;
    for (int j = 0; j < span; ++j) sum = sum + x[j] * x[j + lag] * weight[j];
    r[lag] = scale * sum;
  }
}

// Peak regions: runs of lags (from sample_rate / 1102 on) whose value exceeds
// 0.2 r[0]; each closed region lists its highest value at the integer
// frequency sample_rate / lag. Entry 0 marks the zero lag.
int collect_autocorr_peaks(double* peak_freq, double* peak_height, int capacity, const double* r,
                           int span, int sample_rate) {
  if (capacity < 1 || span < 1) return 0;
  int min_lag = sample_rate / MIN_LAG_DIVISOR;
  if (min_lag < 1) min_lag = 1;  // rates below 1102 Hz: never divide by a zero lag
  peak_freq[0] = static_cast<double>(sample_rate);
  peak_height[0] = r[0];
  int n = 1;
  bool inside = false;
  double region_max = 0.0;
  int region_lag = 0;
  for (int j = 0; j < span; ++j) {
    if (j >= min_lag && r[j] > PEAK_FLOOR * r[0]) {
      inside = true;
      if (r[j] > region_max) {
        region_max = r[j];
        region_lag = j;
      }
      continue;
    }
    if (!inside) continue;
    if (n < capacity) {
      const double freq = region_lag > 0 ? static_cast<double>(sample_rate / region_lag) : 0.0;
      insert_peak(peak_freq, peak_height, n, freq, region_max);
    }
    ++n;
    inside = false;
    region_max = 0.0;
  }
  return n < capacity ? n : capacity;
}

// Two octave-related top peaks give the higher frequency; otherwise, with four
// or more entries, the candidate with the best sub-harmonic support. Returns
// the chosen entry or 0.
int choose_fundamental_peak(const double* peak_freq, const double* peak_height, int n) {
  if (n <= 1) return 0;
  if (n == 2) return 1;
  int high = 1, low = 2, pick = 1;
  if (!(peak_freq[1] > peak_freq[2])) {
    high = 2;
    low = 1;
    pick = 2;
  }
  const double dev = log_distance(peak_freq[high], 2.0 * peak_freq[low]);
  if (n == 3) {
    if (dev > OCTAVE_TOLERANCE) pick = peak_height[1] > peak_height[2] ? 1 : 2;
    return pick;
  }
  double score = peak_height[pick] / (dev + 0.01);
  if (dev > OCTAVE_TOLERANCE) {
    pick = best_subharmonic_support(peak_freq, peak_height, n < 5 ? n : 5, score);
  }
  return pick > 0 && score > PICK_THRESHOLD ? pick : 0;
}

// Magnitude at grid frequencies lo..hi-1, each through a Hann window of
// 2 * half_window samples centred on block entry block_len / 2, divided by
// the half-length.
void grid_spectrum(double* spectrum, const double* block, int block_len, const FrequencyGrid& grid,
                   int lo, int hi, int sample_rate, double& maximum) {
  maximum = 0.0;
  if (lo < 0) lo = 0;
  if (hi > GRID_SIZE) hi = GRID_SIZE;
  const double w0 = TWO_PI / sample_rate;
  const int half = block_len / 2;
  for (int k = lo; k < hi; ++k) {
    const int length = grid.half_window[k];
    if (length <= 0) {  // only for a grid built from a rate of 0 or less
      spectrum[k] = 0.0;
      continue;
    }
    const double omega = w0 * grid.freq[k];
    const double c = PI / length;
    double re = 0.0, im = 0.0;
    for (int n = -length; n < length; ++n) {
      const int p = half + n;
      if (p < 0 || p >= block_len) continue;
      const double h = 0.5 * std::cos(n * c) + 0.5;
      const double v = h * block[p];
      re = re + std::cos(n * omega) * v;
      im = im - std::sin(n * omega) * v;
    }
    spectrum[k] = std::sqrt((re * re + im * im) / length);
    if (spectrum[k] > maximum) maximum = spectrum[k];
  }
}

// The first local maximum that rises above threshold; 0 when none does.
int first_spectral_peak(const double* spectrum, int lo, int hi, double threshold) {
  enum class Scan { searching, climbing, done };
  Scan state = Scan::searching;
  int result = 0;
  double top = 0.0;
  double previous = 0.0;
  for (int a = lo; a < hi; ++a) {
    const double v = spectrum[a];
    if (state == Scan::searching) {
      if (v > threshold && v > previous) {
        state = Scan::climbing;
        top = v;
        result = a;
      }
    } else if (state == Scan::climbing) {
      if (!(v > threshold)) {
        state = Scan::done;
      } else if (v > top) {
        top = v;
        result = a;
      } else {
        break;
      }
    }
    previous = v;
  }
  return result;
}

}  // namespace quillet
