// The program's entry: one run renders one note, and the derivation of the
// render parameters from the command words that the entry goes through.
#pragma once

#include "analysis/frequency_grid.h"
#include "core/render_params.h"
#include "core/wave_info.h"

namespace quillet {

// Runs the whole note from the command line; returns the process status
// (0 after a written output, -1 on failure).
int run_quillet(int argc, const char* const* argv);

// Timing and pitch target, in the order the run prints their lines: fills
// the timing fields, target_freq, pitch_percent, time_factor, input_step and
// out_len. Expects flags, sample_count, avg_freq and rate_ratio to be set and
// argc >= MIN_ARGC. Returns false, after printing why, when there is nothing
// to render.
bool derive_note_length(int argc, const char* const* argv, const WaveInfo& info,
                        const FrequencyGrid& grid, RenderParams& params);

// Pitch-bend spacing and curve, then the loop's flag settings (W and Y).
// Expects the fields derive_note_length fills.
void derive_bend_and_loop(int argc, const char* const* argv, RenderParams& params);

}  // namespace quillet
