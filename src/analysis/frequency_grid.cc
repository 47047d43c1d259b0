#include "analysis/frequency_grid.h"

#include <cmath>

namespace quillet {

namespace {

// Truncates toward zero; values beyond the int32 range saturate, NaN gives 0.
int32_t truncate_to_int32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(value);
}

}  // namespace

void build_frequency_grid(FrequencyGrid& grid, int32_t sample_rate, int32_t max_window) {
  const double step = std::log(2.0) / 120.0;
  const double base = 2048.0 / std::sqrt(sample_rate / 55.0);
  for (int k = 0; k < GRID_SIZE; ++k) {
    grid.freq[k] = GRID_BASE_HZ * std::exp(k * step);
    const int32_t half_window = truncate_to_int32(std::sqrt(sample_rate / grid.freq[k]) * base);
    grid.half_window[k] = half_window > max_window ? max_window : half_window;
  }
}

// The grid rises, so the first growth of the distance marks the nearest entry;
// a tie goes to the higher index.
int nearest_grid_index(const FrequencyGrid& grid, double frequency) {
  int best = 0;
  double distance = std::fabs(frequency - grid.freq[0]);
  for (int i = 1; i < GRID_SIZE; ++i) {
    const double d = std::fabs(frequency - grid.freq[i]);
    if (d > distance) return best;
    best = i;
    distance = d;
  }
  return best;
}

}  // namespace quillet
