// Block conversion of the sample store to doubles, and the natural cubic
// spline through a block.
#pragma once

#include <cstdint>
#include <vector>

#include "audio_io/wave_info.h"
#include "constants.h"

namespace quillet {

// One block of the input with its spline. The caller owns it and reuses it.
struct SplineBlock {
  int32_t origin = 0;                          // input frame of entry 0; may be negative
  std::vector<double> y = std::vector<double>(BLOCK_LENGTH);
  std::vector<double> b = std::vector<double>(BLOCK_LENGTH);
  std::vector<double> c = std::vector<double>(BLOCK_LENGTH);
  std::vector<double> d = std::vector<double>(BLOCK_LENGTH);
};

// Converts count frames starting at first_frame (may be negative) into
// destination, as doubles in raw 16-bit scale.
void convert_block(double* destination, const SampleStore& samples, int first_frame, int count,
                   int channels);

// Natural cubic spline coefficients of y[0..n-1].
void spline_compute(const double* y, int n, double* b, double* c, double* d);

// Value of the block's spline at absolute input position x (frames).
double spline_eval(const SplineBlock& block, double x);

// Loads the block whose entry 0 is input frame origin and computes its spline.
void load_spline_block(SplineBlock& block, const SampleStore& samples, int origin, int channels);

}  // namespace quillet
