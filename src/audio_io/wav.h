// WAV input and output: reads a RIFF/WAVE file into the format record and the
// zero-tailed sample store, and writes a PCM WAV file with a 44-byte header.
#pragma once

#include <cstdint>
#include <string>

#include "audio_io/sound_file.h"
#include "core/wave_info.h"

namespace quillet {

// Reads a RIFF/WAVE file into info and samples (data plus a zero tail of
// pad_frames frames). Prints its own messages; returns false when no samples
// could be read. Format checks (16 bits, channel layout, sample rate) are the
// caller's.
bool read_wav(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples);

// As read_wav, printing nothing: returns why no samples could be read.
SoundRead read_wav_checked(const std::string& path, WaveInfo& info, int pad_frames, SampleStore& samples);

// Writes a 44-byte-header PCM WAV holding data_bytes bytes of samples. The file
// appears under path only when it was written completely. Returns 0 on
// success, -1 on any failure.
int write_wav(const std::string& path, const int16_t* samples, int32_t data_bytes,
              int bits_per_sample, int channels, uint32_t sample_rate);

}  // namespace quillet
