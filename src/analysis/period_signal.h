// The signal that the accurate analysis measures periods on: channel 0 of a
// sample store as doubles, and a copy at a rate near 22 kHz on which the
// period search runs: a low-passed copy kept at every factor-th frame for a
// high-rate sound (frame m of the copy lies at frame m * factor of the
// original), or one interpolated factor times more densely for a low-rate
// sound (frame m lies at frame m / factor), so that even the shortest periods
// span many frames.
#pragma once

#include <cstddef>
#include <vector>

#include "core/wave_info.h"

namespace quillet {

inline constexpr int PERIOD_SEARCH_RATE = 22050;

struct PeriodSignal {
  std::vector<double> x;  // the frames; frames outside read as silence
  double rate = 0.0;      // frames per second
  double at(long index) const {
    return index >= 0 && index < static_cast<long>(x.size()) ? x[static_cast<std::size_t>(index)] : 0.0;
  }
};

// Frames 0 .. frame_count - 1 of channel 0 (frames the store does not hold
// read as 0).
PeriodSignal channel_zero(const SampleStore& samples, int frame_count, int channels,
                          int sample_rate);

// The factor that takes sample_rate to the period search rate: sample_rate /
// 22050, at least 1.
int decimation_factor(int sample_rate);

// The factor that takes sample_rate up to the period search rate or above:
// 22050 / sample_rate rounded up, 1 from 22050 Hz on.
int upsampling_factor(int sample_rate);

// The signal interpolated at factor times its rate by a windowed sinc (the
// band below the old half rate kept, nothing added above it). A factor of 1
// returns it unchanged.
PeriodSignal upsample(const PeriodSignal& signal, int factor);

// The signal low-passed below 0.4 of its rate over factor by a windowed sinc
// and kept at every factor-th frame. A factor of 1 returns it unchanged.
PeriodSignal decimate(const PeriodSignal& signal, int factor);

}  // namespace quillet
