#include "synth/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "support/synthetic_voice.h"
#include "synth/spline_lanes.h"

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
    const SplinePiece& piece = block.pieces[k];
    ASSERT_TRUE(piece.b == 2.0 && piece.c == 0.0 && piece.d == 0.0) << k;
  }
  for (double x : {100.0, 100.25, 1717.5, 3170.875}) {
    EXPECT_EQ(spline_eval(block, x), -3000.0 + 2.0 * x) << x;
  }
}

TEST(SplineTest, JaggedBlockFollowsTheWrittenRecurrenceAndHornerOrder) {
  const SampleStore store = jagged_store(6000);
  SplineBlock block;
  load_spline_block(block, store, 500, 1);
  EXPECT_EQ(block.pieces[0].c, 0.0);  // natural ends
  EXPECT_EQ(block.pieces[BLOCK_LENGTH - 1].c, 0.0);
  // Values of the written recurrence (z divided by l) and Horner form, worked
  // out separately in double precision. Multiplying by mu instead of dividing
  // changes 777.3 and 1500.5; the power form y + b t + c t^2 + d t^3 changes
  // all but 1234.25.
  const struct { double x, value; } pinned[] = {
      {1234.25, 5242.446034313072}, {2000.7, -2508.463001858372}, {777.3, 391.4747044061364},
      {3001.9, 138.0151137802559},  {1500.5, 1184.1477272727225}, {600.125, 3047.8060494017254}};
  for (const auto& p : pinned) EXPECT_EQ(spline_eval(block, p.x), p.value) << p.x;
  EXPECT_EQ(block.pieces[1].c, 21427.63440238376);
  for (int frame : {500, 501, 1999, 3571}) EXPECT_EQ(spline_eval(block, frame), store[frame]);
  // Outside its 3071 intervals the block reads its first or last entry.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {499.999, -1e300, nan}) EXPECT_EQ(spline_eval(block, x), store[500]) << x;
  for (double x : {3571.0, 4000.5, 1e300, static_cast<double>(INFINITY)}) {
    EXPECT_EQ(spline_eval(block, x), store[3571]) << x;
  }
  EXPECT_NE(spline_eval(block, 3570.5), store[3571]);  // the last interval is interpolated
}

// Every piece of a and b holds the same bits (NaN included).
void expect_same_block(const SplineView& a, const SplineView& b, const char* what) {
  ASSERT_EQ(a.origin, b.origin) << what;
  ASSERT_EQ(a.size, b.size) << what;
  for (int k = 0; k < a.size; ++k) {
    const SplinePiece& p = a.pieces[k];
    const SplinePiece& q = b.pieces[k];
    ASSERT_TRUE(std::memcmp(&p, &q, sizeof p) == 0)
        << what << " piece " << k << ": " << p.y << " " << p.b << " " << p.c << " " << p.d << " vs " << q.y
        << " " << q.b << " " << q.c << " " << q.d;
  }
}

TEST(SplineTest, PiecesHoldTheCoefficientsOfTheArrayForm) {
  const SampleStore store = jagged_store(7000, 977);
  std::vector<double> y(BLOCK_LENGTH), b(BLOCK_LENGTH), c(BLOCK_LENGTH), d(BLOCK_LENGTH);
  convert_block(y.data(), store, 1234, BLOCK_LENGTH, 1);
  spline_compute(y.data(), BLOCK_LENGTH, b.data(), c.data(), d.data());
  SplineBlock block;
  load_spline_block(block, store, 1234, 1);
  for (int k = 0; k < BLOCK_LENGTH - 1; ++k) {
    const SplinePiece& piece = block.pieces[k];
    ASSERT_TRUE(piece.y == y[k] && piece.b == b[k] && piece.c == c[k] && piece.d == d[k]) << k;
  }
  EXPECT_EQ(block.pieces[BLOCK_LENGTH - 1].y, y[BLOCK_LENGTH - 1]);
}

