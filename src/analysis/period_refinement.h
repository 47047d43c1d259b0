// The third pass's refinement of one voiced step: its period searched over
// 257 trial lengths within a semitone of the step's frequency, each scored by
// how well the stretch around the middle of the step's block matches the
// stretch one trial period later, both read through the block's natural
// spline. Two steps are refined together, their splines solved side by side.
#pragma once

#include <vector>

#include "analysis/pitch_passes.h"

namespace quillet {

// One thread's buffers: the blocks of two steps with their splines, and the
// scores of the step being searched.
struct RefineScratch {
  struct Block {
    std::vector<double> y = std::vector<double>(BLOCK_LENGTH);
    std::vector<double> b = std::vector<double>(BLOCK_LENGTH);
    std::vector<double> c = std::vector<double>(BLOCK_LENGTH);
    std::vector<double> d = std::vector<double>(BLOCK_LENGTH);
  };
  Block blocks[2];
  std::vector<double> score = std::vector<double>(REFINE_TRIALS);
  std::vector<char> scored = std::vector<char>(REFINE_TRIALS);
};

// Whether both compared stretches of a trial period of length frames lie
// inside the block's spline intervals 0 .. 3070.
bool stretches_fit(double length);

// Refines the voiced steps first and second (second may be -1 for none):
// freq[i] becomes the sample rate over the best-scoring trial length, when
// there is a score peak. refined[0] and refined[1] tell whether each step's
// trial periods fit its block (a step whose do not keeps its frequency).
// Reads and writes freq[first] and freq[second] only.
void refine_two_steps(const SoundView& sound, RefineScratch& scratch, int first, int second, double* freq,
                      bool refined[2]);

}  // namespace quillet
