#include "analysis/frequency_grid.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quillet {
namespace {

TEST(FrequencyGrid, FrequenciesAreTenthsOfASemitoneFrom55Hz) {
  FrequencyGrid grid;
  build_frequency_grid(grid, 44100, 3072);
  EXPECT_EQ(grid.freq[0], 55.0);
  EXPECT_NEAR(grid.freq[1], 55.3186, 1e-4);
  EXPECT_NEAR(grid.freq[120], 110.0, 1e-9);
  EXPECT_NEAR(grid.freq[240], 220.0, 1e-9);
  EXPECT_NEAR(grid.freq[360], 440.0, 1e-9);
  EXPECT_NEAR(grid.freq[480], 880.0, 1e-9);
  EXPECT_NEAR(grid.freq[900], 9956.06, 1e-2);
  for (int k = 1; k < GRID_SIZE; ++k) ASSERT_LT(grid.freq[k - 1], grid.freq[k]) << k;
}

// The window column is the same at every rate; 1024 at 240 and 512 at 480
// exist only because each product is rounded to a double before truncation.
TEST(FrequencyGrid, HalfWindowsMatchTheTellingRowsAtEveryRate) {
  const int indices[] = {0, 1, 120, 240, 360, 480, 600, 720, 840, 900};
  const int expected[] = {2048, 2042, 1448, 1024, 724, 512, 362, 256, 181, 152};
  for (int rate : {22050, 44100, 48000}) {
    FrequencyGrid grid;
    build_frequency_grid(grid, rate, 3072);
    for (int row = 0; row < 10; ++row) {
      EXPECT_EQ(grid.half_window[indices[row]], expected[row]) << rate << " Hz, k=" << indices[row];
    }
    for (int k = 1; k < GRID_SIZE; ++k) ASSERT_LE(grid.half_window[k], grid.half_window[k - 1]);
  }
  FrequencyGrid capped;
  build_frequency_grid(capped, 44100, 1000);
  EXPECT_EQ(capped.half_window[120], 1000);
  EXPECT_EQ(capped.half_window[360], 724);
  // Rates of 0 or less make every window an undefined product: 0, never garbage.
  for (int rate : {0, -44100}) {
    FrequencyGrid grid;
    build_frequency_grid(grid, rate, 3072);
    EXPECT_EQ(grid.half_window[0], 0) << rate;
    EXPECT_EQ(grid.half_window[900], 0) << rate;
  }
}

TEST(FrequencyGrid, NearestIndexFindsTheClosestAndBreaksTiesUpward) {
  FrequencyGrid grid;
  build_frequency_grid(grid, 44100, 3072);
  EXPECT_EQ(nearest_grid_index(grid, 30.0), 0);
  EXPECT_EQ(nearest_grid_index(grid, 55.0), 0);
  EXPECT_EQ(nearest_grid_index(grid, 440.0), 360);
  EXPECT_EQ(nearest_grid_index(grid, 12000.0), 900);
  EXPECT_EQ(nearest_grid_index(grid, 9927.40), 900);
  EXPECT_EQ(nearest_grid_index(grid, 9927.38), 899);

  // The computed midpoint of 359 and 360 lies a hair nearer 360; one step
  // down it lies nearer 359.
  const double mid = 0.5 * (grid.freq[359] + grid.freq[360]);
  EXPECT_EQ(nearest_grid_index(grid, mid), 360);
  EXPECT_EQ(nearest_grid_index(grid, std::nextafter(mid, 0.0)), 359);

  // An exact tie needs a grid with exactly representable distances.
  FrequencyGrid whole;
  for (int k = 0; k < GRID_SIZE; ++k) whole.freq[k] = k + 1.0;
  EXPECT_EQ(nearest_grid_index(whole, 3.5), 3);
  EXPECT_EQ(nearest_grid_index(whole, 3.25), 2);
  EXPECT_EQ(nearest_grid_index(whole, -7.0), 0);
  EXPECT_EQ(nearest_grid_index(whole, 5000.0), 900);
}

}  // namespace
}  // namespace quillet
