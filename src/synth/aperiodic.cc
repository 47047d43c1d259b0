#include "synth/aperiodic.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/constants.h"
#include "core/flags.h"
#include "synth/spline_lanes.h"

namespace quillet {

namespace {

constexpr double ENVELOPE_HOLD_END = 2646.0;  // 60 ms before the fixed head's end
constexpr double ENVELOPE_FLOOR_AT = 1764.0;  // 40 ms before it
constexpr double ENVELOPE_FALL = 882.0;       // 20 ms of linear fall
constexpr double READER_SCALE = 0.0625;       // the sum of eight readers, over 16

}  // namespace

double aperiodic_gen_factor(const std::string& flags) {
  double g = 0.0;
  if (!read_flag_double(flags, 'g', g)) return 1.0;
  if (g > 100.0) g = 100.0;
  if (g < -100.0) g = -100.0;
  return std::pow(10.0, -g / 200.0);
}

AperiodicBank make_aperiodic_bank(const std::string& flags) {
  AperiodicBank bank;
  bank.gen_factor = aperiodic_gen_factor(flags);
  bank.level = simd_level();
  return bank;
}

double aperiodic_envelope(int n, const RenderParams& params) {
  const double floor_level = params.aperiodic_floor;
  const double fixed_end = params.fixed_out;
  if (params.fixed_in == 0.0 || !(fixed_end > ENVELOPE_HOLD_END)) return floor_level;
  const double x = n;
  if (x < fixed_end - ENVELOPE_HOLD_END) return 1.0;
  if (x >= fixed_end - ENVELOPE_FLOOR_AT) return floor_level;
  double env = 1.0 - (1.0 - floor_level) * (x - fixed_end + ENVELOPE_HOLD_END) / ENVELOPE_FALL;
  if (env > 1.0) env = 1.0;
  if (env < floor_level) env = floor_level;
  return env;
}

double wrap_grain_phase(double phase, double period) {
  if (!(period > 0.0)) return phase;
  if (phase > 64.0 * period || phase < -64.0 * period) phase = std::fmod(phase, period);
  while (phase < 0.0) phase += period;
  while (phase > period) phase -= period;
  return phase;
}

namespace {

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// The cross-fade weight of every reader at its current phase.
void update_fades(AperiodicBank& bank) {
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    const double phase = bank.phase[k];
    if (bank.fades_known && same_bits(phase, bank.fade_phase[k])) continue;
    bank.fade[k] = 0.5 - 0.5 * std::cos(PI * phase / GRAIN_PERIODS[k]);
    bank.fade_phase[k] = phase;
  }
  bank.fades_known = true;
}

// The eight readers' shares at pos, one reader after the other.
double reader_sum_plain(const AperiodicBank& bank, double pos, double far, const SplineView& block) {
  double acc = 0.0;
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    const double phase = bank.phase[k];
    const double period = GRAIN_PERIODS[k];
    const double behind = phase - period;
    const double trailing = spline_eval(block, pos + behind) - spline_eval(block, far + behind);
    const double leading = spline_eval(block, pos + phase) - spline_eval(block, far + phase);
    const double fade = bank.fade[k];
    acc = acc + trailing * fade + (1.0 - fade) * leading;
  }
  return acc;
}

// Whether the sum can be had from one reader: every reader at the same phase
// with a cross-fade weight of exactly +0 (the readers at rest at phase 0, as
// at normal speed). Each trailing share then is its difference times +0, a
// zero (the spline reads finite values everywhere), and each leading share
// 1.0 times the same difference.
bool readers_in_step(const AperiodicBank& bank) {
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    if (!same_bits(bank.fade[k], 0.0) || !same_bits(bank.phase[k], bank.phase[0])) return false;
  }
  return true;
}

// reader_sum_plain for readers in step: the running sum starts at +0, so
// adding a zero never changes it, and it takes the shared leading difference
// once per reader, in the same order.
double reader_sum_in_step(const AperiodicBank& bank, double pos, double far, const SplineView& block) {
  const double phase = bank.phase[0];
  const double leading = spline_eval(block, pos + phase) - spline_eval(block, far + phase);
  double acc = 0.0;
  for (int k = 0; k < GRAIN_COUNT; ++k) acc = acc + leading;
  return acc;
}

