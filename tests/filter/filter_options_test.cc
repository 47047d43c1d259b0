#include "filter/filter_options.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

TEST(FilterOptions, BandSplitLetters) {
  struct Case { const char* flags; double multiple, cutoff, band_gain; bool active; };
  for (const Case& c : {
           Case{"L", 0.0, 0.0, 1.0, false},
           Case{"u2000", 0.0, 1024.0, 1.0, true},   // cutoff clamped to [0, 1024]
           Case{"u-5", 0.0, 0.0, 1.0, false},       // 0: off
           Case{"u", 0.0, 0.0, 1.0, false},
           Case{"Lu12.5B", 0.0, 12.5, 1.0, true},   // fractions kept
           Case{"u10u20", 0.0, 10.0, 1.0, true},    // first occurrence only
           Case{"x", 1.0, 0.0, 1.0, true},          // multiple clamped to [1, 100]
           Case{"x0.2", 1.0, 0.0, 1.0, true},
           Case{"x500", 100.0, 0.0, 1.0, true},
           Case{"v", 0.0, 0.0, 0.063095734448019325, false},  // -24 dB
           Case{"v0", 0.0, 0.0, 1.0, false},
           Case{"Lv-6", 0.0, 0.0, 0.50118723362727224, false},
       }) {
    const FilterOptions options = read_filter_options(c.flags);
    EXPECT_EQ(options.harmonic_multiple, c.multiple) << c.flags;
    EXPECT_EQ(options.cutoff_bin, c.cutoff) << c.flags;
    EXPECT_DOUBLE_EQ(options.band_gain, c.band_gain) << c.flags;
    EXPECT_EQ(band_split_active(options), c.active) << c.flags;
  }
}

}  // namespace
}  // namespace quillet
