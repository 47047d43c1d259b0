#include "synth/aperiodic.h"

#include <bit>
#include <cmath>
#include <cstdint>

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
double reader_sum_plain(const AperiodicBank& bank, double pos, double far, const SplineBlock& block) {
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

// The same sum with four readers side by side: each lane computes its
// reader's two terms as reader_sum_plain does (read through eval, a
// spline_eval_lanes), then the terms are added in reader order.
template <typename Eval>
inline __attribute__((always_inline)) double reader_sum_lanes(const AperiodicBank& bank, double pos,
                                                              double far, const SplineBlock& block, Eval eval) {
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
  __attribute__((always_inline)) void operator()(const SplineBlock& block, const Lanes& x, Lanes& value) const {
    value = spline_eval_lanes(block, x);
  }
};

struct Avx2Eval {
  __attribute__((target("avx2"))) void operator()(const SplineBlock& block, const Lanes& x, Lanes& value) const {
    value = spline_eval_lanes_avx2(block, x);
  }
};

double reader_sum_sse2(const AperiodicBank& bank, double pos, double far, const SplineBlock& block) {
  return reader_sum_lanes(bank, pos, far, block, GenericEval{});
}

__attribute__((target("avx2"), flatten)) double reader_sum_avx2(const AperiodicBank& bank, double pos,
                                                                 double far, const SplineBlock& block) {
  return reader_sum_lanes(bank, pos, far, block, Avx2Eval{});
}

}  // namespace

void advance_aperiodic_readers(AperiodicBank& bank, const RenderParams& params, double adv) {
  const double inc = bank.gen_factor * params.rate_ratio - adv;
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    bank.phase[k] = wrap_grain_phase(bank.phase[k] + inc, GRAIN_PERIODS[k]);
  }
}

double aperiodic_step(AperiodicBank& bank, const RenderParams& params, int n, double pos,
                      double adv, double lag, const SplineBlock& block) {
  advance_aperiodic_readers(bank, params, adv);
  update_fades(bank);
  const double far = pos + lag;
  double acc;
  if (bank.level == SimdLevel::plain || block.pieces.size() != static_cast<std::size_t>(BLOCK_LENGTH)) {
    acc = reader_sum_plain(bank, pos, far, block);
  } else if (bank.level == SimdLevel::avx2) {
    acc = reader_sum_avx2(bank, pos, far, block);
  } else {
    acc = reader_sum_sse2(bank, pos, far, block);
  }
  return acc * READER_SCALE * aperiodic_envelope(n, params);
}

}  // namespace quillet
