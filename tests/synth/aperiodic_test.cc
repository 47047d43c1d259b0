#include "synth/aperiodic.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quillet {
namespace {

TEST(AperiodicTest, SpeedFactorFromTheGFlag) {
  EXPECT_EQ(aperiodic_gen_factor("L"), 1.0);
  EXPECT_EQ(aperiodic_gen_factor("Bg"), 1.0);  // bare g reads 0
  EXPECT_DOUBLE_EQ(aperiodic_gen_factor("g100"), 0.31622776601683794);
  EXPECT_DOUBLE_EQ(aperiodic_gen_factor("g-100"), 3.1622776601683795);
  EXPECT_EQ(aperiodic_gen_factor("g250"), aperiodic_gen_factor("g100"));
  EXPECT_EQ(aperiodic_gen_factor("Ng-400"), aperiodic_gen_factor("g-100"));
  EXPECT_DOUBLE_EQ(aperiodic_gen_factor("g20"), std::pow(10.0, -0.1));
  // Only the first g counts.
  EXPECT_EQ(aperiodic_gen_factor("B40g-100g100"), aperiodic_gen_factor("g-100"));
  // "nan" reads as a number and passes the clamp.
  EXPECT_TRUE(std::isnan(aperiodic_gen_factor("gnan")));
  EXPECT_EQ(make_aperiodic_bank("g100").gen_factor, aperiodic_gen_factor("g100"));
  EXPECT_EQ(make_aperiodic_bank("g100").phase[7], 0.0);
}

TEST(AperiodicTest, EnvelopeHoldsOverTheFixedHeadAndFallsToTheFloor) {
  RenderParams params;
  params.fixed_in = 10000.0;
  params.fixed_out = 10000.0;
  params.aperiodic_floor = 0.25;
  EXPECT_EQ(aperiodic_envelope(0, params), 1.0);
  EXPECT_EQ(aperiodic_envelope(7353, params), 1.0);
  EXPECT_EQ(aperiodic_envelope(7354, params), 1.0);
  EXPECT_EQ(aperiodic_envelope(7795, params), 0.625);  // halfway down: 1 - 0.75 * 441 / 882
  EXPECT_DOUBLE_EQ(aperiodic_envelope(8235, params), 1.0 - 0.75 * 881.0 / 882.0);
  EXPECT_EQ(aperiodic_envelope(8236, params), 0.25);
  EXPECT_EQ(aperiodic_envelope(100000, params), 0.25);

  params.fixed_out = 2646.0;  // too short a head: the floor from the start
  EXPECT_EQ(aperiodic_envelope(0, params), 0.25);
  params.fixed_out = 2647.0;
  EXPECT_EQ(aperiodic_envelope(0, params), 1.0);
  params.fixed_in = 0.0;  // no fixed head: the floor everywhere
  EXPECT_EQ(aperiodic_envelope(0, params), 0.25);
  params.fixed_in = 10000.0;
  params.fixed_out = 10000.0;
  params.aperiodic_floor = 1.0;
  for (int n : {0, 7400, 8000, 9000}) EXPECT_EQ(aperiodic_envelope(n, params), 1.0) << n;
}

TEST(AperiodicTest, GrainPhasesWrapIntoTheirPeriod) {
  const double p = GRAIN_PERIODS[0];
  EXPECT_EQ(wrap_grain_phase(0.0, p), 0.0);
  EXPECT_EQ(wrap_grain_phase(p, p), p);
  EXPECT_EQ(wrap_grain_phase(-1.0, p), p - 1.0);
  EXPECT_EQ(wrap_grain_phase(p + 1.5, p), (p + 1.5) - p);
  // Up to 64 periods away the plain loops run; beyond, fmod reduces first.
  double looped = 63.5 * p;
  while (looped > p) looped -= p;
  EXPECT_EQ(wrap_grain_phase(63.5 * p, p), looped);
  for (double huge : {1e15, -1e15, 1e300, -3e200}) {
    const double wrapped = wrap_grain_phase(huge, p);
    EXPECT_GE(wrapped, 0.0) << huge;
    EXPECT_LE(wrapped, p) << huge;
  }
  EXPECT_TRUE(std::isnan(wrap_grain_phase(NAN, p)));
  // A period that is not positive leaves the phase alone instead of looping.
  EXPECT_EQ(wrap_grain_phase(5.0, 0.0), 5.0);
  EXPECT_EQ(wrap_grain_phase(5.0, -3.0), 5.0);
  // The table: 44100 / (55 * 2^(k/8)).
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    EXPECT_NEAR(GRAIN_PERIODS[k], 44100.0 / (55.0 * std::pow(2.0, k / 8.0)), 1e-9) << k;
  }
}

TEST(AperiodicTest, ReadersCombTheInputAndMoveAtNormalSpeed) {
  SampleStore store(8000 + BLOCK_LENGTH, 0);
  for (int i = 0; i < 8000; ++i) store[i] = static_cast<int16_t>((i * 7919) % 20001 - 10000);
  SplineBlock block;
  load_spline_block(block, store, 2048 - BLOCK_LEAD, 1);
  RenderParams params;
  params.rate_ratio = 1.0;
  params.aperiodic_floor = 0.37;

  // Normal speed (adv = R): the readers stand still at phase 0, where each
  // gives the comb difference from its leading head: 8 D / 16 = D / 2.
  AperiodicBank bank = make_aperiodic_bank("");
  const double d = static_cast<double>(store[2100]) - store[2200];
  EXPECT_NE(d, 0.0);
  EXPECT_EQ(aperiodic_step(bank, params, 0, 2100.0, 1.0, 100.0, block), 0.5 * d * 0.37);
  for (double phase : bank.phase) EXPECT_EQ(phase, 0.0);

  // Half speed (adv = R / 2): every phase grows by 0.5 and reader k jumps
  // back by its period once every 2 P_k samples.
  bank = make_aperiodic_bank("");
  for (int n = 0; n < 1604; ++n) {
    aperiodic_step(bank, params, n, 2100.0 + 0.5 * n, 0.5, 100.0, block);
  }
  EXPECT_NEAR(bank.phase[0], 802.0 - GRAIN_PERIODS[0], 1e-9);
  EXPECT_NEAR(bank.phase[7], 802.0 - GRAIN_PERIODS[7], 1e-9);

  // Double speed (adv = 2 R): the phases fall by one and wrap forward.
  bank = make_aperiodic_bank("");
  aperiodic_step(bank, params, 0, 2100.0, 2.0, 100.0, block);
  for (int k = 0; k < GRAIN_COUNT; ++k) EXPECT_EQ(bank.phase[k], GRAIN_PERIODS[k] - 1.0) << k;

  // g-100 reads about 3.16 times faster.
  bank = make_aperiodic_bank("g-100");
  aperiodic_step(bank, params, 0, 2100.0, 1.0, 100.0, block);
  EXPECT_DOUBLE_EQ(bank.phase[3], 3.1622776601683795 - 1.0);
}

}  // namespace
}  // namespace quillet
