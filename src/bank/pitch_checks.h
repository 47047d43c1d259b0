// Signs that a frequency list is wrong: the list jumping by about an octave
// and back within a voiced stretch, a list far from another analysis of the
// same sound, and a list with hardly any voiced step.
#pragma once

#include <vector>

#include "core/frequency_list.h"

namespace quillet {

// A step is voiced when it holds a finite frequency above 0 other than the
// unvoiced value.
bool step_voiced(double frequency);

// Signed distance in cents from reference to frequency.
double cents_apart(double frequency, double reference);

// Steps first .. last (inclusive) lie about an octave (900 to 1500 cents)
// away from the voiced steps on both sides of them.
struct OctaveExcursion {
  int first = 0;
  int last = 0;
};

inline constexpr int MAX_EXCURSION_STEPS = 40;  // about 0.23 s at 44.1 kHz

// Excursions of at most MAX_EXCURSION_STEPS steps that leave by an octave
// jump and come back by the opposite jump without leaving the voiced stretch.
std::vector<OctaveExcursion> octave_excursions(const FrequencyList& list);

// Share (0 .. 1) of the steps voiced in both lists where they are more than
// cents apart; 0 when no step is voiced in both.
double disagreement_share(const FrequencyList& list, const FrequencyList& other, double cents);

// Share (0 .. 1) of the listed steps that are voiced.
double voiced_share(const FrequencyList& list);

}  // namespace quillet
