#include "analysis/pitch_passes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "analysis/frequency_list.h"
#include "analysis/pitch_analysis.h"
#include "analysis/pitch_estimators.h"
#include "synth/spline.h"

namespace quillet {

namespace {

bool in_range(const GridRange& range, int index) { return range.lo <= index && index <= range.hi; }

// Origin of the block that the first two passes measure for step i.
int measure_origin(int step) { return step * BLOCK_STEP - BLOCK_LEAD; }

// First prominent peak of the grid spectrum of the block in work.y over
// range.lo .. range.hi - 1.
int spectral_peak(const SoundView& sound, PitchWork& work, const GridRange& range) {
  double maximum = 0.0;
  grid_spectrum(work.spectrum.data(), work.y.data(), BLOCK_LENGTH, sound.grid, range.lo, range.hi,
                sound.sample_rate, maximum);
  return first_spectral_peak(work.spectrum.data(), range.lo, range.hi, PEAK_FLOOR * maximum);
}

// Converts the measuring block of step and returns its spectral peak in range.
int measure_step(const SoundView& sound, PitchWork& work, int step, const GridRange& range) {
  convert_block(work.y.data(), sound.samples, measure_origin(step), BLOCK_LENGTH, sound.channels);
  return spectral_peak(sound, work, range);
}

// Candidate index of a block whose coarse fundamental is f0 (> 0): the
// spectral peak within 8 grid indices of it; a peak at the lower edge lies
// outside the search and gives 0.
int coarse_candidate(const SoundView& sound, PitchWork& work, double f0) {
  const int centre = nearest_grid_index(sound.grid, f0);
  const GridRange range = grid_range_around(centre, COARSE_HALF_RANGE);
  const int peak = spectral_peak(sound, work, range);
  return peak == range.lo ? 0 : peak;
}

void set_step(const SoundView& sound, PitchWork& work, double* freq, int step, int index) {
  work.cand[step] = index;
  freq[step] = sound.grid.freq[index];
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

// Refinement score of trial period length: how well the stretch around x0
// matches the stretch one period later, read through the block's spline.
double period_score(const PitchWork& work, double length) {
  const double x0 = (3072.0 - length) / 2.0;
  const double x1 = x0 + length;
  const double floor0 = std::floor(x0);
  const double floor1 = std::floor(x1);
  const double t0 = x0 - floor0;
  const double t1 = x1 - floor1;
  const double* y = work.y.data();
  const double* b = work.b.data();
  const double* c = work.c.data();
  const double* d = work.d.data();
  const int first0 = static_cast<int>(floor0) - REFINE_HALF_SPAN;
  const int first1 = static_cast<int>(floor1) - REFINE_HALF_SPAN;
  double cross = 0.0;
  double diff = 0.0;
  for (int n = 0; n < 2 * REFINE_HALF_SPAN; ++n) {
    const int k0 = first0 + n;
    const int k1 = first1 + n;
    const double u = ((d[k0] * t0 + c[k0]) * t0 + b[k0]) * t0 + y[k0];
    const double v = ((d[k1] * t1 + c[k1]) * t1 + b[k1]) * t1 + y[k1];
    cross = cross + u * v;
    diff = diff + std::fabs(u - v);
  }
  return (cross / 1024.0) / (diff + 0.01);
}

// Whether both compared stretches of a trial period lie inside the block's
// spline intervals 0 .. 3070.
bool stretches_fit(double length) {
  if (!(length > -4096.0 && length < 4096.0)) return false;
  const double x0 = (3072.0 - length) / 2.0;
  const int m0 = static_cast<int>(std::floor(x0));
  const int m1 = static_cast<int>(std::floor(x0 + length));
  return std::min(m0, m1) - REFINE_HALF_SPAN >= 0 &&
         std::max(m0, m1) + REFINE_HALF_SPAN - 1 <= BLOCK_LENGTH - 2;
}

// Score of trial s, computed on first use: the peak search looks at only a
// few trials around the middle one.
double trial_score(PitchWork& work, double low, double unit, int s) {
  if (!work.scored[s]) {
    work.score[s] = period_score(work, low + s * unit);
    work.scored[s] = 1;
  }
  return work.score[s];
}

// The score peak nearest the middle trial, or -1 when there is none.
int nearest_score_peak(PitchWork& work, double low, double unit) {
  std::fill(work.scored.begin(), work.scored.end(), 0);
  double best = -32768.0;
  int peak = -1;
  for (int s = REFINE_MIDDLE; s < REFINE_TRIALS; ++s) {
    const double value = trial_score(work, low, unit, s);
    if (value < best) {
      peak = s - 1;
      break;
    }
    best = value;
  }
  for (int s = REFINE_MIDDLE; s >= 0; --s) {
    const double value = trial_score(work, low, unit, s);
    if (value < best) {
      if (s < REFINE_MIDDLE) peak = s + 1;
      break;
    }
    best = value;
  }
  return peak;
}

// Refines voiced step i; returns false when its trial periods do not fit the
// block (the step keeps its frequency and is not reported).
bool refine_step(const SoundView& sound, PitchWork& work, int i, double* freq) {
  const double period = sound.sample_rate / freq[i];
  const double low = period * SEMITONE_DOWN;
  const double high = period * SEMITONE_UP;
  const double unit = (high - low) / 256.0;
  if (!(high < 2048.0) || !stretches_fit(low) || !stretches_fit(low + 256 * unit)) return false;
  convert_block(work.y.data(), sound.samples, i * BLOCK_STEP - REFINE_LEAD, BLOCK_LENGTH,
                sound.channels);
  spline_compute(work.y.data(), BLOCK_LENGTH, work.b.data(), work.c.data(), work.d.data());
  const int peak = nearest_score_peak(work, low, unit);
  if (peak >= 0) freq[i] = sound.sample_rate / (low + peak * unit);
  return true;
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
  for (int i = 0; i <= sound.nsteps; ++i) {
    convert_block(work.y.data(), sound.samples, measure_origin(i), BLOCK_LENGTH, sound.channels);
    double energy = 0.0;
    const double f0 = estimate_block_f0(work.y.data(), AUTOCORR_SPAN, sound.sample_rate, energy);
    amp[i] = energy;
    set_step(sound, work, freq, i, f0 > 0.0 ? coarse_candidate(sound, work, f0) : 0);
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
  for (int i = 0; i <= sound.nsteps; ++i) {
    settle_step(sound, work, global, i, freq);
    add_continuity_weight(work.sums, freq, i, amp[i]);
    std::printf("(2/3) %d/%d \r", i, sound.nsteps);
  }
  const ContinuitySums& sums = work.sums;
  if (sums.weight_sum == 0.0 || sums.sum == 0.0) return UNVOICED_HZ;
  return sums.sum / sums.weight_sum;
}

void refine_pass(const SoundView& sound, PitchWork& work, double* freq) {
  for (int i = 0; i <= sound.nsteps; ++i) {
    if (freq[i] == UNVOICED_HZ) continue;
    if (refine_step(sound, work, i, freq)) std::printf("(3/3) %d/%d\r", i, sound.nsteps);
  }
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
