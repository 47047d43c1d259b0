#include "synth/aperiodic.h"

#include <cmath>

#include "core/constants.h"
#include "core/flags.h"

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

double aperiodic_step(AperiodicBank& bank, const RenderParams& params, int n, double pos,
                      double adv, double lag, const SplineBlock& block) {
  const double inc = bank.gen_factor * params.rate_ratio - adv;
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    bank.phase[k] = wrap_grain_phase(bank.phase[k] + inc, GRAIN_PERIODS[k]);
  }
  const double far = pos + lag;
  double acc = 0.0;
  for (int k = 0; k < GRAIN_COUNT; ++k) {
    const double phase = bank.phase[k];
    const double period = GRAIN_PERIODS[k];
    const double behind = phase - period;
    const double trailing = spline_eval(block, pos + behind) - spline_eval(block, far + behind);
    const double leading = spline_eval(block, pos + phase) - spline_eval(block, far + phase);
    const double fade = 0.5 - 0.5 * std::cos(PI * phase / period);
    acc = acc + trailing * fade + (1.0 - fade) * leading;
  }
  return acc * READER_SCALE * aperiodic_envelope(n, params);
}

}  // namespace quillet
