#include "analysis/pitch_path.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quillet {

namespace {

constexpr double kNever = -std::numeric_limits<double>::infinity();

// Log-likelihoods of one step's voiced states and of its unvoiced states
// (which share one value).
struct StepLikelihood {
  std::vector<double> voiced;
  double unvoiced = 0.0;
};

StepLikelihood step_likelihood(const std::vector<PitchCandidate>& candidates) {
  std::vector<double> mass(PITCH_STATES, 0.0);
  double total = 0.0;
  for (const PitchCandidate& candidate : candidates) {
    if (!(candidate.hz > 0.0) || !(candidate.probability > 0.0)) continue;
    total += candidate.probability;
    const double position = state_position(candidate.hz);
    const double below = std::floor(position);
    const double upper_share = position - below;
    const int low = static_cast<int>(below);
    if (low >= 0 && low < PITCH_STATES) mass[static_cast<size_t>(low)] += candidate.probability * (1.0 - upper_share);
    if (low + 1 >= 0 && low + 1 < PITCH_STATES) mass[static_cast<size_t>(low + 1)] += candidate.probability * upper_share;
  }
  StepLikelihood likelihood;
  likelihood.voiced.resize(PITCH_STATES);
  for (int s = 0; s < PITCH_STATES; ++s) likelihood.voiced[s] = std::log(mass[s] + VOICED_FLOOR);
  const double left_over = std::max(0.0, 1.0 - total);
  likelihood.unvoiced = std::log(left_over * UNVOICED_LIKELIHOOD + UNVOICED_FLOOR);
  return likelihood;
}

// Log weights of a move by 0 .. jump states: a triangle over -jump .. jump
// with unit sum.
std::vector<double> move_weights(int jump) {
  std::vector<double> weights(static_cast<size_t>(jump) + 1);
  const double norm = static_cast<double>(jump + 1) * (jump + 1);
  for (int d = 0; d <= jump; ++d) weights[static_cast<size_t>(d)] = std::log((jump + 1 - d) / norm);
  return weights;
}

// Scores of the best paths into every state of one step; voiced states
// first, unvoiced ones after them.
using Scores = std::vector<double>;

// For each target state, the best predecessor among the states within jump
// of it, where source[s] is the best way to arrive at pitch s with the
// target's voicing (from either voicing) and from[s] the state it came from.
void best_moves(const std::vector<double>& source, const std::vector<int>& from,
                const std::vector<double>& moves, int jump, double* score, uint16_t* back) {
  for (int s = 0; s < PITCH_STATES; ++s) {
    double best = kNever;
    int best_from = from[static_cast<size_t>(s)];
    const int lo = std::max(0, s - jump);
    const int hi = std::min(PITCH_STATES - 1, s + jump);
    for (int p = lo; p <= hi; ++p) {
      const double value = source[static_cast<size_t>(p)] + moves[static_cast<size_t>(std::abs(s - p))];
      if (value > best) {
        best = value;
        best_from = from[static_cast<size_t>(p)];
      }
    }
    score[s] = best;
    back[s] = static_cast<uint16_t>(best_from);
  }
}

// The best arrival at each pitch with voicing `voiced` from the previous
// scores: staying in that voicing or changing it.
void arrivals(const Scores& previous, bool voiced, std::vector<double>& source,
              std::vector<int>& from) {
  const double stay = std::log(VOICING_STAY);
  const double change = std::log(1.0 - VOICING_STAY);
  for (int s = 0; s < PITCH_STATES; ++s) {
    const int same = voiced ? s : PITCH_STATES + s;
    const int other = voiced ? PITCH_STATES + s : s;
    const double keep = previous[static_cast<size_t>(same)] + stay;
    const double swap = previous[static_cast<size_t>(other)] + change;
    source[static_cast<size_t>(s)] = keep >= swap ? keep : swap;
    from[static_cast<size_t>(s)] = keep >= swap ? same : other;
  }
}

void add_likelihood(Scores& scores, const StepLikelihood& likelihood) {
  for (int s = 0; s < PITCH_STATES; ++s) {
    scores[static_cast<size_t>(s)] += likelihood.voiced[static_cast<size_t>(s)];
    scores[static_cast<size_t>(PITCH_STATES + s)] += likelihood.unvoiced;
  }
}

}  // namespace

double state_position(double hz) { return STATES_PER_OCTAVE * std::log2(hz / STATE_BASE_HZ); }

double state_hz(double state) { return STATE_BASE_HZ * std::exp2(state / STATES_PER_OCTAVE); }

std::vector<PathStep> decode_pitch_path(const std::vector<std::vector<PitchCandidate>>& frames,
                                        int jump_states) {
  const size_t steps = frames.size();
  std::vector<PathStep> path(steps);
  if (steps == 0) return path;
  const int jump = std::clamp(jump_states, 0, PITCH_STATES - 1);
  const std::vector<double> moves = move_weights(jump);
  const size_t states = 2 * static_cast<size_t>(PITCH_STATES);
  std::vector<uint16_t> back(steps * states, 0);
  Scores scores(states, std::log(1.0 / static_cast<double>(states)));
  add_likelihood(scores, step_likelihood(frames[0]));
  Scores next(states);
  std::vector<double> source(PITCH_STATES);
  std::vector<int> from(PITCH_STATES);
  for (size_t t = 1; t < steps; ++t) {
    uint16_t* step_back = back.data() + t * states;
    arrivals(scores, true, source, from);
    best_moves(source, from, moves, jump, next.data(), step_back);
    arrivals(scores, false, source, from);
    best_moves(source, from, moves, jump, next.data() + PITCH_STATES, step_back + PITCH_STATES);
    add_likelihood(next, step_likelihood(frames[t]));
    // Keep the scores near zero so long sounds lose no precision.
    const double top = *std::max_element(next.begin(), next.end());
    for (double& value : next) value -= top;
    std::swap(scores, next);
  }
  size_t state = static_cast<size_t>(std::max_element(scores.begin(), scores.end()) - scores.begin());
  for (size_t t = steps; t-- > 0;) {
    path[t].voiced = state < static_cast<size_t>(PITCH_STATES);
    path[t].state = static_cast<int>(state % PITCH_STATES);
    if (t > 0) state = back[t * states + state];
  }
  return path;
}

}  // namespace quillet
