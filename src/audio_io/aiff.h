// AIFF input.
#pragma once

#include <string>

#include "audio_io/wave_info.h"

namespace quillet {

// Reads a big-endian AIFF file into the same layout read_wav gives. On a
// malformed file it prints its own message and ends the process with status -1.
bool read_aiff(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples);

}  // namespace quillet