// The same sum with four readers side by side: each lane computes its
// reader's two terms as reader_sum_plain does (read through eval, a
// spline_eval_lanes), then the terms are added in reader order.
template <typename Eval>
inline __attribute__((always_inline)) double reader_sum_lanes(const AperiodicBank& bank, double pos,
                                                              double far, const SplineView& block, Eval eval) {
  double trailing_terms[GRAIN_COUNT];
  double leading_terms[GRAIN_COUNT];
  for (int g = 0; g < GRAIN_COUNT; g += 4) {
    const Lanes phase = load_lanes(bank.phase.data() + g);
    const Lanes period = load_lanes(GRAIN_PERIODS.data() + g);
    const Lanes behind = phase - period;
    Lanes near_behind, far_behind, near_ahead, far_ahead;
    eval(block, pos + behind, near_behind);
    eval(block, far + behind, far_behind);
    eval(block, pos + phase, near_ahead);
    eval(block, far + phase, far_ahead);
    const Lanes trailing = near_behind - far_behind;
    const Lanes leading = near_ahead - far_ahead;
    const Lanes fade = load_lanes(bank.fade.data() + g);
    const Lanes trailing_term = trailing * fade;
    const Lanes leading_term = (1.0 - fade) * leading;
    for (int q = 0; q < 4; ++q) {
      trailing_terms[g + q] = trailing_term[q];
      leading_terms[g + q] = leading_term[q];
    }
  }
  double acc = 0.0;
  for (int k = 0; k < GRAIN_COUNT; ++k) acc = acc + trailing_terms[k] + leading_terms[k];
  return acc;
}

// The block reads of each instruction set, the value handed back through a
// reference so that no vector crosses a call of the default set. The AVX2
// one is not forced inline (a function of the default set cannot take it
// in); reader_sum_avx2 inlines it with everything else it calls.
struct GenericEval {
  __attribute__((always_inline)) void operator()(const SplineView& block, const Lanes& x, Lanes& value) const {
    value = spline_eval_lanes(block, x);
  }
};

struct Avx2Eval {
  __attribute__((target("avx2"))) void operator()(const SplineView& block, const Lanes& x, Lanes& value) const {
    value = spline_eval_lanes_avx2(block, x);
  }
};

double reader_sum_sse2(const AperiodicBank& bank, double pos, double far, const SplineView& block) {
  return reader_sum_lanes(bank, pos, far, block, GenericEval{});
}

__attribute__((target("avx2"), flatten)) double reader_sum_avx2(const AperiodicBank& bank, double pos,
                                                                 double far, const SplineView& block) {
  return reader_sum_lanes(bank, pos, far, block, Avx2Eval{});
}

}  // namespace

namespace {

// Every reader moved on by inc, one after the other.
void advance_readers_plain(AperiodicBank& bank, double inc) {
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    bank.phase[k] = wrap_grain_phase(bank.phase[k] + inc, GRAIN_PERIODS[k]);
  }
}

constexpr bool all_periods_positive() {
  for (double period : GRAIN_PERIODS) {
    if (!(period > 0.0)) return false;
  }
  return true;
}
// The lanes leave out wrap_grain_phase's test of the period.
static_assert(all_periods_positive());

