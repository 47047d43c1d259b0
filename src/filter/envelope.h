// The post filter's gain curve: the input and output spectra are smoothed on
// a log scale over a raised-cosine window one pitch wide, the input envelope
// is read through the frequency warp and raised to its exponent, and the gain
// of each bin is their ratio, limited where boosting is not allowed.
#pragma once

#include <vector>

#include "core/simd.h"

namespace quillet {

// Raised-cosine weights 0.5 + 0.5 cos(m pi / pitch_bins) for the offsets
// m = -half_width ... half_width (weight of m at index m + half_width). A
// pitch below 1e-9 bins or not finite keeps the offset 0 alone, weight 1.
// The half width never exceeds 1023, the widest offset that reaches a bin.
struct SmoothingWeights {
  int half_width = 0;
  std::vector<double> weight;
};

SmoothingWeights smoothing_weights(double pitch_bins);

struct EnvelopeSettings {
  double source_bins = 0.0;  // input pitch in bins: width of the input smoothing
  double target_bins = 0.0;  // output pitch in bins: width of the output smoothing
  double gen = 1.0;          // frequency warp of the input envelope
  double fce = 1.0;          // exponent of the input envelope
  double cutoff_bin = 0.0;   // band split; 0 or below: none
  double band_gain = 1.0;    // gain of the bins above the cutoff
  int band_index = 0;        // bins 0 ... band_index and 1023 - band_index ... 1023 are never boosted
  int window = 1024;         // output window length the output spectrum was summed for
  SimdLevel level = SimdLevel::plain;  // how wide the smoothed sums are formed (the same bits at every level)
};

// Writes curve[0 ... 1023]. input_spectrum holds 1025 entries (the last 0),
// output_spectrum 1024. Offsets whose weight is exactly 0 are left out of the
// smoothed sums, so a silent bin there cannot turn them into 0 x ln 0.
void compute_gain_curve(const std::vector<double>& input_spectrum,
                        const std::vector<double>& output_spectrum,
                        const EnvelopeSettings& settings, std::vector<double>& curve);

}  // namespace quillet
