#include "analysis/period_refinement.h"

#include <algorithm>
#include <cmath>

#include "synth/spline.h"

namespace quillet {

namespace {

// The trial lengths of one step: low + s * unit for s = 0 .. 256.
struct TrialRange {
  double low = 0.0;
  double unit = 0.0;
  bool fits = false;
};

TrialRange trial_range(const SoundView& sound, const double* freq, int i) {
  TrialRange range;
  const double period = sound.sample_rate / freq[i];
  range.low = period * SEMITONE_DOWN;
  const double high = period * SEMITONE_UP;
  range.unit = (high - range.low) / 256.0;
  range.fits = high < 2048.0 && stretches_fit(range.low) && stretches_fit(range.low + 256 * range.unit);
  return range;
}

// Refinement score of trial period length: how well the stretch around x0
// matches the stretch one period later, read through the block's spline.
double period_score(const RefineScratch::Block& block, double length) {
  const double x0 = (3072.0 - length) / 2.0;
  const double x1 = x0 + length;
  const double floor0 = std::floor(x0);
  const double floor1 = std::floor(x1);
  const double t0 = x0 - floor0;
  const double t1 = x1 - floor1;
  const double* y = block.y.data();
  const double* b = block.b.data();
  const double* c = block.c.data();
  const double* d = block.d.data();
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

// Score of trial s, computed on first use: the peak search looks at only a
// few trials around the middle one.
double trial_score(RefineScratch& scratch, const RefineScratch::Block& block, const TrialRange& range,
                   int s) {
  if (!scratch.scored[s]) {
    scratch.score[s] = period_score(block, range.low + s * range.unit);
    scratch.scored[s] = 1;
  }
  return scratch.score[s];
}

// The score peak nearest the middle trial, or -1 when there is none.
int nearest_score_peak(RefineScratch& scratch, const RefineScratch::Block& block, const TrialRange& range) {
  std::fill(scratch.scored.begin(), scratch.scored.end(), 0);
  double best = -32768.0;
  int peak = -1;
  for (int s = REFINE_MIDDLE; s < REFINE_TRIALS; ++s) {
    const double value = trial_score(scratch, block, range, s);
    if (value < best) {
      peak = s - 1;
      break;
    }
    best = value;
  }
  for (int s = REFINE_MIDDLE; s >= 0; --s) {
    const double value = trial_score(scratch, block, range, s);
    if (value < best) {
      if (s < REFINE_MIDDLE) peak = s + 1;
      break;
    }
    best = value;
  }
  return peak;
}

void load_block(const SoundView& sound, RefineScratch::Block& block, int i) {
  convert_block(block.y.data(), sound.samples, i * BLOCK_STEP - REFINE_LEAD, BLOCK_LENGTH, sound.channels);
}

SplineArrays arrays_of(RefineScratch::Block& block) {
  return SplineArrays{block.y.data(), block.b.data(), block.c.data(), block.d.data()};
}

}  // namespace

bool stretches_fit(double length) {
  if (!(length > -4096.0 && length < 4096.0)) return false;
  const double x0 = (3072.0 - length) / 2.0;
  const int m0 = static_cast<int>(std::floor(x0));
  const int m1 = static_cast<int>(std::floor(x0 + length));
  return std::min(m0, m1) - REFINE_HALF_SPAN >= 0 &&
         std::max(m0, m1) + REFINE_HALF_SPAN - 1 <= BLOCK_LENGTH - 2;
}

void refine_two_steps(const SoundView& sound, RefineScratch& scratch, int first, int second, double* freq,
                      bool refined[2]) {
  const int steps[2] = {first, second};
  TrialRange ranges[2];
  for (int j = 0; j < 2; ++j) {
    if (steps[j] >= 0) ranges[j] = trial_range(sound, freq, steps[j]);
    refined[j] = ranges[j].fits;
    if (ranges[j].fits) load_block(sound, scratch.blocks[j], steps[j]);
  }
  if (ranges[0].fits && ranges[1].fits) {
    spline_compute_two(arrays_of(scratch.blocks[0]), arrays_of(scratch.blocks[1]), BLOCK_LENGTH);
  } else {
    for (int j = 0; j < 2; ++j) {
      RefineScratch::Block& block = scratch.blocks[j];
      if (ranges[j].fits) spline_compute(block.y.data(), BLOCK_LENGTH, block.b.data(), block.c.data(), block.d.data());
    }
  }
  for (int j = 0; j < 2; ++j) {
    if (!ranges[j].fits) continue;
    const int peak = nearest_score_peak(scratch, scratch.blocks[j], ranges[j]);
    if (peak >= 0) freq[steps[j]] = sound.sample_rate / (ranges[j].low + peak * ranges[j].unit);
  }
}

}  // namespace quillet