// Inputs of two and six channels, whose first channel alone is read, are
// rendered from end to end in the driver tests.
// Two arrays solved side by side get spline_compute's bits, at every length
// (two entries, a few, a block, longer than a block) and on loud noise.
TEST(SplineTest, TwoArraysSolvedSideBySideEqualArraysSolvedAlone) {
  const SampleStore noise = jagged_store(BLOCK_LENGTH + 50, 7919);
  const SampleStore jagged = jagged_store(BLOCK_LENGTH + 50);
  for (int n : {2, 3, 17, BLOCK_LENGTH, BLOCK_LENGTH + 40}) {
    std::vector<double> y0(n), y1(n);
    for (int i = 0; i < n; ++i) {
      y0[i] = 37.0 * noise[i];
      y1[i] = jagged[i];
    }
    std::vector<double> alone[2][3], together[2][3];
    for (auto* set : {alone, together}) {
      for (int j = 0; j < 2; ++j) {
        for (auto& v : set[j]) v.assign(n, -1.0);
      }
    }
    spline_compute(y0.data(), n, alone[0][0].data(), alone[0][1].data(), alone[0][2].data());
    spline_compute(y1.data(), n, alone[1][0].data(), alone[1][1].data(), alone[1][2].data());
    spline_compute_two(SplineArrays{y0.data(), together[0][0].data(), together[0][1].data(), together[0][2].data()},
                       SplineArrays{y1.data(), together[1][0].data(), together[1][1].data(), together[1][2].data()},
                       n);
    for (int j = 0; j < 2; ++j) {
      for (int f = 0; f < 3; ++f) {
        ASSERT_EQ(std::memcmp(alone[j][f].data(), together[j][f].data(), n * sizeof(double)), 0)
            << n << " array " << j << " field " << f;
      }
    }
  }
}

// The block read at x[0..3] into values[0..3] (no vector crosses a call).
void eval_lanes_sse2(const SplineBlock& block, const double* x, double* values) {
  const Lanes v = spline_eval_lanes(block, Lanes{x[0], x[1], x[2], x[3]});
  for (int q = 0; q < 4; ++q) values[q] = v[q];
}

// The generic read compiled for AVX2, and the read in AVX2 instructions.
__attribute__((target("avx2"))) void eval_lanes_avx2(const SplineBlock& block, const double* x,
                                                      double* values) {
  const Lanes v = spline_eval_lanes(block, Lanes{x[0], x[1], x[2], x[3]});
  for (int q = 0; q < 4; ++q) values[q] = v[q];
}

__attribute__((target("avx2"))) void eval_lanes_avx2_instructions(const SplineBlock& block, const double* x,
                                                                   double* values) {
  const Lanes v = spline_eval_lanes_avx2(block, Lanes{x[0], x[1], x[2], x[3]});
  for (int q = 0; q < 4; ++q) values[q] = v[q];
}

