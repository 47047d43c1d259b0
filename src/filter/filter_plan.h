// The plan of the post filter over a note: where each output sample maps in
// the input, the envelope updates (the output samples where the mapped input
// block of 1024 changes) and the frames, one per 512 output samples.
#pragma once

#include <vector>

#include "filter/fft.h"

namespace quillet {

// From output samples to input positions: one to one inside the fixed head,
// stretched by ratio after it.
struct TimeMapping {
  double fixed_in = 0.0;
  int offset = 0;
  double ratio = 1.0;          // input samples per output sample after the head
  int stretched_window = SPECTRUM_SIZE;
};

// The mapped input position of an output sample, and the output window used
// for the output spectrum there.
struct Place {
  int input = 0;
  int window = SPECTRUM_SIZE;
};

// An envelope update: the output sample where the mapped input block changes.
struct EnvelopeUpdate {
  int c = 0;
  Place place;
};

// One frame of the filter, at output sample 512 x its index: the update
// whose curve is in force there (the last one at or before it), the
// position in the input block that weighs that curve against the one
// before, and the input block of its progress line.
struct FramePlan {
  int update = -1;
  int r = 0;
  int block = 0;
};

// Every envelope update in order, and every frame: one per 512 output
// samples, then the frame that completes the samples after the last one.
struct FilterPlan {
  std::vector<EnvelopeUpdate> updates;
  std::vector<FramePlan> frames;
};

TimeMapping make_time_mapping(int out_len, int sample_count, int offset, double fixed_in);

Place map_to_input(const TimeMapping& mapping, int c);

// The plan of output samples 0 .. length - 1. Where the mapping never moves
// back (a finite ratio of at least 0 and a finite head), the updates between
// two frames are found by bisection; otherwise every sample is mapped. The
// plan is the same either way.
FilterPlan plan_filter(const TimeMapping& mapping, int length);

// The plan with every sample mapped, one after the other.
FilterPlan plan_filter_sample_by_sample(const TimeMapping& mapping, int length);

}  // namespace quillet
