// The resynthesis loop: maps every output sample to an input position and
// renders the voiced signal (pitch-shifted heads) and the aperiodic signal.
#pragma once

#include <vector>

#include "analysis/frequency_list.h"
#include "audio_io/wave_info.h"
#include "driver/render_params.h"

namespace quillet {

// The two rendered signals, on the scale of 16-bit samples, one entry per
// output sample followed by a zero-filled tail of spare entries.
struct RenderedSignals {
  std::vector<double> voiced;
  std::vector<double> aperiodic;
};

RenderedSignals resynthesize(const RenderParams& params, const SampleStore& samples, int channels,
                             const FrequencyList& list);

}  // namespace quillet
