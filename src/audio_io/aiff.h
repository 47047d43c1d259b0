// AIFF input: reads an uncompressed big-endian AIFF file into the same format
// record and sample store layout the WAV reader gives.
#pragma once

#include <cstdint>
#include <string>

#include "audio_io/sound_file.h"
#include "core/wave_info.h"

namespace quillet {

// Reads a big-endian AIFF file into the same layout read_wav gives. On a
// malformed file it prints its own message and ends the process with status -1.
// Returns false (no message) when the file holds no sound data chunk.
bool read_aiff(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples);

// As read_aiff, printing nothing and never ending the process: returns why no
// samples could be read.
SoundRead read_aiff_checked(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples);

// Sample rate from the 10-byte 80-bit extended value of a COMM chunk: the
// upper 32 mantissa bits shifted right by (16414 - exponent) modulo 32; sign
// and lower mantissa half are ignored.
uint32_t aiff_rate_from_extended(const unsigned char* extended);

}  // namespace quillet
