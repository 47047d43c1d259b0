#include "synth/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using test::jagged_store;

TEST(SplineTest, ConstantLinearAndThreePointSplines) {
  // y = 0, 3, 0: r1 = -18, z1 = -4.5, so c = {0, -4.5, 0}, b = {4.5, 0}, d = {-1.5, 1.5}.
  const double y[3] = {0.0, 3.0, 0.0};
  double b[3] = {}, c[3] = {}, d[3] = {};
  spline_compute(y, 3, b, c, d);
  EXPECT_EQ(std::vector<double>(c, c + 3), (std::vector<double>{0.0, -4.5, 0.0}));
  EXPECT_EQ(std::vector<double>(b, b + 2), (std::vector<double>{4.5, 0.0}));
  EXPECT_EQ(std::vector<double>(d, d + 2), (std::vector<double>{-1.5, 1.5}));

  // A constant block has no slope or bend; a linear one only its slope.
  SplineBlock block;
  load_spline_block(block, SampleStore(8000, -1234), 2000, 1);
  for (double x : {2000.0, 3456.789, 5070.999}) EXPECT_EQ(spline_eval(block, x), -1234.0) << x;
  SampleStore linear(8000);
  for (int i = 0; i < 8000; ++i) linear[i] = static_cast<int16_t>(-3000 + 2 * i);
  load_spline_block(block, linear, 100, 1);
  for (int k = 0; k < BLOCK_LENGTH - 1; ++k) {
    ASSERT_TRUE(block.b[k] == 2.0 && block.c[k] == 0.0 && block.d[k] == 0.0) << k;
  }
  for (double x : {100.0, 100.25, 1717.5, 3170.875}) {
    EXPECT_EQ(spline_eval(block, x), -3000.0 + 2.0 * x) << x;
  }
}

TEST(SplineTest, JaggedBlockFollowsTheWrittenRecurrenceAndHornerOrder) {
  const SampleStore store = jagged_store(6000);
  SplineBlock block;
  load_spline_block(block, store, 500, 1);
  EXPECT_EQ(block.c[0], 0.0);  // natural ends
  EXPECT_EQ(block.c[BLOCK_LENGTH - 1], 0.0);
  // Values of the written recurrence (z divided by l) and Horner form, worked
  // out separately in double precision. Multiplying by mu instead of dividing
  // changes 777.3 and 1500.5; the power form y + b t + c t^2 + d t^3 changes
  // all but 1234.25.
  const struct { double x, value; } pinned[] = {
      {1234.25, 5242.446034313072}, {2000.7, -2508.463001858372}, {777.3, 391.4747044061364},
      {3001.9, 138.0151137802559},  {1500.5, 1184.1477272727225}, {600.125, 3047.8060494017254}};
  for (const auto& p : pinned) EXPECT_EQ(spline_eval(block, p.x), p.value) << p.x;
  EXPECT_EQ(block.c[1], 21427.63440238376);
  for (int frame : {500, 501, 1999, 3571}) EXPECT_EQ(spline_eval(block, frame), store[frame]);
  // Outside its 3071 intervals the block reads its first or last entry.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {499.999, -1e300, nan}) EXPECT_EQ(spline_eval(block, x), store[500]) << x;
  for (double x : {3571.0, 4000.5, 1e300, static_cast<double>(INFINITY)}) {
    EXPECT_EQ(spline_eval(block, x), store[3571]) << x;
  }
  EXPECT_NE(spline_eval(block, 3570.5), store[3571]);  // the last interval is interpolated
}

// Inputs of two and six channels, whose first channel alone is read, are
// rendered from end to end in the driver tests.
TEST(SplineTest, ConversionReadsSilenceOutsideTheStore) {
  const SampleStore mono = jagged_store(5000);
  std::vector<double> out(BLOCK_LENGTH, 99.0);
  convert_block(out.data(), mono, -1408, BLOCK_LENGTH, 1);
  EXPECT_TRUE(out[1407] == 0.0 && out[1408] == mono[0] && out[3071] == mono[1663]);
  convert_block(out.data(), mono, 4000, BLOCK_LENGTH, 1);  // into the zero tail
  EXPECT_TRUE(out[999] == mono[4999] && out[1000] == 0.0);
  convert_block(out.data(), mono, 7000, BLOCK_LENGTH, 1);  // past the store itself
  EXPECT_EQ(out, std::vector<double>(BLOCK_LENGTH, 0.0));
  convert_block(out.data(), mono, 10, BLOCK_LENGTH, 0);  // no channels: silence
  EXPECT_EQ(out, std::vector<double>(BLOCK_LENGTH, 0.0));
}

}  // namespace
}  // namespace quillet
