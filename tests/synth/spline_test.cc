#include "synth/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillet {
namespace {

// A mono store of frames followed by a zero tail of one block.
SampleStore mono_store(const std::vector<int16_t>& frames) {
  SampleStore store = frames;
  store.resize(frames.size() + BLOCK_LENGTH, 0);
  return store;
}

// A deterministic, jagged test signal in 16-bit range.
int16_t jagged(int i) { return static_cast<int16_t>((i * 7919) % 20001 - 10000); }

TEST(SplineTest, HandWorkedThreePointSpline) {
  // y = 0, 3, 0: r1 = -18, z1 = -4.5, so c = {0, -4.5, 0},
  // b = {4.5, 0}, d = {-1.5, 1.5}; S(0.5) = 2.25 - 0.1875 = 2.0625.
  const double y[3] = {0.0, 3.0, 0.0};
  double b[3] = {}, c[3] = {}, d[3] = {};
  spline_compute(y, 3, b, c, d);
  EXPECT_EQ(c[0], 0.0);
  EXPECT_EQ(c[1], -4.5);
  EXPECT_EQ(c[2], 0.0);
  EXPECT_EQ(b[0], 4.5);
  EXPECT_EQ(b[1], 0.0);
  EXPECT_EQ(d[0], -1.5);
  EXPECT_EQ(d[1], 1.5);
  EXPECT_EQ(((d[0] * 0.5 + c[0]) * 0.5 + b[0]) * 0.5 + y[0], 2.0625);
}

TEST(SplineTest, ConstantAndLinearBlocksAreReproduced) {
  SplineBlock block;
  load_spline_block(block, mono_store(std::vector<int16_t>(8000, -1234)), 2000, 1);
  for (int k = 0; k < BLOCK_LENGTH - 1; ++k) {
    ASSERT_EQ(block.b[k], 0.0);
    ASSERT_EQ(block.c[k], 0.0);
    ASSERT_EQ(block.d[k], 0.0);
  }
  EXPECT_EQ(spline_eval(block, 2000.0), -1234.0);
  EXPECT_EQ(spline_eval(block, 3456.789), -1234.0);
  EXPECT_EQ(spline_eval(block, 5070.999), -1234.0);

  // y = -3000 + 2 k from frame 0 on.
  std::vector<int16_t> ramp(8000);
  for (int i = 0; i < 8000; ++i) ramp[i] = static_cast<int16_t>(-3000 + 2 * i);
  load_spline_block(block, mono_store(ramp), 100, 1);
  for (int k = 0; k < BLOCK_LENGTH - 1; ++k) {
    ASSERT_EQ(block.c[k], 0.0) << k;
    ASSERT_EQ(block.d[k], 0.0) << k;
    ASSERT_EQ(block.b[k], 2.0) << k;
  }
  EXPECT_EQ(block.c[BLOCK_LENGTH - 1], 0.0);
  for (double x : {100.0, 100.25, 1717.5, 3170.875}) {
    EXPECT_NEAR(spline_eval(block, x), -3000.0 + 2.0 * x, 1e-9) << x;
  }
}

TEST(SplineTest, NaturalSplineIsSmoothAndPassesThroughTheSamples) {
  std::vector<int16_t> frames(6000);
  for (int i = 0; i < 6000; ++i) frames[i] = jagged(i);
  SplineBlock block;
  load_spline_block(block, mono_store(frames), 500, 1);
  // Natural end conditions: zero second derivative at both ends.
  EXPECT_EQ(block.c[0], 0.0);
  EXPECT_EQ(block.c[BLOCK_LENGTH - 1], 0.0);
  double largest_c = 0.0;
  for (int k = 0; k + 1 < BLOCK_LENGTH; ++k) {
    const double y0 = block.y[k], y1 = block.y[k + 1];
    const double b = block.b[k], c = block.c[k], d = block.d[k];
    // Value, slope and curvature at the right end of interval k match the
    // start of interval k + 1.
    ASSERT_NEAR(y0 + b + c + d, y1, 1e-7) << k;
    ASSERT_NEAR(c + 3.0 * d, block.c[k + 1], 1e-7) << k;
    if (k + 2 < BLOCK_LENGTH) {
      ASSERT_NEAR(b + 2.0 * c + 3.0 * d, block.b[k + 1], 1e-7) << k;
    }
    largest_c = std::max(largest_c, std::fabs(c));
  }
  EXPECT_GT(largest_c, 1000.0);  // the signal really bends
  // Integer positions return the sample itself, exactly.
  for (int frame : {500, 501, 1999, 3570}) {
    EXPECT_EQ(spline_eval(block, frame), static_cast<double>(frames[frame])) << frame;
  }
}

TEST(SplineTest, ConversionReadsSilenceOutsideTheStoreAndTheFirstChannelOnly) {
  std::vector<int16_t> frames(5000);
  for (int i = 0; i < 5000; ++i) frames[i] = jagged(i);
  const SampleStore mono = mono_store(frames);

  std::vector<double> out(BLOCK_LENGTH, 99.0);
  convert_block(out.data(), mono, -1408, BLOCK_LENGTH, 1);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1407], 0.0);
  EXPECT_EQ(out[1408], frames[0]);
  EXPECT_EQ(out[3071], frames[1663]);

  // Past the end of the vector itself, beyond the zero tail.
  convert_block(out.data(), mono, 7000, BLOCK_LENGTH, 1);
  for (double v : out) ASSERT_EQ(v, 0.0);
  convert_block(out.data(), mono, 4000, BLOCK_LENGTH, 1);
  EXPECT_EQ(out[999], frames[4999]);
  EXPECT_EQ(out[1000], 0.0);

  // Two stores that differ only in their second channel give the same block.
  SampleStore left_a, left_b;
  for (int i = 0; i < 5000; ++i) {
    left_a.insert(left_a.end(), {frames[i], static_cast<int16_t>(i)});
    left_b.insert(left_b.end(), {frames[i], static_cast<int16_t>(-7 * i)});
  }
  left_a.resize(left_a.size() + 2 * BLOCK_LENGTH, 0);
  left_b.resize(left_b.size() + 2 * BLOCK_LENGTH, 0);
  SplineBlock block_a, block_b, block_mono;
  load_spline_block(block_a, left_a, -100, 2);
  load_spline_block(block_b, left_b, -100, 2);
  load_spline_block(block_mono, mono, -100, 1);
  EXPECT_EQ(block_a.y, block_mono.y);
  EXPECT_EQ(block_b.y, block_mono.y);
  EXPECT_EQ(block_a.d, block_b.d);
  EXPECT_EQ(spline_eval(block_a, 1234.5), spline_eval(block_b, 1234.5));

  // Three channels: the first sample of every frame.
  SampleStore three;
  for (int i = 0; i < 5000; ++i) three.insert(three.end(), {frames[i], 1, 2});
  three.resize(three.size() + 3 * BLOCK_LENGTH, 0);
  convert_block(out.data(), three, 10, BLOCK_LENGTH, 3);
  for (int k = 0; k < BLOCK_LENGTH; ++k) ASSERT_EQ(out[k], frames[10 + k]) << k;

  // A channel count of 0 reads silence instead of dividing frames by nothing.
  convert_block(out.data(), mono, 10, BLOCK_LENGTH, 0);
  for (double v : out) ASSERT_EQ(v, 0.0);
}

