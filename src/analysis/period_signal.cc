#include "analysis/period_signal.h"

#include <algorithm>
#include <cmath>

#include "core/constants.h"

namespace quillet {

namespace {

// Taps on each side of the centre tap, per unit of the factor.
constexpr int kHalfTapsPerFactor = 16;
constexpr double kPassFraction = 0.4;

// Symmetric low-pass taps h[0 .. 2K] with unit sum: a sinc cut at
// kPassFraction / factor cycles per frame under a Blackman window.
std::vector<double> lowpass_taps(int factor) {
  const int half = kHalfTapsPerFactor * factor;
  const double cutoff = kPassFraction / factor;
  std::vector<double> taps(static_cast<size_t>(2 * half + 1));
  double sum = 0.0;
  for (int k = -half; k <= half; ++k) {
    const double x = TWO_PI * cutoff * k;
    const double sinc = k == 0 ? 1.0 : std::sin(x) / x;
    const double phase = PI * (k + half) / half;
    const double window = 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2.0 * phase);
    taps[static_cast<size_t>(k + half)] = sinc * window;
    sum += sinc * window;
  }
  for (double& tap : taps) tap /= sum;
  return taps;
}

// Taps of the interpolator on each side of an output frame, in input frames.
constexpr int kInterpolationHalfWidth = 16;

// The interpolation kernel at distance x input frames: a sinc under a
// Blackman window of kInterpolationHalfWidth frames each side.
double interpolation_kernel(double x) {
  if (x == 0.0) return 1.0;
  const double phase = PI * (x + kInterpolationHalfWidth) / kInterpolationHalfWidth;
  const double window = 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2.0 * phase);
  return std::sin(PI * x) / (PI * x) * window;
}

}  // namespace

PeriodSignal channel_zero(const SampleStore& samples, int frame_count, int channels,
                          int sample_rate) {
  PeriodSignal signal;
  signal.rate = sample_rate;
  const long stride = std::max(channels, 1);
  const long frames = std::max(frame_count, 0);
  signal.x.assign(static_cast<size_t>(frames), 0.0);
  const long held = static_cast<long>(samples.size()) / stride;
  for (long i = 0; i < std::min(frames, held); ++i) {
    signal.x[static_cast<size_t>(i)] = samples[static_cast<size_t>(i * stride)];
  }
  return signal;
}

int decimation_factor(int sample_rate) { return std::max(1, sample_rate / PERIOD_SEARCH_RATE); }

int upsampling_factor(int sample_rate) {
  if (sample_rate <= 0 || sample_rate >= PERIOD_SEARCH_RATE) return 1;
  return (PERIOD_SEARCH_RATE + sample_rate - 1) / sample_rate;
}

PeriodSignal upsample(const PeriodSignal& signal, int factor) {
  if (factor <= 1) return signal;
  // The kernel's taps for each phase of an output frame between two inputs.
  std::vector<std::vector<double>> phases(static_cast<size_t>(factor));
  for (int p = 0; p < factor; ++p) {
    for (int k = -kInterpolationHalfWidth + 1; k <= kInterpolationHalfWidth; ++k) {
      phases[static_cast<size_t>(p)].push_back(interpolation_kernel(static_cast<double>(p) / factor - k));
    }
  }
  PeriodSignal out;
  out.rate = signal.rate * factor;
  out.x.assign(signal.x.size() * static_cast<size_t>(factor), 0.0);
  for (long m = 0; m < static_cast<long>(out.x.size()); ++m) {
    const long base = m / factor;
    const std::vector<double>& taps = phases[static_cast<size_t>(m % factor)];
    double sum = 0.0;
    for (int k = -kInterpolationHalfWidth + 1; k <= kInterpolationHalfWidth; ++k) {
      sum += taps[static_cast<size_t>(k + kInterpolationHalfWidth - 1)] * signal.at(base + k);
    }
    out.x[static_cast<size_t>(m)] = sum;
  }
  return out;
}

PeriodSignal decimate(const PeriodSignal& signal, int factor) {
  if (factor <= 1) return signal;
  const std::vector<double> taps = lowpass_taps(factor);
  const long half = static_cast<long>(taps.size() / 2);
  const long count = (static_cast<long>(signal.x.size()) + factor - 1) / factor;
  PeriodSignal out;
  out.rate = signal.rate / factor;
  out.x.assign(static_cast<size_t>(count), 0.0);
  for (long m = 0; m < count; ++m) {
    const long centre = m * factor;
    double sum = 0.0;
    if (centre - half >= 0 && centre + half < static_cast<long>(signal.x.size())) {
      const double* from = signal.x.data() + (centre - half);
      for (size_t k = 0; k < taps.size(); ++k) sum += taps[k] * from[k];
    } else {
      for (long k = -half; k <= half; ++k) sum += taps[static_cast<size_t>(k + half)] * signal.at(centre + k);
    }
    out.x[static_cast<size_t>(m)] = sum;
  }
  return out;
}

}  // namespace quillet