// The same move with the readers side by side, a Vec (Mask) holding the
// phases (comparisons) of two or four readers, any(masks) telling whether a
// lane of any group is set. Each lane adds inc and wraps as wrap_grain_phase
// does: each loop runs until no lane needs it, and a lane whose condition is
// false keeps its value, so each lane ends with the scalar result (a NaN lane
// fails every comparison and stays as it is). A lane more than 64 periods out
// would need fmod: then nothing is stored and false comes back, for the plain
// code to move the whole bank. So does a NaN increment: added to a NaN phase,
// it is the operand order the compiler picks that decides which of the two
// NaNs comes out.
template <typename Vec, typename Mask, typename Any>
inline __attribute__((always_inline)) bool advance_readers_lanes(AperiodicBank& bank, double inc, Any any) {
  constexpr int width = sizeof(Vec) / sizeof(double);
  constexpr int groups = GRAIN_COUNT / width;
  static_assert(groups * width == GRAIN_COUNT);
  if (std::isnan(inc)) return false;
  Vec period[groups], phase[groups];
  Mask outside[groups];
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    std::memcpy(&period[g], GRAIN_PERIODS.data() + g * width, sizeof(Vec));
    std::memcpy(&phase[g], bank.phase.data() + g * width, sizeof(Vec));
    phase[g] = phase[g] + inc;
    outside[g] = (phase[g] > 64.0 * period[g]) | (phase[g] < -64.0 * period[g]);
  }
  if (any(outside)) return false;
  for (;;) {
    Mask low[groups];
#pragma GCC unroll 4
    for (int g = 0; g < groups; ++g) low[g] = phase[g] < 0.0;
    if (!any(low)) break;
#pragma GCC unroll 4
    for (int g = 0; g < groups; ++g) phase[g] = low[g] ? phase[g] + period[g] : phase[g];
  }
  for (;;) {
    Mask high[groups];
#pragma GCC unroll 4
    for (int g = 0; g < groups; ++g) high[g] = phase[g] > period[g];
    if (!any(high)) break;
#pragma GCC unroll 4
    for (int g = 0; g < groups; ++g) phase[g] = high[g] ? phase[g] - period[g] : phase[g];
  }
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) std::memcpy(bank.phase.data() + g * width, &phase[g], sizeof(Vec));
  return true;
}

// Two readers to an SSE2 register (vectors of four would be split into
// single lanes for the comparisons), four to an AVX2 one; whether any lane
// of a mask is set, in each instruction set (the AVX2 one not forced inline,
// as Avx2Eval).
typedef double PairLanes __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

struct Sse2Any {
  __attribute__((always_inline)) bool operator()(const PairMask (&mask)[4]) const {
    const PairMask some = (mask[0] | mask[1]) | (mask[2] | mask[3]);
    return (some[0] | some[1]) != 0;
  }
};

struct Avx2Any {
  __attribute__((target("avx2"))) bool operator()(const LaneMask (&mask)[2]) const {
    return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask[0] | mask[1])) != 0;
  }
};

bool advance_readers_sse2(AperiodicBank& bank, double inc) {
  return advance_readers_lanes<PairLanes, PairMask>(bank, inc, Sse2Any{});
}

__attribute__((target("avx2"), flatten)) bool advance_readers_avx2(AperiodicBank& bank, double inc) {
  return advance_readers_lanes<Lanes, LaneMask>(bank, inc, Avx2Any{});
}

}  // namespace

void advance_aperiodic_readers(AperiodicBank& bank, const RenderParams& params, double adv) {
  const double inc = bank.gen_factor * params.rate_ratio - adv;
  if (bank.level == SimdLevel::avx2) {
    if (advance_readers_avx2(bank, inc)) return;
  } else if (bank.level == SimdLevel::sse2) {
    if (advance_readers_sse2(bank, inc)) return;
  }
  advance_readers_plain(bank, inc);
}

double aperiodic_step(AperiodicBank& bank, const RenderParams& params, int n, double pos,
                      double adv, double lag, const SplineView& block) {
  advance_aperiodic_readers(bank, params, adv);
  update_fades(bank);
  const double far = pos + lag;
  double acc;
  if (readers_in_step(bank)) {
    acc = reader_sum_in_step(bank, pos, far, block);
  } else if (bank.level == SimdLevel::plain || block.size != BLOCK_LENGTH) {
    acc = reader_sum_plain(bank, pos, far, block);
  } else if (bank.level == SimdLevel::avx2) {
    acc = reader_sum_avx2(bank, pos, far, block);
  } else {
    acc = reader_sum_sse2(bank, pos, far, block);
  }
  return acc * READER_SCALE * aperiodic_envelope(n, params);
}

}  // namespace quillet
