#include "filter/frame_synthesis.h"

#include <algorithm>
#include <cmath>

#include "filter/frame_lanes.h"

namespace quillet {

namespace {

// Applies the gains to the spectrum; returns the level factor to restore.
// The magnitudes and the gained bins are made element by element at the
// level, the two sums bin by bin in order.
double apply_gains(double* re, double* im, const FrameGains& gains, SimdLevel level) {
  const std::vector<double>& gain = *gains.gain;
  double magnitude[SPECTRUM_SIZE];
  magnitudes(re, im, magnitude, 1.0, SPECTRUM_SIZE, level);
  double before = 0.0;
  double after = 0.0;
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    before = before + magnitude[i];
    const double gained = magnitude[i] * gain[i];
    after = after + gained;
    if (gains.gained_magnitudes != nullptr && i < DUMPED_BINS) gains.gained_magnitudes[i] = gained;
  }
  multiply_elements(re, gain.data(), SPECTRUM_SIZE, level);
  multiply_elements(im, gain.data(), SPECTRUM_SIZE, level);
  if (!gains.keep_level || after == 0.0) return 1.0;
  return before / after;
}

void overlap_add(const double* frame, long long frame_at, OverlapAdd& state) {
  const long long size = static_cast<long long>(state.work.size());
  for (int i = 0; i < SPECTRUM_HALF; ++i) {
    const long long n = frame_at - SPECTRUM_HALF + i;
    if (n < 0 || n >= size) continue;
    const double v = state.overlap[i] + frame[i];
    state.work[n] = v;
    state.peak = std::max(state.peak, std::fabs(v));
  }
  for (int i = 0; i < SPECTRUM_HALF; ++i) state.overlap[i] = frame[SPECTRUM_HALF + i];
}

}  // namespace

void read_frame(const std::vector<double>& signal, long long start, double* frame) {
  const long long size = static_cast<long long>(signal.size());
  if (start >= 0 && start + SPECTRUM_SIZE <= size) {
    std::copy_n(signal.begin() + start, SPECTRUM_SIZE, frame);
    return;
  }
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    const long long n = start + i;
    frame[i] = (n >= 0 && n < size) ? signal[n] : 0.0;
  }
}

void synthesize_frame(const std::vector<double>& signal, long long frame_at, const FrameGains& gains,
                      const SpectralTables& tables, OverlapAdd& state) {
  std::vector<double> re(SPECTRUM_SIZE);
  std::vector<double> im(SPECTRUM_SIZE, 0.0);
  read_frame(signal, frame_at - SPECTRUM_HALF, re.data());
  multiply_elements(re.data(), tables.sine_window.data(), SPECTRUM_SIZE, tables.level);
  fft_forward(re.data(), im.data(), SPECTRUM_SIZE, tables);
  const double factor = apply_gains(re.data(), im.data(), gains, tables.level);
  fft_inverse(re.data(), im.data(), SPECTRUM_SIZE, tables);
  scale_window_elements(re.data(), factor, tables.sine_window.data(), SPECTRUM_SIZE, tables.level);
  overlap_add(re.data(), frame_at, state);
}

}  // namespace quillet
