// One frame of the post filter's short-time resynthesis: a sine-windowed
// 1024-sample stretch of a signal is transformed, scaled bin by bin,
// transformed back, windowed again and overlap-added at a hop of 512, so that
// with every gain 1 the signal comes back unchanged.
#pragma once

#include <span>
#include <vector>

#include "filter/fft.h"

namespace quillet {

// The running overlap-add of one signal.
struct OverlapAdd {
  std::vector<double> overlap = std::vector<double>(SPECTRUM_HALF, 0.0);  // second half of the last frame
  std::span<double> work;  // the filtered signal, by output sample; only its entries are written
  double peak = 0.0;         // largest |value| written to work
};

// Copies signal[start ... start + 1023] into frame; entries outside the
// signal read 0.0.
void read_frame(const std::vector<double>& signal, long long start, double* frame);

// How the bins of one frame are scaled.
struct FrameGains {
  const std::vector<double>* gain = nullptr;  // 1024 gains, one per bin
  bool keep_level = false;            // rescale by the magnitude sum before / after the gains
  double* gained_magnitudes = nullptr;  // when set, receives the first 128 gain-applied magnitudes
};

inline constexpr int DUMPED_BINS = 128;

// Synthesises the frame at output sample frame_at (a multiple of 512): reads
// signal from frame_at - 512, and completes work[frame_at - 512 ... frame_at - 1]
// (entries outside work are skipped).
void synthesize_frame(const std::vector<double>& signal, long long frame_at, const FrameGains& gains,
                      const SpectralTables& tables, OverlapAdd& state);

}  // namespace quillet
