// The magnitude spectrogram of channel 0 of a sample, in decibels, for
// drawing: Hann-windowed frames of about 40 ms, eight to a window.
#pragma once

#include <vector>

#include "core/wave_info.h"

namespace quillet {

struct Spectrogram {
  int frame_size = 0;      // points of each transform, a power of two
  int hop = 0;             // frames between consecutive columns
  int sample_rate = 0;
  int columns = 0;
  int bins = 0;            // frame_size / 2 + 1, from 0 Hz to half the rate
  std::vector<float> db;   // columns * bins, column by column: 20 log10 of the magnitude
};

// The transform size for a rate: the smallest power of two of at least 40 ms.
int spectrogram_frame_size(int sample_rate);

// Column c is centred on frame c * hop.
Spectrogram compute_spectrogram(const SampleStore& samples, int frame_count, int channels,
                                int sample_rate);

// Magnitudes of the discrete transform of a real frame (radix 2, in place on
// a copy): entries 0 .. n / 2. n must be a power of two.
std::vector<double> real_magnitudes(const std::vector<double>& frame);

}  // namespace quillet
