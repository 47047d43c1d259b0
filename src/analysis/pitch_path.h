// The pitch path of a whole sound: a hidden Markov model whose states are
// pitches a fifth of a semitone apart, each with an unvoiced twin that
// remembers the pitch. A step may move a few states (more the longer the
// step lasts) and seldom changes its voicing. The frames' pitch candidates
// give the voiced states their likelihood; what the candidates leave over
// gives the unvoiced ones theirs. Viterbi decoding picks the likeliest path.
#pragma once

#include <vector>

namespace quillet {

inline constexpr double STATE_BASE_HZ = 43.0;
inline constexpr int STATES_PER_OCTAVE = 60;
inline constexpr int PITCH_STATES = 314;               // 43 Hz up to about 1599 Hz
inline constexpr double VOICING_STAY = 0.99;           // a step keeps its voicing
inline constexpr double UNVOICED_LIKELIHOOD = 0.01;    // per unit of probability left over
inline constexpr double VOICED_FLOOR = 1e-4;           // a voiced state without candidates
inline constexpr double UNVOICED_FLOOR = 1e-6;         // an unvoiced state when nothing is left over

struct PitchCandidate {
  double hz = 0.0;
  double probability = 0.0;
};

struct PathStep {
  bool voiced = false;
  int state = 0;  // the pitch state, voiced or not
};

// The fractional state of a frequency: STATES_PER_OCTAVE * log2(hz / STATE_BASE_HZ).
double state_position(double hz);

// The frequency at the centre of state.
double state_hz(double state);

// The likeliest path for frames[t], the candidates of step t; a step may move
// up to jump_states states.
std::vector<PathStep> decode_pitch_path(const std::vector<std::vector<PitchCandidate>>& frames,
                                        int jump_states);

}  // namespace quillet
