#include "support/wav_builder.h"

#include <cmath>
#include <cstring>

#include "audio_io/aiff.h"
#include "audio_io/wav.h"
#include "support/console.h"
#include "support/process.h"

namespace quillet::test {

std::string bytes_of(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

std::string le16(uint16_t value) { return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)}; }
std::string le32(uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }
std::string be16(uint16_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)}; }
std::string be32(uint32_t value) { return be16(value >> 16) + be16(value & 0xFFFF); }

std::string le64(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, 8);
  return le32(static_cast<uint32_t>(bits)) + le32(static_cast<uint32_t>(bits >> 32));
}

std::string pcm16_le(const std::vector<int16_t>& samples) {
  std::string bytes;
  for (int16_t sample : samples) bytes += le16(static_cast<uint16_t>(sample));
  return bytes;
}

std::string fmt_body(uint16_t channels, uint32_t sample_rate, uint16_t bits_per_sample, uint16_t format_tag) {
  const uint16_t block_align = static_cast<uint16_t>(channels * bits_per_sample / 8);
  return le16(format_tag) + le16(channels) + le32(sample_rate) + le32(block_align * sample_rate) +
         le16(block_align) + le16(bits_per_sample);
}

std::string riff_chunk(const std::string& id, const std::string& body, bool pad, int64_t declared) {
  const uint32_t size = static_cast<uint32_t>(declared < 0 ? static_cast<int64_t>(body.size()) : declared);
  return id + le32(size) + body + (pad && body.size() % 2 == 1 ? std::string(1, '\0') : "");
}

std::string riff_file(const std::string& chunks, const std::string& form_type) {
  return "RIFF" + le32(static_cast<uint32_t>(4 + chunks.size())) + form_type + chunks;
}

std::string wav16(const std::vector<int16_t>& samples, uint16_t channels, uint32_t sample_rate) {
  return riff_file(riff_chunk("fmt ", fmt_body(channels, sample_rate, 16)) + riff_chunk("data", pcm16_le(samples)));
}

std::string pcm16_be(const std::vector<int16_t>& samples) {
  std::string bytes;
  for (int16_t sample : samples) bytes += be16(static_cast<uint16_t>(sample));
  return bytes;
}

std::string extended80(double value) {
  if (value == 0.0) return std::string(10, '\0');
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);  // in [0.5, 1)
  const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
  const uint16_t sign = value < 0 ? 0x8000 : 0;
  return be16(static_cast<uint16_t>(sign | (16383 + exponent - 1))) + be32(static_cast<uint32_t>(mantissa >> 32)) +
         be32(static_cast<uint32_t>(mantissa & 0xFFFFFFFFu));
}

std::string comm_body(uint16_t channels, uint32_t frames, int16_t bits, double sample_rate) {
  return comm_body_raw(channels, frames, bits, extended80(sample_rate));
}

std::string comm_body_raw(uint16_t channels, uint32_t frames, int16_t bits, const std::string& rate_bytes) {
  return be16(channels) + be32(frames) + be16(static_cast<uint16_t>(bits)) + rate_bytes;
}

std::string ssnd_body(const std::string& sound, uint32_t offset) {
  return be32(offset) + be32(0) + std::string(offset, '\x7f') + sound;
}

std::string aiff_chunk(const std::string& id, const std::string& body, int64_t declared) {
  return id + be32(static_cast<uint32_t>(declared < 0 ? static_cast<int64_t>(body.size()) : declared)) + body;
}

std::string form_file(const std::string& chunks, const std::string& form_type) {
  return "FORM" + be32(static_cast<uint32_t>(4 + chunks.size())) + form_type + chunks;
}

std::string aiff16(const std::vector<int16_t>& samples, uint16_t channels, double sample_rate) {
  const uint32_t frames = channels == 0 ? 0 : static_cast<uint32_t>(samples.size() / channels);
  return form_file(aiff_chunk("COMM", comm_body(channels, frames, 16, sample_rate)) +
                   aiff_chunk("SSND", ssnd_body(pcm16_be(samples))));
}

LoadedSound load_sound_bytes(const std::string& name, const std::string& bytes, int pad_frames, WaveInfo start) {
  ScratchDir dir;
  const std::string path = dir.file(name);
  write_file_bytes(path, bytes);
  LoadedSound result;
  result.info = start;
  result.console = console_of([&] {
    result.loaded = name.ends_with(".aiff") ? read_aiff(path, result.info, pad_frames, result.samples)
                                            : read_wav(path, result.info, pad_frames, result.samples);
  });
  return result;
}

std::vector<double> wav_samples(const std::string& path, WaveInfo* info) {
  WaveInfo read_info;
  SampleStore store;
  if (!read_wav(path, read_info, 0, store)) return {};
  if (info != nullptr) *info = read_info;
  return std::vector<double>(store.begin(), store.end());
}

}  // namespace quillet::test
