// Moving the grain readers on: the vector levels against the plain one.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

#include "synth/aperiodic.h"

namespace quillet {
namespace {

std::vector<SimdLevel> every_level() {
  std::vector<SimdLevel> levels = {SimdLevel::plain, SimdLevel::sse2};
  if (choose_simd_level(nullptr, processor_has_avx2()) == SimdLevel::avx2) levels.push_back(SimdLevel::avx2);
  return levels;
}

AperiodicBank bank_at(SimdLevel level) {
  AperiodicBank bank = make_aperiodic_bank("");
  bank.level = level;
  return bank;
}

// rate_ratio 0 makes the step's increment exactly -adv.
RenderParams still_input() {
  RenderParams params;
  params.rate_ratio = 0.0;
  return params;
}

TEST(AperiodicAdvanceTest, StepsWorkedOutByHand) {
  const RenderParams params = still_input();
  // Increments -1000, 0.5, 900 from phase 0: up by 2 or 3 periods, then down
  // by one or two, e.g. reader 6: 3 x 476.763943378363 - 1000, then up by
  // 0.5, then 900 more less two periods.
  const double expected[3][4] = {{603.636363636364, 39.829533820172, 430.291830135089, 311.583391196486},
                                 {604.136363636364, 40.329533820172, 430.791830135089, 312.083391196486},
                                 {702.318181818182, 420.414766910086, 377.263943378363, 337.694463732162}};
  const int readers[4] = {0, 5, 6, 7};
  for (SimdLevel level : every_level()) {
    // An increment of 0 leaves every reader at 0.
    AperiodicBank bank = bank_at(level);
    advance_aperiodic_readers(bank, params, 0.0);
    for (double phase : bank.phase) EXPECT_EQ(phase, 0.0) << simd_level_name(level);
    const double advances[3] = {1000.0, -0.5, -900.0};
    for (int step = 0; step < 3; ++step) {
      advance_aperiodic_readers(bank, params, advances[step]);
      for (int r = 0; r < 4; ++r) {
        EXPECT_NEAR(bank.phase[readers[r]], expected[step][r], 1e-9)
            << simd_level_name(level) << " step " << step << " reader " << readers[r];
      }
    }
    advance_aperiodic_readers(bank, params, NAN);
    for (double phase : bank.phase) EXPECT_TRUE(std::isnan(phase)) << simd_level_name(level);

    // A phase landing on its period stays there; the others come down by one.
    bank = bank_at(level);
    advance_aperiodic_readers(bank, params, -GRAIN_PERIODS[0]);
    EXPECT_EQ(bank.phase[0], GRAIN_PERIODS[0]) << simd_level_name(level);
    EXPECT_NEAR(bank.phase[7], 364.62371808602, 1e-9) << simd_level_name(level);
    // 1e5 is 124 periods of reader 0 and 574.545454545434 more, found by fmod.
    advance_aperiodic_readers(bank, params, GRAIN_PERIODS[0] - 1e5);
    EXPECT_NEAR(bank.phase[0], 574.545454545434, 1e-9) << simd_level_name(level);
  }
}

// Random walks through increments of every kind, from starting phases inside
// the periods, below and above them and far outside: every level ends each
// step with the plain level's bits in every reader.
TEST(AperiodicAdvanceTest, EveryLevelGivesThePlainBits) {
  const RenderParams params = still_input();
  const double inf = std::numeric_limits<double>::infinity();
  const double p0 = GRAIN_PERIODS[0], p7 = GRAIN_PERIODS[7];
  const double usual[] = {0.0, -0.0, 1e-3, -1e-3, 0.37, -0.37, 1.0884353741496597, -2.9, 250.0, -250.0,
                          p0, -p0, p7 + 1e-9, -p7, 800.0, -1700.0, 5000.0, -20000.0, 4.9e-324, -1e-310};
  const double unusual[] = {28000.0, -40000.0, 51400.0, -1e6, 1e300, -1e300, inf, -inf, NAN, -NAN,
                            std::bit_cast<double>(uint64_t{0x7ff8000000000123}),
                            std::bit_cast<double>(uint64_t{0xfff4000000000001})};
  uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 11;  // 53 random bits
  };
  auto unit = [&next] { return static_cast<double>(next()) * 0x1p-53; };  // [0, 1)
  // The first reader whose bits differ, -1 when none does.
  auto first_difference = [](const AperiodicBank& plain, const AperiodicBank& lanes) {
    for (int k = 0; k < GRAIN_COUNT; ++k) {
      if (std::bit_cast<uint64_t>(plain.phase[k]) != std::bit_cast<uint64_t>(lanes.phase[k])) return k;
    }
    return -1;
  };
  long steps = 0;
  for (SimdLevel level : every_level()) {
    if (level == SimdLevel::plain) continue;
    // Every listed increment once from the same phases, the finite ones first.
    std::vector<double> listed(std::begin(usual), std::end(usual));
    listed.insert(listed.end(), std::begin(unusual), std::end(unusual));
    for (double adv : listed) {
      AperiodicBank plain = bank_at(SimdLevel::plain);
      for (int k = 0; k < GRAIN_COUNT; ++k) plain.phase[k] = 100.5 * k;
      AperiodicBank lanes = plain;
      lanes.level = level;
      advance_aperiodic_readers(plain, params, adv);
      advance_aperiodic_readers(lanes, params, adv);
      ASSERT_EQ(first_difference(plain, lanes), -1) << simd_level_name(level) << " adv " << adv;
    }
    for (int walk = 0; walk < 300; ++walk) {
      AperiodicBank plain = bank_at(SimdLevel::plain);
      const double spread = walk % 3 == 0 ? 1.0 : walk % 3 == 1 ? 4.0 : 70.0;
      for (int k = 0; k < GRAIN_COUNT; ++k) plain.phase[k] = (2.0 * unit() - 1.0) * spread * GRAIN_PERIODS[k];
      AperiodicBank lanes = plain;
      lanes.level = level;
      for (int n = 0; n < 200; ++n) {
        const uint64_t pick = next();
        double adv;
        if (pick % 97 == 0) {
          adv = unusual[(pick >> 8) % std::size(unusual)];
        } else if (pick % 3 == 0) {
          adv = usual[(pick >> 8) % std::size(usual)];
        } else {
          adv = (2.0 * unit() - 1.0) * std::pow(10.0, 5.0 * unit() - 2.0);  // 0.01 to 1000 in size
        }
        advance_aperiodic_readers(plain, params, adv);
        advance_aperiodic_readers(lanes, params, adv);
        ++steps;
        const int k = first_difference(plain, lanes);
        ASSERT_EQ(k, -1) << simd_level_name(level) << " walk " << walk << " step " << n << ": "
                         << plain.phase[k] << " vs " << lanes.phase[k] << " after adv " << adv;
      }
    }
  }
  EXPECT_GE(steps, 60000);
}

}  // namespace
}  // namespace quillet
