#include "synth/aperiodic.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/synthetic_voice.h"

namespace quillet {
namespace {

TEST(AperiodicTest, SpeedFactorFromTheGFlag) {
  // A bare g reads 0; only the first g counts; g is clamped to [-100, 100].
  const struct { const char* flags; double factor; } cases[] = {
      {"L", 1.0}, {"Bg", 1.0}, {"g100", 0.31622776601683794}, {"g-100", 3.1622776601683795},
      {"g250", 0.31622776601683794}, {"B40g-400g100", 3.1622776601683795},
      {"g60", 0.5011872336272722}};
  for (const auto& c : cases) EXPECT_EQ(aperiodic_gen_factor(c.flags), c.factor) << c.flags;
  EXPECT_TRUE(std::isnan(aperiodic_gen_factor("gnan")));  // passes the clamp
  EXPECT_EQ(make_aperiodic_bank("g100").gen_factor, 0.31622776601683794);
}

TEST(AperiodicTest, EnvelopeHoldsOverTheFixedHeadAndFallsToTheFloor) {
  RenderParams params;
  params.aperiodic_floor = 0.25;
  // The last three rows: a head too short, no head, a head just long enough.
  const struct { double fixed_in, fixed_out; int n; double env; } cases[] = {
      {1e4, 1e4, 7354, 1.0}, {1e4, 1e4, 7795, 0.625},  // 1 - 0.75 x 441 / 882
      {1e4, 1e4, 7418, 1.0 - 0.75 * 64.0 / 882.0},  // not 0.75 x (64 / 882)
      {1e4, 1e4, 8235, 1.0 - 0.75 * 881.0 / 882.0}, {1e4, 1e4, 8236, 0.25},
      {1e4, 10000.5, 7354, 1.0}, {1e4, 10000.5, 7355, 1.0 - 0.75 * 0.5 / 882.0},
      {2646.0, 2646.0, 0, 0.25}, {0.0, 1e4, 0, 0.25}, {2647.0, 2647.0, 0, 1.0}};
  for (const auto& c : cases) {
    params.fixed_in = c.fixed_in;
    params.fixed_out = c.fixed_out;
    EXPECT_EQ(aperiodic_envelope(c.n, params), c.env) << c.fixed_out << " " << c.n;
  }
  params.aperiodic_floor = 1.0;
  for (int n : {7400, 8000, 9000}) EXPECT_EQ(aperiodic_envelope(n, params), 1.0) << n;
}

TEST(AperiodicTest, GrainPhasesWrapIntoTheirPeriod) {
  const double p = GRAIN_PERIODS[0];
  EXPECT_EQ(wrap_grain_phase(p, p), p);
  EXPECT_EQ(wrap_grain_phase(-1.0, p), p - 1.0);
  // More than 64 periods away, fmod reduces first.
  for (double huge : {1e15, -1e15, 1e300, -3e200}) {
    EXPECT_TRUE(wrap_grain_phase(huge, p) >= 0.0 && wrap_grain_phase(huge, p) <= p) << huge;
  }
  EXPECT_TRUE(std::isnan(wrap_grain_phase(NAN, p)));
  EXPECT_EQ(wrap_grain_phase(5.0, 0.0), 5.0);  // returns instead of looping
  // The written table, not 44100 / (55 x 2^(k/8)): entries 5 and 6 are one
  // unit of the 15th digit below the formula's rounding.
  EXPECT_EQ(GRAIN_PERIODS[0], 801.818181818182);
  EXPECT_EQ(GRAIN_PERIODS[5], 519.914766910086);
  EXPECT_EQ(GRAIN_PERIODS[6], 476.763943378363);
}

TEST(AperiodicTest, ReadersCombTheInputAtNormalSpeed) {
  const SampleStore store = test::jagged_store(8000);
  SplineBlock block;
  load_spline_block(block, store, 2048 - BLOCK_LEAD, 1);
  RenderParams params;
  params.aperiodic_floor = 0.37;

  // Normal speed: the readers stand still at phase 0, where each gives the
  // comb difference D from its leading head: 8 D / 16 = D / 2.
  AperiodicBank bank = make_aperiodic_bank("");
  EXPECT_EQ(aperiodic_step(bank, params, 0, 2100.0, 1.0, 100.0, block),
            0.5 * (store[2100] - store[2200]) * 0.37);
  for (double phase : bank.phase) EXPECT_EQ(phase, 0.0);

  // Values worked out separately in the written order. At half speed the
  // phases grow by 0.5; summing each reader's share before adding it to acc
  // changes all three.
  const double half_speed[] = {2515.0393796101766, -974.9031714762973, -218.05059854039305};
  bank = make_aperiodic_bank("");
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(aperiodic_step(bank, params, n, 2100.0 + 0.5 * n, 0.5, 100.0, block),
              half_speed[n]) << n;
  }
  for (int n = 3; n < 1604; ++n) {
    aperiodic_step(bank, params, n, 2100.0 + 0.5 * n, 0.5, 100.0, block);
  }
  EXPECT_EQ(bank.phase[0], 802.0 - GRAIN_PERIODS[0]);  // reader 0 wrapped once, at 2 P_0
  EXPECT_NEAR(bank.phase[7], 802.0 - GRAIN_PERIODS[7], 1e-9);

