#include "filter/filter_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillet {
namespace {

void expect_same_plan(const FilterPlan& a, const FilterPlan& b, const char* what) {
  ASSERT_EQ(a.updates.size(), b.updates.size()) << what;
  for (std::size_t u = 0; u < a.updates.size(); ++u) {
    const EnvelopeUpdate& p = a.updates[u];
    const EnvelopeUpdate& q = b.updates[u];
    ASSERT_TRUE(p.c == q.c && p.place.input == q.place.input && p.place.window == q.place.window)
        << what << " update " << u << ": " << p.c << " vs " << q.c;
  }
  ASSERT_EQ(a.frames.size(), b.frames.size()) << what;
  for (std::size_t j = 0; j < a.frames.size(); ++j) {
    const FramePlan& p = a.frames[j];
    const FramePlan& q = b.frames[j];
    ASSERT_TRUE(p.update == q.update && p.r == q.r && p.block == q.block) << what << " frame " << j;
  }
}

// A head of 1000 samples at offset 100, then twice the speed: the block of
// 1024 changes where the input reaches 1024 (c = 924) and 2048 (c = 1474,
// (1474 - 1000) x 2 + 1100 = 2048), and the frames at 0, 512, 1024 and 1536
// take the updates in force there; the completing frame the last sample's.
TEST(FilterPlan, UpdatesWhereTheInputBlockChanges) {
  TimeMapping mapping;
  mapping.fixed_in = 1000.0;
  mapping.offset = 100;
  mapping.ratio = 2.0;
  mapping.stretched_window = 512;
  const FilterPlan plan = plan_filter(mapping, 1700);
  ASSERT_EQ(plan.updates.size(), 3u);
  EXPECT_EQ(plan.updates[0].c, 0);
  EXPECT_EQ(plan.updates[1].c, 924);
  EXPECT_EQ(plan.updates[1].place.window, SPECTRUM_SIZE);  // still in the head
  EXPECT_EQ(plan.updates[2].c, 1474);
  EXPECT_EQ(plan.updates[2].place.window, 512);
  ASSERT_EQ(plan.frames.size(), 5u);
  const int updates[] = {0, 0, 1, 2, 2};
  const int rs[] = {100, 612, (1024 - 1000) * 2 + 1100 - 1024, (1536 - 1000) * 2 + 1100 - 2048, (1699 - 1000) * 2 + 1100 - 2048};
  for (int j = 0; j < 5; ++j) {
    EXPECT_EQ(plan.frames[j].update, updates[j]) << j;
    EXPECT_EQ(plan.frames[j].r, rs[j]) << j;
  }
  EXPECT_EQ(plan.frames[4].block, 0);
}

// Found by bisection, the plan is the one every sample gives: heads that
// end on and between samples, before the start and past the end, speeds
// from standing still to far faster than the input block, offsets that
// start the input below 0, lengths around the frame size; and, mapped
// sample by sample because they may move back, a negative, an infinite and
// an undefined speed.
TEST(FilterPlan, BisectionFindsEveryUpdateSampleBySampleFinds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double heads[] = {0.0, 100.5, 4410.0, 9999.75, -3.0, 1e9};
  const double ratios[] = {0.0, 1e-7, 0.3, 0.999, 1.0, 1.7, 3.3, 1100.0, 1e12, -0.5, inf, nan};
  const int offsets[] = {0, 777, -5000};
  const int lengths[] = {1, 511, 512, 513, 1025, 20000};
  for (double head : heads) {
    for (double ratio : ratios) {
      for (int offset : offsets) {
        for (int length : lengths) {
          TimeMapping mapping;
          mapping.fixed_in = head;
          mapping.offset = offset;
          mapping.ratio = ratio;
          mapping.stretched_window = 700;
          expect_same_plan(plan_filter_sample_by_sample(mapping, length), plan_filter(mapping, length), "plan");
        }
      }
    }
  }
  EXPECT_TRUE(plan_filter(TimeMapping{}, 0).frames.empty());
}

}  // namespace
}  // namespace quillet
