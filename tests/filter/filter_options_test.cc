#include "filter/filter_options.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quillet {
namespace {

TEST(FilterOptions, DefaultsAndBandSplitLetters) {
  const FilterOptions none = read_filter_options("L");
  EXPECT_EQ(none.harmonic_multiple, 0.0);
  EXPECT_EQ(none.cutoff_bin, 0.0);
  EXPECT_EQ(none.band_gain, 1.0);
  EXPECT_FALSE(band_split_active(none));

  // Cutoff: clamped to [0, 1024], fractions kept; 0 leaves the split off.
  EXPECT_EQ(read_filter_options("u2000").cutoff_bin, 1024.0);
  EXPECT_EQ(read_filter_options("u-5").cutoff_bin, 0.0);
  EXPECT_FALSE(band_split_active(read_filter_options("u-5")));
  EXPECT_EQ(read_filter_options("Lu12.5B").cutoff_bin, 12.5);
  EXPECT_TRUE(band_split_active(read_filter_options("u12.5")));
  EXPECT_EQ(read_filter_options("u").cutoff_bin, 0.0);

  // Harmonic multiple: a bare x is 1, clamped to [1, 100]; it alone starts the split.
  EXPECT_EQ(read_filter_options("x").harmonic_multiple, 1.0);
  EXPECT_EQ(read_filter_options("x3").harmonic_multiple, 3.0);
  EXPECT_EQ(read_filter_options("x0.2").harmonic_multiple, 1.0);
  EXPECT_EQ(read_filter_options("x500").harmonic_multiple, 100.0);
  EXPECT_TRUE(band_split_active(read_filter_options("x")));

  // Band gain in dB: a bare v is -24 dB, v0 is 1, v-6 about a half.
  EXPECT_NEAR(read_filter_options("v").band_gain, 0.0630957344480193, 1e-15);
  EXPECT_EQ(read_filter_options("v0").band_gain, 1.0);
  EXPECT_NEAR(read_filter_options("Lv-6").band_gain, 0.501187233627272, 1e-15);
  // Only the first occurrence counts.
  EXPECT_EQ(read_filter_options("u10u20").cutoff_bin, 10.0);
}

}  // namespace
}  // namespace quillet