  // Double speed: the phases fall by one and wrap forward to P_k - 1; the
  // far tap of reader 0 (3714.77) lies past the block and reads its last entry.
  params.aperiodic_floor = 1.0;
  bank = make_aperiodic_bank("");
  EXPECT_EQ(aperiodic_step(bank, params, 0, 2300.25, 2.0, 613.7, block), -510.1583477315676);
  for (int k = 0; k < GRAIN_COUNT; ++k) EXPECT_EQ(bank.phase[k], GRAIN_PERIODS[k] - 1.0) << k;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The readers side by side give, at every level and every step, the bits the
// plain one-by-one reading gives: at speeds that keep the phases still, wrap
// them forwards and backwards, with positions inside the block, across both
// its ends and far outside it, and with a NaN position.
TEST(AperiodicTest, ReadersSideBySideEqualReadersOneByOne) {
  std::vector<SimdLevel> levels = {SimdLevel::sse2};
  if (choose_simd_level(nullptr, processor_has_avx2()) == SimdLevel::avx2) {
    levels.push_back(SimdLevel::avx2);
  }
  SampleStore store(12000);
  uint32_t state = 99;
  for (int16_t& v : store) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<int16_t>(state >> 16);
  }
  SplineBlock block;
  load_spline_block(block, store, 4096 - BLOCK_LEAD, 1);
  RenderParams params;
  params.rate_ratio = 48000.0 / 44100.0;
  params.fixed_in = 9000.0;
  params.fixed_out = 8000.0;
  params.aperiodic_floor = 0.3;
  struct Walk {
    double start, adv, lag;
    const char* flags;
  };
  const Walk walks[] = {{4200.0, 1.0884353741496597, 250.0, ""}, {4000.0, 0.37, 91.3, "g-40"},
                        {5200.0, 2.9, 733.0, "g75"},               {2700.0, 0.5, 1600.0, ""},
                        {-1e6, 1.0, 100.0, ""},                    {5000.0, -3.0, 40.0, "g10"}};
  for (const Walk& walk : walks) {
    for (SimdLevel level : levels) {
      AperiodicBank plain = make_aperiodic_bank(walk.flags);
      plain.level = SimdLevel::plain;
      AperiodicBank lanes = plain;
      lanes.level = level;
      for (int n = 0; n < 9000; n += 1) {
        const double pos = walk.start + walk.adv * n;
        const double a = aperiodic_step(plain, params, n, pos, walk.adv, walk.lag, block);
        const double b = aperiodic_step(lanes, params, n, pos, walk.adv, walk.lag, block);
        ASSERT_TRUE(same_bits(a, b)) << simd_level_name(level) << " n " << n << ": " << a << " vs " << b;
        for (int k = 0; k < GRAIN_COUNT; ++k) ASSERT_TRUE(same_bits(plain.phase[k], lanes.phase[k]));
      }
    }
  }
  // A NaN position reads the block's first entry at every tap, at every level.
  for (SimdLevel level : levels) {
    AperiodicBank plain = make_aperiodic_bank("");
    plain.level = SimdLevel::plain;
    AperiodicBank lanes = plain;
    lanes.level = level;
    const double a = aperiodic_step(plain, params, 0, NAN, 0.5, 100.0, block);
    const double b = aperiodic_step(lanes, params, 0, NAN, 0.5, 100.0, block);
    EXPECT_TRUE(same_bits(a, b)) << a << " vs " << b;
  }
}

// The sum of the eight readers in the written order, every tap read: the
// reference for the steps below.
double written_reader_sum(const AperiodicBank& bank, double pos, double far, const SplineBlock& block) {
  double acc = 0.0;
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    const double phase = bank.phase[k];
    const double behind = phase - GRAIN_PERIODS[k];
    const double trailing = spline_eval(block, pos + behind) - spline_eval(block, far + behind);
    const double leading = spline_eval(block, pos + phase) - spline_eval(block, far + phase);
    acc = acc + trailing * bank.fade[k] + (1.0 - bank.fade[k]) * leading;
  }
  return acc;
}