void floor_lanes_sse2(const double* x, double* floors) {
  const Lanes f = floor_lanes(Lanes{x[0], x[1], x[2], x[3]});
  for (int q = 0; q < 4; ++q) floors[q] = f[q];
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The block read four positions at a time gives spline_eval's bits at every
// position, and floor_lanes gives std::floor's below 2^51 (within one beyond
// it): at whole and half frames, on both sides of zero (and at -0), at the
// block's ends, far outside it (around 2^51 and 2^52, where the rounding
// trick stops being exact), at the infinities and at NaN.
TEST(SplineTest, PositionsReadSideBySideEqualPositionsReadOneByOne) {
  const SampleStore store = jagged_store(9000, 331);
  SplineBlock block;
  load_spline_block(block, store, 1500, 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> xs = {-0.0, 0.0, -0.25, -0.5, -0.75, -1.0, -1.5, 0.5, 1499.0, 1499.999, 1500.0,
                            1500.5, 4570.0, 4570.5, 4571.0, 4571.25, 1e300, -1e300, inf, -inf, nan,
                            2251799813685247.5, 2251799813685248.5, -2251799813685248.5,
                            4503599627370495.5, 4503599627370497.0, -4503599627370497.0, 9e15 + 0.5};
  for (double x = 1400.0; x < 4700.0; x += 0.37) xs.push_back(x);
  while (xs.size() % 4 != 0) xs.push_back(2000.0);
  std::vector<void (*)(const SplineBlock&, const double*, double*)> readers = {eval_lanes_sse2};
  if (choose_simd_level(nullptr, processor_has_avx2()) == SimdLevel::avx2) {
    readers.push_back(eval_lanes_avx2);
    readers.push_back(eval_lanes_avx2_instructions);
  }
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    double floors[4];
    floor_lanes_sse2(&xs[i], floors);
    for (auto reader : readers) {
      double values[4];
      reader(block, &xs[i], values);
      for (int q = 0; q < 4; ++q) {
        const double floor = std::floor(xs[i + q]);
        if (std::fabs(xs[i + q]) < 2251799813685248.0 || !std::isfinite(xs[i + q])) {
          ASSERT_TRUE(same_bits(floors[q], floor)) << xs[i + q];
        } else {
          ASSERT_LE(std::fabs(floors[q] - floor), 1.0) << xs[i + q];
        }
        ASSERT_TRUE(same_bits(values[q], spline_eval(block, xs[i + q]))) << xs[i + q];
      }
    }
  }
}

// A block made from an earlier one holds exactly the numbers it gets solved
// alone: walking a block step at a time, in place and from one record into
// another, in jumps of up to half a block and beyond, and backwards; on
// stores whose sweeps meet at once (silence, a ramp), soon (a voice-like
// signal) and late (loud noise), across the store's start and end, and in
// stereo. An
// earlier block of another store or channel count, or one whose sweep
// values can never be met, is not taken for a start.
TEST(SplineTest, BlocksMadeFromEarlierOnesEqualBlocksSolvedAlone) {
  SampleStore noise(30000);
  uint32_t state = 777;
  for (int16_t& v : noise) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<int16_t>(state >> 16);
  }
  SampleStore click(12000, 0);
  click[6000] = 32767;
  SampleStore ramp(20000);  // every c exactly 0: a new c meets any piece not yet solved
  for (int i = 0; i < 20000; ++i) ramp[i] = static_cast<int16_t>(i - 10000);
  struct Store {
    SampleStore samples;
    int channels;
  };
  const Store stores[] = {{jagged_store(20000), 1}, {jagged_store(20000, 613), 2}, {noise, 1}, {click, 1}, {ramp, 1}};
  const int steps[] = {256, 256, 256, 512, 768, 1536, 1537, 256, -256, 256, 3000, 256, 256, -3000, 1, 256};
  for (const Store& store : stores) {
    SweptBlock walked, other;
    int origin = -2 * BLOCK_LEAD;
    for (int k = 0; origin < static_cast<int>(store.samples.size()) / store.channels + 2000; ++k) {
      SweptBlock& to = k % 3 == 2 ? other : walked;
      const SweptBlock& from = k % 3 == 1 ? other : walked;
      load_swept_block(to, from, store.samples, origin, store.channels);
      SplineBlock alone;
      load_spline_block(alone, store.samples, origin, store.channels);
      expect_same_block(alone, view_of(to), "walked");
      if (&to != &walked) std::swap(walked, other);
      origin += steps[k % (sizeof steps / sizeof steps[0])];
    }
  }
  // Earlier blocks that must not be taken for a start.
  const SampleStore voice = jagged_store(20000);
  const SampleStore copy = voice;
  SplineBlock alone;
  load_spline_block(alone, voice, 5256, 1);
  SweptBlock earlier, to;
  load_swept_block(earlier, earlier, copy, 5000, 1);  // the same samples, another store
  load_swept_block(to, earlier, voice, 5256, 1);
  expect_same_block(alone, view_of(to), "another store");
  SplineBlock stereo;
  load_spline_block(stereo, voice, 5256, 2);
  load_swept_block(earlier, earlier, voice, 5000, 1);
  load_swept_block(to, earlier, voice, 5256, 2);
  expect_same_block(stereo, view_of(to), "another channel count");
  load_swept_block(earlier, earlier, voice, 5000, 1);
  earlier.sweep.assign(earlier.sweep.size(), std::numeric_limits<double>::quiet_NaN());
  load_swept_block(to, earlier, voice, 5256, 1);
  expect_same_block(alone, view_of(to), "sweep never met");
}

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
