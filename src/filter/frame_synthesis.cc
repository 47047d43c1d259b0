#include "filter/frame_synthesis.h"

#include <algorithm>
#include <cmath>

namespace quillet {

namespace {

// Applies the gains to the spectrum; returns the level factor to restore.
double apply_gains(double* re, double* im, const FrameGains& gains) {
  const std::vector<double>& gain = *gains.gain;
  double before = 0.0;
  double after = 0.0;
  for (int i = 0; i < SPECTRUM_SIZE; ++i) {
    const double magnitude = std::sqrt(re[i] * re[i] + im[i] * im[i]);
    before = before + magnitude;
    const double gained = magnitude * gain[i];
    after = after + gained;
    re[i] = re[i] * gain[i];
    im[i] = im[i] * gain[i];
    if (gains.gained_magnitudes != nullptr && i < DUMPED_BINS) gains.gained_magnitudes[i] = gained;
  }
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
  for (int i = 0; i < SPECTRUM_SIZE; ++i) re[i] = re[i] * tables.sine_window[i];
  fft_forward(re.data(), im.data(), SPECTRUM_SIZE, tables);
  const double factor = apply_gains(re.data(), im.data(), gains);
  fft_inverse(re.data(), im.data(), SPECTRUM_SIZE, tables);
  for (int i = 0; i < SPECTRUM_SIZE; ++i) re[i] = factor * tables.sine_window[i] * re[i];
  overlap_add(re.data(), frame_at, state);
}

}  // namespace quillet
