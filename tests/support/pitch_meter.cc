#include "support/pitch_meter.h"

#include <algorithm>
#include <cmath>

namespace quillet::test {

namespace {

// Normalised autocorrelation of x[0 .. count) at lag: 2 sum x[i] x[i+lag]
// over sum (x[i]^2 + x[i+lag]^2), i over the overlap.
double normalised_autocorrelation(const double* x, int count, int lag) {
  double cross = 0.0;
  double energy = 0.0;
  for (int i = 0; i + lag < count; ++i) {
    cross += x[i] * x[i + lag];
    energy += x[i] * x[i] + x[i + lag] * x[i + lag];
  }
  return energy > 0.0 ? 2.0 * cross / energy : 0.0;
}

// Lag of the vertex of the parabola through the correlation at lag - 1, lag, lag + 1.
double parabolic_peak(const double* x, int count, int lag) {
  const double left = normalised_autocorrelation(x, count, lag - 1);
  const double middle = normalised_autocorrelation(x, count, lag);
  const double right = normalised_autocorrelation(x, count, lag + 1);
  const double curvature = left - 2.0 * middle + right;
  if (curvature >= 0.0) return lag;
  return lag + 0.5 * (left - right) / curvature;
}

// The highest correlation among the integer lags from low to high.
int best_lag_between(const double* x, int count, int low, int high) {
  int best = low;
  double best_value = -2.0;
  for (int lag = low; lag <= high; ++lag) {
    const double value = normalised_autocorrelation(x, count, lag);
    if (value > best_value) {
      best_value = value;
      best = lag;
    }
  }
  return best;
}

// The shortest lag whose correlation is a local maximum within 10 % of the
// strongest one, so that a period is not mistaken for two.
int first_strong_lag(const double* x, int count, int low, int high) {
  std::vector<double> r(static_cast<std::size_t>(high - low + 3));
  for (int lag = low - 1; lag <= high + 1; ++lag) {
    r[lag - low + 1] = normalised_autocorrelation(x, count, lag);
  }
  const double strongest = *std::max_element(r.begin() + 1, r.end() - 1);
  if (!(strongest > 0.3)) return 0;
  for (int lag = low; lag <= high; ++lag) {
    const double value = r[lag - low + 1];
    if (value >= 0.9 * strongest && value >= r[lag - low] && value > r[lag - low + 2]) return lag;
  }
  return 0;
}

}  // namespace

double measure_pitch_hz(const std::vector<double>& signal, int begin, int count, double sample_rate,
                        double min_hz, double max_hz) {
  const long end = static_cast<long>(begin) + count;
  if (begin < 0 || count <= 0 || end > static_cast<long>(signal.size())) return 0.0;
  const double* x = signal.data() + begin;
  const int low = std::max(2, static_cast<int>(std::floor(sample_rate / max_hz)));
  const int high = static_cast<int>(std::ceil(sample_rate / min_hz));
  if (2 * (high + 1) >= count) return 0.0;
  const int coarse = first_strong_lag(x, count, low, high);
  if (coarse == 0) return 0.0;
  const double period = parabolic_peak(x, count, coarse);
  // Refine at the largest whole number of periods within half the stretch.
  const int periods = std::max(1, static_cast<int>((count / 2) / period));
  const int centre = static_cast<int>(std::lround(periods * period));
  const int spread = 2 + periods / 8;
  const int refined = best_lag_between(x, count, centre - spread, centre + spread);
  return sample_rate / (parabolic_peak(x, count, refined) / periods);
}

double cents_between(double f, double reference) { return 1200.0 * std::log2(f / reference); }

}  // namespace quillet::test
