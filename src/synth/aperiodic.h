// The aperiodic part of the rendered note: a bank of eight grain readers that
// read the comb difference S(x) - S(x + L) of the input at its normal speed,
// shaped by an envelope that keeps it at full level over the fixed head.
#pragma once

#include <array>
#include <string>

#include "core/render_params.h"
#include "core/simd.h"
#include "synth/spline.h"

namespace quillet {

inline constexpr int GRAIN_COUNT = 8;

// Grain lengths in input frames, 44100 / (55 * 2^(k/8)), an eighth of an
// octave apart.
inline constexpr std::array<double, GRAIN_COUNT> GRAIN_PERIODS = {
    801.818181818182, 735.270514642291, 674.24603477616,  618.286340004456,
    566.971073642304, 519.914766910086, 476.763943378363, 437.194463732162};

// State of the grain readers, carried from one output sample to the next.
struct AperiodicBank {
  std::array<double, GRAIN_COUNT> phase{};  // leading head ahead of the input position, frames
  double gen_factor = 1.0;                  // reading speed factor, from flag g
  SimdLevel level = SimdLevel::plain;       // how the readers are read: one by one, or side by side
  // Each reader's cross-fade weight and the phase it was worked out at; a
  // reader whose phase keeps its bits (the readers stand still at normal
  // speed) keeps its weight instead of working it out again.
  std::array<double, GRAIN_COUNT> fade{};
  std::array<double, GRAIN_COUNT> fade_phase{};
  bool fades_known = false;                 // false: every weight is worked out at the next step
};

// Speed factor of the readers: 10^(-g/200) with g after the first "g" of
// flags, clamped to [-100, 100]; 1.0 without a "g". A "nan" after the
// letter passes the clamp and gives NaN, which the readers carry without harm.
double aperiodic_gen_factor(const std::string& flags);

// A bank with every phase at 0, the speed factor of flags and this process's
// vector level.
AperiodicBank make_aperiodic_bank(const std::string& flags);

// Level of the aperiodic part at output sample n: full over a fixed head
// longer than 60 ms up to 60 ms before its end, falling to aperiodic_floor
// within 20 ms; aperiodic_floor everywhere else.
double aperiodic_envelope(int n, const RenderParams& params);

// Brings phase into [0, period]: first up from below 0, then down from above
// the period. Values more than 64 periods out are first reduced with fmod.
double wrap_grain_phase(double phase, double period);

// Moves every reader on by one output sample at input advance adv, as
// aperiodic_step does before it reads: side by side in vector lanes at the
// bank's level, one by one when a phase lands more than 64 periods out or the
// increment is NaN, with the bits of the plain one-by-one move at every level.
void advance_aperiodic_readers(AperiodicBank& bank, const RenderParams& params, double adv);

// One output sample of the aperiodic part at output index n, input position
// pos, input advance adv and lag (frames); moves the readers on. The readers
// are read side by side in vector lanes at the bank's level (each lane in the
// plain order, the eight shares summed in reader order), giving the same
// number at every level.
double aperiodic_step(AperiodicBank& bank, const RenderParams& params, int n, double pos,
                      double adv, double lag, const SplineView& block);

}  // namespace quillet
