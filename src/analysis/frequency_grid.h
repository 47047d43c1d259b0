// The frequency grid: 901 candidate fundamentals, a tenth of a semitone apart
// from 55 Hz, with the analysis window half-length of each.
#pragma once

#include <array>
#include <cstdint>

namespace quillet {

inline constexpr int GRID_SIZE = 901;
inline constexpr double GRID_BASE_HZ = 55.0;
inline constexpr int GRID_STEPS_PER_OCTAVE = 120;
inline constexpr int GRID_BASE_WINDOW = 2048;

struct FrequencyGrid {
  std::array<double, GRID_SIZE> freq{};
  std::array<int32_t, GRID_SIZE> half_window{};
};

void build_frequency_grid(FrequencyGrid& grid, int32_t sample_rate, int32_t max_window);

// Index (0..900) of the grid frequency nearest to frequency.
int nearest_grid_index(const FrequencyGrid& grid, double frequency);

}  // namespace quillet
