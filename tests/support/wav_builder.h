// Byte strings of WAV and AIFF files for tests: plain files from samples, and
// the chunks to assemble hostile ones (wrong sizes, missing or misplaced
// chunks, odd layouts); and reading sound files back.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/wave_info.h"

namespace quillet::test {

// The bytes of the given values (0..255).
std::string bytes_of(std::initializer_list<int> values);
std::string le16(uint16_t value);
std::string le32(uint32_t value);
std::string be16(uint16_t value);
std::string be32(uint32_t value);
std::string le64(double value);

// ---- WAV (little-endian) ----

std::string pcm16_le(const std::vector<int16_t>& samples);

// 16-byte fmt body; block_align = channels x bits / 8, byte_rate = block_align x rate.
std::string fmt_body(uint16_t channels, uint32_t sample_rate, uint16_t bits_per_sample, uint16_t format_tag = 1);

// id, size, body; the size is the body's unless declared (>= 0) says otherwise,
// and a 0 pad byte follows an odd body when pad is set.
std::string riff_chunk(const std::string& id, const std::string& body, bool pad = false,
                       int64_t declared = -1);

// "RIFF", size of what follows, the form type, then the chunks.
std::string riff_file(const std::string& chunks, const std::string& form_type = "WAVE");

// A plain 16-bit PCM WAV with the 44-byte header; samples interleaved by channel.
std::string wav16(const std::vector<int16_t>& samples, uint16_t channels, uint32_t sample_rate);

// ---- AIFF (big-endian) ----

std::string pcm16_be(const std::vector<int16_t>& samples);

// 80-bit extended big-endian value of a (finite) number, as stored in COMM.
std::string extended80(double value);

// 18-byte COMM body; the rate is given as a number or as its 10 raw bytes.
std::string comm_body(uint16_t channels, uint32_t frames, int16_t bits, double sample_rate);
std::string comm_body_raw(uint16_t channels, uint32_t frames, int16_t bits, const std::string& rate_bytes);

// SSND body: offset field, block size 0, offset filler bytes of 0x7F, then sound.
std::string ssnd_body(const std::string& sound, uint32_t offset = 0);

// id, big-endian size (the body's unless declared >= 0 says otherwise), body.
std::string aiff_chunk(const std::string& id, const std::string& body, int64_t declared = -1);

// "FORM", size of what follows, the form type, then the chunks.
std::string form_file(const std::string& chunks, const std::string& form_type = "AIFF");

// A plain 16-bit AIFF (COMM then SSND); samples interleaved by channel.
std::string aiff16(const std::vector<int16_t>& samples, uint16_t channels, double sample_rate);

// ---- Reading back ----

struct LoadedSound {
  bool loaded = false;
  WaveInfo info;
  SampleStore samples;
  std::string console;  // what the reader printed
};

// bytes saved as name in a scratch folder, then read by read_aiff (a name
// ending in ".aiff") or read_wav into a WaveInfo that starts as start.
LoadedSound load_sound_bytes(const std::string& name, const std::string& bytes, int pad_frames = 3072,
                             WaveInfo start = {});

// The samples of the WAV file at path, without a tail; empty when it cannot be read.
std::vector<double> wav_samples(const std::string& path, WaveInfo* info = nullptr);

}  // namespace quillet::test
