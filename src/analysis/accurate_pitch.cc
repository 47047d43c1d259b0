#include "analysis/accurate_pitch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

#include "analysis/period_candidates.h"
#include "analysis/period_signal.h"
#include "analysis/pitch_passes.h"
#include "analysis/pitch_path.h"
#include "core/parallel.h"

namespace quillet {

namespace {

// The lags searched reach a little beyond the 50 .. 1500 Hz that a voice
// may have, so that a vibrato around either end stays inside.
constexpr double kLowestHz = 44.0;
constexpr double kHighestHz = 1600.0;
// The difference window: 40 ms, long enough to average breath noise over
// two periods of the lowest voice.
constexpr double kSearchWindowSeconds = 0.04;
constexpr double kRefineWindowSeconds = 0.02;
constexpr double kRefinePeriods = 3.0;
constexpr double kRefineLagSeconds = 0.008;  // the least lag a short period is refined at
// How fast a pitch may move, cents per second: 100 cents per 256 frames at
// 44.1 kHz, some 17 octaves a second, far beyond any glide or vibrato, yet
// too slow to reach a fifth or an octave away within two steps.
constexpr double kSlopeCentsPerSecond = 100.0 * 44100.0 / 256.0;
constexpr double kCentsPerState = 1200.0 / STATES_PER_OCTAVE;
// A decoded state takes the frame's candidate within this many states of it.
constexpr double kCandidateReachStates = 1.5;

// The period search of one sound: the signal at the search rate, how its
// frames map to input frames, the window and lags.
struct PeriodSearch {
  PeriodSignal signal;
  int up = 1;      // search frames per input frame, for a low-rate sound
  int factor = 1;  // input frames per search frame, for a high-rate sound
  int window = 0;
  LagSpan span;
  std::vector<double> weights = threshold_weights();
};

PeriodSearch period_search(const PeriodSignal& full) {
  PeriodSearch search;
  const int rate_hz = full.rate > 0 ? static_cast<int>(full.rate) : 1;
  search.up = upsampling_factor(rate_hz);
  search.factor = decimation_factor(rate_hz);
  search.signal = search.up > 1 ? upsample(full, search.up) : decimate(full, search.factor);
  const double rate = search.signal.rate;
  search.window = std::max(4, static_cast<int>(std::lround(rate * kSearchWindowSeconds)));
  search.span.min_lag = std::max(2, static_cast<int>(std::floor(rate / kHighestHz)));
  search.span.max_lag = std::max(search.span.min_lag + 2, static_cast<int>(std::ceil(rate / kLowestHz)));
  return search;
}

// Frame of the searched signal that step i stands for: input frame 256 i.
double step_centre(const PeriodSearch& search, int step) {
  return static_cast<double>(step) * BLOCK_STEP * search.up / search.factor;
}

std::vector<PitchCandidate> step_candidates(const PeriodSearch& search, int step,
                                            std::vector<double>& cmnd) {
  std::vector<PitchCandidate> out;
  if (!normalised_difference(search.signal, step_centre(search, step), search.window,
                             search.span.max_lag, cmnd)) {
    return out;
  }
  for (const PeriodCandidate& c : threshold_candidates(cmnd, search.span, search.weights)) {
    if (c.period > 0.0) out.push_back(PitchCandidate{search.signal.rate / c.period, c.probability});
  }
  return out;
}

int jump_states(int sample_rate) {
  const double step_seconds = static_cast<double>(BLOCK_STEP) / sample_rate;
  const double states = kSlopeCentsPerSecond * step_seconds / kCentsPerState;
  return std::clamp(static_cast<int>(std::ceil(states)), 3, PITCH_STATES - 1);
}

// The candidate of a step nearest to state, when one lies within reach.
const PitchCandidate* candidate_near(const std::vector<PitchCandidate>& candidates, int state) {
  const PitchCandidate* best = nullptr;
  double distance = kCandidateReachStates;
  for (const PitchCandidate& c : candidates) {
    const double d = std::fabs(state_position(c.hz) - state);
    if (d <= distance) {
      distance = d;
      best = &c;
    }
  }
  return best;
}

// The frequency of a voiced step: its candidate at the decoded state (or the
// state's own pitch) refined on the finer of the input and the searched
// signal, or for a pitch of 250 Hz and more over whole periods of the
// searched signal.
double voiced_frequency(const PeriodSignal& full, const PeriodSearch& search, int step,
                        const std::vector<PitchCandidate>& candidates, int state) {
  const PitchCandidate* near = candidate_near(candidates, state);
  const double hz = near ? near->hz : state_hz(state);
  const double spread = std::exp2(kCandidateReachStates * kCentsPerState / 1200.0) - 1.0;
  // A short period is measured over as many whole periods as fit in
  // kRefineLagSeconds, where the sound's noise, ringing in its formants, has
  // died away from one period to the next; on the searched signal, where
  // that lag spans enough frames.
  const int periods = std::max(1, static_cast<int>(kRefineLagSeconds * hz));
  const bool whole_periods = periods > 1;
  const PeriodSignal& fine = whole_periods || search.up > 1 ? search.signal : full;
  const double period = fine.rate / hz;
  int reach = whole_periods ? periods / 2 + 2 : search.factor + 1;
  if (!near) reach = std::max(reach, static_cast<int>(std::ceil(periods * period * spread)) + 1);
  const int window = static_cast<int>(
      std::lround(std::max(kRefinePeriods * period, kRefineWindowSeconds * fine.rate)));
  const double centre = whole_periods ? step_centre(search, step)
                                      : static_cast<double>(step) * BLOCK_STEP * search.up;
  const double refined = refine_period(fine, centre, window, periods * period, reach);
  return refined > 0.0 ? fine.rate * periods / refined : hz;
}

// Runs job(first, end) on consecutive parts of the steps 0 .. count - 1, one
// part per thread. Each step is worked out alone, so the parts never change
// a number. A part whose thread the system cannot start is done by the
// calling thread; what a part throws on its thread is thrown again here.
template <typename Job>
void in_parts(int count, int threads, const Job& job) {
  threads = std::max(1, std::min(threads, count / 32));
  const auto part_start = [count, threads](int t) {
    return static_cast<int>(static_cast<long>(count) * t / threads);
  };
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
  std::vector<HelperThread> helpers(static_cast<std::size_t>(threads));
  for (int t = 1; t < threads; ++t) {
    const auto part = [&job, &part_start, t] { job(part_start(t), part_start(t + 1)); };
    const auto kept_part = [part, &failures, t] {
      try {
        part();
      } catch (...) {
        failures[static_cast<std::size_t>(t)] = std::current_exception();
      }
    };
    if (!start_thread(helpers[static_cast<std::size_t>(t)], kept_part)) part();
  }
  job(0, part_start(1));
  helpers.clear();  // joined
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace

FrequencyList analyse_pitch_accurate(const SampleStore& samples, int frame_count, int sample_rate,
                                     int channels, const FrequencyGrid& grid) {
  return analyse_pitch_accurate(samples, frame_count, sample_rate, channels, grid, worker_threads());
}

FrequencyList analyse_pitch_accurate(const SampleStore& samples, int frame_count, int sample_rate,
                                     int channels, const FrequencyGrid& grid, int threads) {
  frame_count = std::max(frame_count, 0);
  const int nsteps = frame_count / BLOCK_STEP;
  FrequencyList list;
  list.length = nsteps + 1;
  list.freq.assign(static_cast<size_t>(nsteps) + 2, UNVOICED_HZ);
  list.amp.assign(static_cast<size_t>(nsteps) + 2, 0.0);
  const SoundView sound{samples, channels, sample_rate, nsteps, grid};
  step_amplitudes(sound, list.amp.data());

  if (sample_rate > 0) {
    const PeriodSignal full = channel_zero(samples, frame_count, channels, sample_rate);
    const PeriodSearch search = period_search(full);
    std::vector<std::vector<PitchCandidate>> candidates(static_cast<size_t>(nsteps) + 1);
    in_parts(nsteps + 1, threads, [&](int first, int end) {
      std::vector<double> cmnd;
      for (int i = first; i < end; ++i) candidates[i] = step_candidates(search, i, cmnd);
    });
    const std::vector<PathStep> path = decode_pitch_path(candidates, jump_states(sample_rate));
    in_parts(nsteps + 1, threads, [&](int first, int end) {
      for (int i = first; i < end; ++i) {
        if (path[i].voiced) list.freq[i] = voiced_frequency(full, search, i, candidates[i], path[i].state);
      }
    });
  }
  list.freq_avg = continuity_average(list.freq.data(), list.amp.data(), nsteps);
  list.freq[nsteps + 1] = list.freq[nsteps];
  list.amp[nsteps + 1] = list.amp[nsteps];
  return list;
}

}  // namespace quillet
