#include "core/simd.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quillet {
namespace {

TEST(SimdChoice, TheProcessorDecidesWithoutAnOverride) {
  EXPECT_EQ(choose_simd_level(nullptr, true), SimdLevel::avx2);
  EXPECT_EQ(choose_simd_level(nullptr, false), SimdLevel::sse2);
}

TEST(SimdChoice, AnOverrideNarrowsButNeverRaises) {
  EXPECT_EQ(choose_simd_level("plain", true), SimdLevel::plain);
  EXPECT_EQ(choose_simd_level("sse2", true), SimdLevel::sse2);
  EXPECT_EQ(choose_simd_level("avx2", true), SimdLevel::avx2);
  EXPECT_EQ(choose_simd_level("avx2", false), SimdLevel::sse2);
  EXPECT_EQ(choose_simd_level("plain", false), SimdLevel::plain);
}

TEST(SimdChoice, AnUnknownOverrideIsIgnored) {
  EXPECT_EQ(choose_simd_level("", true), SimdLevel::avx2);
  EXPECT_EQ(choose_simd_level("AVX2", false), SimdLevel::sse2);
  EXPECT_EQ(choose_simd_level("neon", true), SimdLevel::avx2);
}

TEST(SimdChoice, TheProcessLevelFollowsTheEnvironmentAndTheProcessor) {
  __builtin_cpu_init();
  const SimdLevel expected = choose_simd_level(std::getenv("QUILLET_SIMD"), __builtin_cpu_supports("avx2"));
  EXPECT_EQ(simd_level(), expected);
  EXPECT_EQ(simd_level(), simd_level());
  EXPECT_STREQ(simd_level_name(SimdLevel::plain), "plain");
  EXPECT_STREQ(simd_level_name(SimdLevel::sse2), "sse2");
  EXPECT_STREQ(simd_level_name(SimdLevel::avx2), "avx2");
}

}  // namespace
}  // namespace quillet
