#include "analysis/pitch_passes.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "core/frequency_list.h"
#include "core/parallel.h"
#include "analysis/pitch_analysis.h"
#include "analysis/pitch_estimators.h"
#include "analysis/period_refinement.h"
#include "synth/spline.h"

namespace quillet {

namespace {

bool in_range(const GridRange& range, int index) { return range.lo <= index && index <= range.hi; }

// Origin of the block that the first two passes measure for step i.
int measure_origin(int step) { return step * BLOCK_STEP - BLOCK_LEAD; }

// Threads that share independent jobs: the machine's cores, at most four, at
// least one, and no more than there are jobs.
int thread_count(int jobs) {
  const unsigned cores = std::thread::hardware_concurrency();
  const int usable = cores == 0 ? 1 : static_cast<int>(std::min(cores, 4u));
  return std::max(1, std::min(usable, jobs));
}

struct NoScratch {};

// Runs job(index, scratch) for index = 0 .. count - 1, shared out among the
// threads of thread_count: the calling thread with own, each helper thread
// with a Scratch of its own. The jobs must be independent of one another;
// they are all done when this returns. Helpers the system cannot start, or
// give a scratch, leave their share to the threads that run; what a job
// throws on a helper is thrown again here.
template <typename Scratch, typename Job>
void run_jobs(int count, Scratch& own, const Job& job) {
  std::atomic<int> next{0};
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto work = [&](Scratch& scratch) {
    for (int index = next++; index < count; index = next++) job(index, scratch);
  };
  const int helper_count = thread_count(count) - 1;
  std::vector<HelperThread> helpers(static_cast<std::size_t>(std::max(helper_count, 0)));
  for (HelperThread& helper : helpers) {
    start_thread(helper, [&] {
      std::optional<Scratch> scratch;
      try {
        scratch.emplace();
      } catch (const std::bad_alloc&) {
        return;
      }
      try {
        work(*scratch);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (!failure) failure = std::current_exception();
      }
    });
  }
  work(own);
  helpers.clear();  // joined
  if (failure) std::rethrow_exception(failure);
}

// Marks the grid indices that a spectrum over range reads: lo .. hi - 1.
void want_range(std::vector<char>& wanted, const GridRange& range) {
  for (int k = std::max(range.lo, 0); k < std::min(range.hi, GRID_SIZE); ++k) wanted[k] = 1;
}

// Makes the grid factors of the wanted indices that are not made yet.
void make_wanted_factors(const SoundView& sound, GridFactors& factors,
                         const std::vector<char>& wanted) {
  key_grid_factors(factors, BLOCK_LENGTH, sound.sample_rate);
  std::vector<int> missing;
  for (int k = 0; k < GRID_SIZE; ++k) {
    if (wanted[k] && !factors.made[k]) missing.push_back(k);
  }
  NoScratch none;
  run_jobs(static_cast<int>(missing.size()), none, [&](int index, NoScratch&) {
    const int k = missing[index];
    make_grid_factors(factors.values[k], sound.grid, k, BLOCK_LENGTH, sound.sample_rate);
  });
  for (int k : missing) factors.made[k] = 1;
}

void make_range_factors(const SoundView& sound, GridFactors& factors, const GridRange& range) {
  std::vector<char> wanted(GRID_SIZE, 0);
  want_range(wanted, range);
  make_wanted_factors(sound, factors, wanted);
}

int range_width(const GridRange& range) { return range.hi - range.lo; }

// Ranges narrower than this are not worth sharing with a second thread.
constexpr int MIN_SPLIT_WIDTH = 16;

// The grid spectrum of the block in scratch.y over range.lo .. range.hi - 1
// into scratch.spectrum; returns its largest value. With split, the lower
// and upper halves of the indices are measured side by side (each index's
// value is worked out alone, and the largest value of the whole is the
// larger of the halves' largest).
double block_spectrum(const SoundView& sound, const GridFactors& factors, StepScratch& scratch,
                      const GridRange& range, SplitHelper* split) {
  double maximum = 0.0;
  if (split == nullptr || range_width(range) < MIN_SPLIT_WIDTH) {
    grid_spectrum_from_factors(scratch.spectrum.data(), scratch.y.data(), BLOCK_LENGTH, sound.grid,
                               factors, range.lo, range.hi, maximum);
    return maximum;
  }
  const int middle = range.lo + range_width(range) / 2;
  double halves[2] = {0.0, 0.0};
  split->run([&](int half) {
    double largest = 0.0;
    grid_spectrum_from_factors(scratch.spectrum.data(), scratch.y.data(), BLOCK_LENGTH, sound.grid, factors,
                               half == 0 ? range.lo : middle, half == 0 ? middle : range.hi, largest);
    halves[half] = largest;
  });
  return std::max(halves[0], halves[1]);
}

// Converts the measuring block of step and returns its first prominent
// spectral peak in range, whose factors are made.
int measure_block(const SoundView& sound, const GridFactors& factors, StepScratch& scratch,
                  int step, const GridRange& range, SplitHelper* split) {
  convert_block(scratch.y.data(), sound.samples, measure_origin(step), BLOCK_LENGTH,
                sound.channels);
  const double maximum = block_spectrum(sound, factors, scratch, range, split);
  return first_spectral_peak(scratch.spectrum.data(), range.lo, range.hi, PEAK_FLOOR * maximum);
}

GridRange hull(const GridRange& a, const GridRange& b) {
  return GridRange{std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

// Grid indices a group may measure beyond the widest range of its members.
constexpr int GROUP_SPARE_WIDTH = 6;

// peaks[e] = the spectral peak of the measuring block of steps[e] in
// ranges[e], for every entry e. Up to four entries of consecutive steps whose
// ranges lie close together are measured as one group from one run of
// samples, over the hull of their ranges (a block's spectrum value at an
// index does not depend on the range it is measured in); each entry's
// maximum and peak are then read over its own range. The groups are shared
// out among the threads.
void measure_steps(const SoundView& sound, PitchWork& work, const std::vector<int>& steps,
                   const std::vector<GridRange>& ranges, std::vector<int>& peaks) {
  constexpr int MOST = 4;
  std::vector<int> starts;
  std::vector<GridRange> hulls;
  int widest = 0;
  for (size_t e = 0; e < steps.size(); ++e) {
    bool joins = false;
    if (!starts.empty()) {
      const size_t start = starts.back();
      const GridRange joined = hull(hulls.back(), ranges[e]);
      const int wider = std::max(widest, range_width(ranges[e]));
      joins = e - start < MOST && steps[e] == steps[start] + static_cast<int>(e - start) &&
              range_width(joined) <= wider + GROUP_SPARE_WIDTH;
      if (joins) {
        hulls.back() = joined;
        widest = wider;
      }
    }
    if (!joins) {
      starts.push_back(static_cast<int>(e));
      hulls.push_back(ranges[e]);
      widest = range_width(ranges[e]);
    }
  }
  starts.push_back(static_cast<int>(steps.size()));
  std::vector<char> wanted(GRID_SIZE, 0);
  for (const GridRange& range : hulls) want_range(wanted, range);
  make_wanted_factors(sound, work.factors, wanted);
  peaks.assign(steps.size(), 0);
  run_jobs(static_cast<int>(hulls.size()), work.scratch, [&](int job, StepScratch& scratch) {
    const int first = starts[job];
    const int count = starts[job + 1] - first;
    convert_block(scratch.run.data(), sound.samples, measure_origin(steps[first]),
                  BLOCK_LENGTH + (count - 1) * BLOCK_STEP, sound.channels);
    if (scratch.spectra.size() < MOST) scratch.spectra.resize(MOST, std::vector<double>(GRID_SIZE));
    double* rows[MOST];
    double hull_maximum[MOST];
    for (int b = 0; b < count; ++b) rows[b] = scratch.spectra[b].data();
    grid_spectra_from_factors(rows, scratch.run.data(), count, BLOCK_STEP, BLOCK_LENGTH, sound.grid,
                              work.factors, hulls[job].lo, hulls[job].hi, hull_maximum);
    for (int b = 0; b < count; ++b) {
      const GridRange& own = ranges[first + b];
      double maximum = 0.0;
      for (int k = std::max(own.lo, 0); k < std::min(own.hi, GRID_SIZE); ++k) {
        if (rows[b][k] > maximum) maximum = rows[b][k];
      }
      peaks[first + b] = first_spectral_peak(rows[b], own.lo, own.hi, PEAK_FLOOR * maximum);
    }
  });
}

// The spectral peak of step's measuring block in range: the one measured
// ahead when it was for this range, else measured now.
int measure_step(const SoundView& sound, PitchWork& work, int step, const GridRange& range) {
  const StepMeasurement& ahead = work.ahead[step];
  if (ahead.peak >= 0 && ahead.lo == range.lo && ahead.hi == range.hi) return ahead.peak;
  make_range_factors(sound, work.factors, range);
  return measure_block(sound, work.factors, work.scratch, step, range, work.split_spectra);
}

void set_step(const SoundView& sound, PitchWork& work, double* freq, int step, int index) {
  work.cand[step] = index;
  freq[step] = sound.grid.freq[index];
}

// The coarse estimate of every step: amp[i] and the coarse fundamental f0[i]
// (0 for none), from the weighted autocorrelation of its measuring block.
void estimate_steps(const SoundView& sound, PitchWork& work, std::vector<double>& f0,
                    double* amp) {
  const std::vector<double> cosine = autocorr_cosine(AUTOCORR_SPAN);
  const int steps = sound.nsteps + 1;
  const int runs = (steps + BATCH_BLOCKS - 1) / BATCH_BLOCKS;
  run_jobs(runs, work.scratch, [&](int run, StepScratch& scratch) {
    const int first = run * BATCH_BLOCKS;
    const int count = std::min(BATCH_BLOCKS, steps - first);
    convert_block(scratch.run.data(), sound.samples, measure_origin(first),
                  BLOCK_LENGTH + (count - 1) * BLOCK_STEP, sound.channels);
    estimate_block_f0_batch(scratch.run.data(), count, BLOCK_STEP, AUTOCORR_SPAN,
                            sound.sample_rate, cosine.data(), f0.data() + first, amp + first);
  });
}

// cand[i] of every step: the spectral peak within 8 grid indices of its
// coarse fundamental; a peak at the lower edge lies outside the search and
// gives 0, as does a step without a coarse fundamental.
void coarse_candidates(const SoundView& sound, PitchWork& work, const std::vector<double>& f0) {
  std::vector<int> voiced;
  std::vector<GridRange> ranges(f0.size());
  std::vector<char> wanted(GRID_SIZE, 0);
  for (int i = 0; i <= sound.nsteps; ++i) {
    work.cand[i] = 0;
    if (!(f0[i] > 0.0)) continue;
    ranges[i] = grid_range_around(nearest_grid_index(sound.grid, f0[i]), COARSE_HALF_RANGE);
    want_range(wanted, ranges[i]);
    voiced.push_back(i);
  }
  make_wanted_factors(sound, work.factors, wanted);
  std::vector<GridRange> voiced_ranges;
  for (const int i : voiced) voiced_ranges.push_back(ranges[i]);
  std::vector<int> peaks;
  measure_steps(sound, work, voiced, voiced_ranges, peaks);
  for (size_t e = 0; e < voiced.size(); ++e) {
    const int i = voiced[e];
    work.cand[i] = peaks[e] == ranges[i].lo ? 0 : peaks[e];
  }
}

// The measurements that the second pass is sure to make first, read off the
// candidates it starts from: the first step of every repair walk (its step is
// out of the global range, the next one in it, and the walk searches around
// the next one) and the global re-estimate of a step out of range between an
// in-range step and an out-of-range one. What these steps hold when the pass
// reaches them is still what they hold now; the measurements that depend on
// the pass's own results are made when it gets there.
void plan_ahead(const SoundView& sound, PitchWork& work, const GridRange& global) {
  work.ahead.assign(static_cast<size_t>(sound.nsteps) + 1, StepMeasurement{});
  for (int i = 0; i <= sound.nsteps; ++i) {
    const int next = work.cand[i + 1];
    if (in_range(global, work.cand[i])) continue;
    GridRange range;
    if (in_range(global, next)) {
      range = grid_range_around(next, REPAIR_HALF_RANGE);
    } else if (i == 0 ? next != 0 : in_range(global, work.cand[i - 1])) {
      range = global;
    } else {
      continue;
    }
    work.ahead[i].lo = range.lo;
    work.ahead[i].hi = range.hi;
  }
}

// Makes the planned measurements, shared out among the threads.
void measure_ahead(const SoundView& sound, PitchWork& work) {
  std::vector<int> planned;
  std::vector<char> wanted(GRID_SIZE, 0);
  for (int i = 0; i <= sound.nsteps; ++i) {
    const StepMeasurement& ahead = work.ahead[i];
    if (ahead.hi == 0) continue;
    want_range(wanted, GridRange{ahead.lo, ahead.hi});
    planned.push_back(i);
  }
  make_wanted_factors(sound, work.factors, wanted);
  std::vector<GridRange> ranges;
  for (const int i : planned) ranges.push_back(GridRange{work.ahead[i].lo, work.ahead[i].hi});
  std::vector<int> peaks;
  measure_steps(sound, work, planned, ranges, peaks);
  for (size_t e = 0; e < planned.size(); ++e) work.ahead[planned[e]].peak = peaks[e];
}

// Re-estimates step i and, while the earlier steps disagree, walks back over
// them, each searched within 30 indices of the step after it.
void repair_walk(const SoundView& sound, PitchWork& work, const GridRange& global, int i,
                 double* freq) {
  GridRange window = global;
  int reference = work.cand[i + 1];
  for (int j = i; j >= 0; --j) {
    if (in_range(window, work.cand[j])) return;
    window = grid_range_around(reference, REPAIR_HALF_RANGE);
    const int peak = measure_step(sound, work, j, window);
    if (peak == window.lo) {
      set_step(sound, work, freq, j, 0);
      return;
    }
    set_step(sound, work, freq, j, peak);
    std::printf("%d/%d \r", j, sound.nsteps);
    reference = peak;
  }
}

// Re-estimates step i over the whole global range.
void remeasure_in_global(const SoundView& sound, PitchWork& work, const GridRange& global, int i,
                         double* freq) {
  const int peak = measure_step(sound, work, i, global);
  set_step(sound, work, freq, i, peak == global.lo ? 0 : peak);
}

// Second-pass decision for step i.
void settle_step(const SoundView& sound, PitchWork& work, const GridRange& global, int i,
                 double* freq) {
  const int cur = work.cand[i];
  const int next = work.cand[i + 1];
  if (in_range(global, cur)) {
    freq[i] = sound.grid.freq[cur];
  } else if (i == 0 ? next == 0 : !in_range(global, work.cand[i - 1]) && !in_range(global, next)) {
    set_step(sound, work, freq, i, 0);
  } else if (in_range(global, next)) {
    repair_walk(sound, work, global, i, freq);
  } else {
    remeasure_in_global(sound, work, global, i, freq);
  }
}

void add_neighbour(double& sum, double& weight_sum, double value, double weight, double freq_avg) {
  sum = sum + weight * (value == UNVOICED_HZ ? freq_avg : value);
  weight_sum = weight_sum + weight;
}

}  // namespace

GridRange grid_range_around(int centre, int half) {
  GridRange range;
  range.lo = centre > half ? centre - half : 1;
  range.hi = centre <= GRID_SIZE - half ? centre + half : GRID_SIZE;
  return range;
}

void add_continuity_weight(ContinuitySums& sums, const double* freq, int i, double amp) {
  const double f = freq[i];
  if (!(UNVOICED_HZ < f && f < VOICED_LIMIT_HZ)) return;
  double w = amp * amp * ENERGY_WEIGHT_SCALE;
  for (int j = 0; j < CONTINUITY_HISTORY; ++j) {
    double agreement;
    if (i > j) {
      const double gap = freq[i - j - 1] - f;
      agreement = f / (f + gap * gap);
    } else {
      agreement = 1.0 / (1.0 + f);
    }
    w = w * agreement;
  }
  sums.sum = sums.sum + f * w;
  sums.weight_sum = sums.weight_sum + w;
}

void coarse_pass(const SoundView& sound, PitchWork& work, double* freq, double* amp) {
  std::vector<double> f0(static_cast<size_t>(sound.nsteps) + 1, 0.0);
  estimate_steps(sound, work, f0, amp);
  coarse_candidates(sound, work, f0);
  for (int i = 0; i <= sound.nsteps; ++i) {
    set_step(sound, work, freq, i, work.cand[i]);
    add_continuity_weight(work.sums, freq, i, amp[i]);
    std::printf("(1/3) %d/%d \r", i, sound.nsteps);
  }
}

GridRange global_range(const SoundView& sound, PitchWork& work) {
  const ContinuitySums& sums = work.sums;
  const int centre =
      sums.weight_sum == 0.0 ? 0 : nearest_grid_index(sound.grid, sums.sum / sums.weight_sum);
  work.sums = ContinuitySums{};
  return grid_range_around(centre, GLOBAL_HALF_RANGE);
}

double consistency_pass(const SoundView& sound, PitchWork& work, const GridRange& global,
                        double* freq, const double* amp) {
  plan_ahead(sound, work, global);
  measure_ahead(sound, work);
  {
    SplitHelper split(thread_count(2));
    work.split_spectra = &split;
    for (int i = 0; i <= sound.nsteps; ++i) {
      settle_step(sound, work, global, i, freq);
      add_continuity_weight(work.sums, freq, i, amp[i]);
      std::printf("(2/3) %d/%d \r", i, sound.nsteps);
    }
    work.split_spectra = nullptr;
  }
  const ContinuitySums& sums = work.sums;
  if (sums.weight_sum == 0.0 || sums.sum == 0.0) return UNVOICED_HZ;
  return sums.sum / sums.weight_sum;
}

void refine_pass(const SoundView& sound, PitchWork& work, double* freq) {
  std::vector<int> voiced;
  for (int i = 0; i <= sound.nsteps; ++i) {
    if (freq[i] != UNVOICED_HZ) voiced.push_back(i);
  }
  // The grid factors are done with; their memory serves the refinement.
  work.factors = GridFactors{};
  std::vector<char> refined(voiced.size(), 0);
  const int pairs = static_cast<int>((voiced.size() + 1) / 2);
  RefineScratch own;
  run_jobs(pairs, own, [&](int pair, RefineScratch& scratch) {
    const std::size_t first = 2 * static_cast<std::size_t>(pair);
    const int second = first + 1 < voiced.size() ? voiced[first + 1] : -1;
    bool fits[2];
    refine_two_steps(sound, scratch, voiced[first], second, freq, fits);
    refined[first] = fits[0];
    if (second >= 0) refined[first + 1] = fits[1];
  });
  for (size_t index = 0; index < voiced.size(); ++index) {
    if (refined[index]) std::printf("(3/3) %d/%d\r", voiced[index], sound.nsteps);
  }
}

void step_amplitudes(const SoundView& sound, double* amp) {
  const std::vector<double> cosine = autocorr_cosine(AUTOCORR_SPAN);
  std::vector<double> block(BLOCK_LENGTH);
  for (int i = 0; i <= sound.nsteps; ++i) {
    convert_block(block.data(), sound.samples, measure_origin(i), BLOCK_LENGTH, sound.channels);
    amp[i] = weighted_block_energy(block.data(), AUTOCORR_SPAN, cosine.data());
  }
}

double continuity_average(const double* freq, const double* amp, int nsteps) {
  ContinuitySums sums;
  for (int i = 0; i <= nsteps; ++i) add_continuity_weight(sums, freq, i, amp[i]);
  if (sums.weight_sum == 0.0 || sums.sum == 0.0) return UNVOICED_HZ;
  return sums.sum / sums.weight_sum;
}

void smooth_low_voice(std::vector<double>& freq, int nsteps, double freq_avg) {
  freq[nsteps + 1] = freq[nsteps];
  const std::vector<double> old = freq;
  for (int i = 0; i <= nsteps + 1; ++i) {
    if (old[i] == UNVOICED_HZ) {
      freq[i] = UNVOICED_HZ;
      continue;
    }
    double sum = old[i];
    double weight_sum = 1.0;
    if (i >= 1) add_neighbour(sum, weight_sum, old[i - 1], SMOOTH_NEAR_WEIGHT, freq_avg);
    if (i >= 2) add_neighbour(sum, weight_sum, old[i - 2], SMOOTH_FAR_WEIGHT, freq_avg);
    if (i <= nsteps) add_neighbour(sum, weight_sum, old[i + 1], SMOOTH_NEAR_WEIGHT, freq_avg);
    if (i <= nsteps - 1) add_neighbour(sum, weight_sum, old[i + 2], SMOOTH_FAR_WEIGHT, freq_avg);
    freq[i] = sum / weight_sum;
  }
}

}  // namespace quillet