TEST(SplineTest, PositionsOutsideTheBlockReadItsEndEntries) {
  std::vector<int16_t> frames(6000);
  for (int i = 0; i < 6000; ++i) frames[i] = jagged(i);
  SplineBlock block;
  load_spline_block(block, mono_store(frames), 1000, 1);
  const double first = frames[1000];
  const double last = frames[1000 + BLOCK_LENGTH - 1];
  EXPECT_EQ(spline_eval(block, 999.999), first);
  EXPECT_EQ(spline_eval(block, -1e300), first);
  EXPECT_EQ(spline_eval(block, std::numeric_limits<double>::quiet_NaN()), first);
  EXPECT_EQ(spline_eval(block, 1000.0 + BLOCK_LENGTH - 1), last);
  EXPECT_EQ(spline_eval(block, 1000.0 + BLOCK_LENGTH + 500.5), last);
  EXPECT_EQ(spline_eval(block, 1e300), last);
  EXPECT_EQ(spline_eval(block, std::numeric_limits<double>::infinity()), last);
  // The last interval itself is still interpolated.
  const double inside = spline_eval(block, 1000.0 + BLOCK_LENGTH - 1.5);
  EXPECT_NE(inside, last);
  EXPECT_LT(std::fabs(inside), 20000.0);
}

}  // namespace
}  // namespace quillet
