// Post-processing of the rendered signals into the output file: smoothing,
// breathiness mixes, the post filter, normalisation, volume, clipping and the
// 16-bit WAV.
#pragma once

#include <string>

#include "analysis/frequency_list.h"
#include "audio_io/wave_info.h"
#include "driver/render_params.h"
#include "synth/resynthesis.h"

namespace quillet {

// Runs every stage and writes output_path. Prints the stage lines. Returns 0
// when the file was written; prints "file write error." and returns -1 when
// it could not be.
int post_process_and_write(const RenderParams& params, RenderedSignals& signals,
                           const SampleStore& samples, int channels, const FrequencyList& list,
                           const std::string& output_path);

}  // namespace quillet