// Readers in step (one phase, every weight +0, as at normal speed) give the
// bits of every tap read in the written order: on noise, on silence with a
// loud sound only behind the readers (where the trailing shares are zeros of
// either sign), across and outside the block, at a NaN position, at a phase
// just off 0 whose weight is still +0, at every level. A bank with one reader
// out of step, or a weight that is not +0, is read tap by tap.
TEST(AperiodicTest, ReadersInStepEqualEveryTapRead) {
  SampleStore store(12000, 0);
  uint32_t state = 7;
  for (int i = 0; i < 5000; ++i) {
    state = state * 1664525u + 1013904223u;
    store[i] = static_cast<int16_t>(state >> 16);
  }
  SplineBlock block;
  load_spline_block(block, store, 5200 - BLOCK_LEAD, 1);  // noise up to 5000, silence after
  RenderParams params;
  params.aperiodic_floor = 1.0;
  struct Bank {
    double phase;        // every reader's
    int moved;           // a reader put out of step, or -1
    double fade;         // every reader's weight
  };
  const Bank banks[] = {{0.0, -1, 0.0}, {1e-9, -1, 0.0}, {0.0, 3, 0.0}, {0.0, -1, 1e-300}, {0.0, -1, -0.0}};
  const double positions[] = {4100.0, 4990.5, 5600.0, 5801.0, 6500.0, 9000.0, -3000.0, NAN};
  std::vector<SimdLevel> levels = {SimdLevel::plain, SimdLevel::sse2};
  if (choose_simd_level(nullptr, processor_has_avx2()) == SimdLevel::avx2) levels.push_back(SimdLevel::avx2);
  for (const Bank& b : banks) {
    for (const double pos : positions) {
      for (const double lag : {37.5, 400.0}) {
        for (SimdLevel level : levels) {
          AperiodicBank bank = make_aperiodic_bank("");
          bank.level = level;
          bank.phase.fill(b.phase);
          if (b.moved >= 0) bank.phase[b.moved] = 1e-9;
          bank.fade.fill(b.fade);
          bank.fade_phase = bank.phase;
          bank.fades_known = true;  // keeps the weights set here while the readers stand still
          const double expected = written_reader_sum(bank, pos, pos + lag, block) * 0.0625;
          // adv = 1.0 at rate 1: the readers stand still.
          const double got = aperiodic_step(bank, params, 0, pos, 1.0, lag, block);
          ASSERT_TRUE(same_bits(got, expected))
              << simd_level_name(level) << " phase " << b.phase << " moved " << b.moved << " fade " << b.fade
              << " pos " << pos << " lag " << lag << ": " << got << " vs " << expected;
        }
      }
    }
  }
}

// A reader whose phase keeps its bits keeps its cross-fade weight: the bank
// that reuses weights gives, step by step, the bits of a bank that works every
// weight out afresh, while the readers stand still (at phase 0 and at phases
// reached by moving), move, and stand still again, at every level.
TEST(AperiodicTest, KeptWeightsEqualWeightsWorkedOutAfresh) {
  const SampleStore store = test::jagged_store(8000);
  SplineBlock block;
  load_spline_block(block, store, 2048 - BLOCK_LEAD, 1);
  RenderParams params;
  params.rate_ratio = 48000.0 / 44100.0;
  params.aperiodic_floor = 0.6;
  const double r = params.rate_ratio;
  const double advances[] = {r, r, r, 0.41, 0.41, 1.7, r, r, r, r, 2.3, r, r};
  for (SimdLevel level : {SimdLevel::plain, SimdLevel::sse2, simd_level()}) {
    AperiodicBank kept = make_aperiodic_bank("");
    kept.level = level;
    AperiodicBank fresh = kept;
    double pos = 2000.0;
    int still_steps = 0;
    for (int n = 0; n < 260; ++n) {
      const double adv = advances[(n / 20) % 13];
      pos += adv;
      const std::array<double, GRAIN_COUNT> phases_before = kept.phase;
      fresh.fades_known = false;
      const double a = aperiodic_step(kept, params, n, pos, adv, 150.0, block);
      const double b = aperiodic_step(fresh, params, n, pos, adv, 150.0, block);
      ASSERT_TRUE(same_bits(a, b)) << simd_level_name(level) << " n " << n << ": " << a << " vs " << b;
      if (kept.phase == phases_before) ++still_steps;
    }
    EXPECT_GT(still_steps, 150);  // most steps reuse every weight
    EXPECT_NE(kept.phase[0], 0.0);
  }
}

}  // namespace
}  // namespace quillet
