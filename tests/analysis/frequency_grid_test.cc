#include "analysis/frequency_grid.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/fixtures.h"

namespace quillet {
namespace {

// The window column is the same at every rate; 1024 at 240 and 512 at 480
// exist only because each product is rounded to a double before truncation.
TEST(FrequencyGrid, TellingRowsAtEveryRate) {
  const struct {
    int k;
    double freq;
    int half_window;
  } rows[] = {{0, 55.0, 2048},    {1, 55.3186, 2042},  {120, 110.0, 1448}, {240, 220.0, 1024},
              {360, 440.0, 724},  {480, 880.0, 512},   {600, 1760.0, 362}, {720, 3520.0, 256},
              {840, 7040.0, 181}, {900, 9956.06, 152}};
  for (int rate : {22050, 44100, 48000}) {
    FrequencyGrid grid;
    build_frequency_grid(grid, rate, 3072);
    EXPECT_EQ(grid.freq[0], 55.0);
    for (const auto& row : rows) {
      EXPECT_NEAR(grid.freq[row.k], row.freq, 0.01) << row.k;
      EXPECT_EQ(grid.half_window[row.k], row.half_window) << rate << " Hz, k=" << row.k;
    }
  }
  FrequencyGrid capped;
  build_frequency_grid(capped, 44100, 1000);
  EXPECT_EQ(capped.half_window[120], 1000);
  EXPECT_EQ(capped.half_window[360], 724);
  // A rate of 0 or less makes every window an undefined product: 0, never garbage.
  for (int rate : {0, -44100}) {
    build_frequency_grid(capped, rate, 3072);
    EXPECT_EQ(capped.half_window[0], 0);
    EXPECT_EQ(capped.half_window[900], 0);
  }
}

TEST(FrequencyGrid, NearestIndexBreaksTiesUpward) {
  FrequencyGrid grid = test::grid_at(44100);  // a copy: the tie case below rewrites it
  const struct {
    double frequency;
    int index;
  } cases[] = {{30.0, 0}, {55.0, 0}, {440.0, 360}, {12000.0, 900}, {9927.40, 900}, {9927.38, 899}};
  for (const auto& c : cases) EXPECT_EQ(nearest_grid_index(grid, c.frequency), c.index) << c.frequency;
  // The computed midpoint of 359 and 360 lies a hair nearer 360.
  const double mid = 0.5 * (grid.freq[359] + grid.freq[360]);
  EXPECT_EQ(nearest_grid_index(grid, mid), 360);
  EXPECT_EQ(nearest_grid_index(grid, std::nextafter(mid, 0.0)), 359);
  // An exact tie needs exactly representable distances.
  for (int k = 0; k < GRID_SIZE; ++k) grid.freq[k] = k + 1.0;
  EXPECT_EQ(nearest_grid_index(grid, 3.5), 3);
  EXPECT_EQ(nearest_grid_index(grid, 3.25), 2);
}

}  // namespace
}  // namespace quillet
