// Shared inputs for unit tests: frequency grids, frequency lists and the
// render parameters of a plain note.
#pragma once

#include "analysis/frequency_grid.h"
#include "core/frequency_list.h"
#include "core/render_params.h"

namespace quillet::test {

// The grid at sample_rate with windows up to 3072 frames, built once per rate.
const FrequencyGrid& grid_at(int sample_rate);

// avg and every one of steps + 1 entries at hz (amplitudes left empty).
FrequencyList constant_list(double hz, int steps);

// Rate ratio 1, time factor 1, no fixed head, target = average = avg_hz,
// modulation 100, a flat bend curve reaching past the used stretch.
RenderParams plain_params(double avg_hz, int offset, int sample_count, int out_len);

// Time factor and fixed head (in output samples) at the params' rate ratio.
void set_timing(RenderParams& params, double time_factor, double fixed_out = 0.0);

}  // namespace quillet::test
