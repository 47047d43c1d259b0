#include "filter/frame_lanes.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/simd_levels.h"

namespace quillet {
namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) return false;
  }
  return true;
}

// Values of every kind, so that a changed rounding, a lost sign of zero or a
// changed NaN shows: ordinary ones, zeros, subnormals, huge ones, infinities.
std::vector<double> awkward_values(int n, uint64_t seed) {
  const double special[] = {0.0, -0.0, 4.9e-324, -2.2e-308, 1e308, -1e308,
                            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(), 1.0, -3.0};
  std::vector<double> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const double unit = static_cast<double>(seed >> 11) * 0x1p-53;
    v[static_cast<std::size_t>(i)] = i % 9 == 4 ? special[(seed >> 7) % 11] : (unit - 0.37) * 1e4;
  }
  return v;
}

// Every level gives the plain loop's bits, for lengths that end inside a
// vector as well as whole ones; worked values check the plain loops.
TEST(FrameLanes, EveryLevelGivesThePlainBits) {
  for (const int n : {0, 1, 3, 7, 1024, 1025}) {
    const std::vector<double> x = awkward_values(n, 11 + n);
    const std::vector<double> w = awkward_values(n, 99 + n);
    std::vector<double> multiplied = x, scaled = x, windowed = x, magnitude(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      multiplied[i] = x[i] * w[i];
      scaled[i] = x[i] * 0.001;
      windowed[i] = 1.7 * w[i] * x[i];
      magnitude[i] = std::sqrt(x[i] * x[i] + w[i] * w[i]) / 1024.0;
    }
    for (const SimdLevel level : test::runnable_levels()) {
      SCOPED_TRACE(simd_level_name(level));
      std::vector<double> a = x, b = x, c = x, d = x;
      multiply_elements(a.data(), w.data(), n, level);
      scale_elements(b.data(), 0.001, n, level);
      scale_window_elements(c.data(), 1.7, w.data(), n, level);
      magnitudes(d.data(), w.data(), d.data(), 1024.0, n, level);
      EXPECT_TRUE(same_bits(a, multiplied)) << n;
      EXPECT_TRUE(same_bits(b, scaled)) << n;
      EXPECT_TRUE(same_bits(c, windowed)) << n;
      EXPECT_TRUE(same_bits(d, magnitude)) << n;
    }
  }
  std::vector<double> re = {3.0, -5.0, 0.0};
  const std::vector<double> im = {4.0, 12.0, -0.0};
  std::vector<double> out(3);
  magnitudes(re.data(), im.data(), out.data(), 2.0, 3, SimdLevel::plain);
  EXPECT_EQ(out, (std::vector<double>{2.5, 6.5, 0.0}));
  scale_window_elements(re.data(), 2.0, im.data(), 3, SimdLevel::plain);
  EXPECT_EQ(re, (std::vector<double>{24.0, -120.0, 0.0}));
}

}  // namespace
}  // namespace quillet
