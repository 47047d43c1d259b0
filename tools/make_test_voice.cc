// make_test_voice: writes one sung test voice with the glottal voice
// synthesiser, at a chosen rate, length, pitch, vowel, channel count and file
// format, for the output comparison and the benchmarks. The same arguments
// always give the same bytes.
//
// Usage: make_test_voice <output> <rate> <seconds> <hz> [a|i|u [wav|aiff [channels [glide cents]]]]
//
// A stereo voice carries the voice in the first channel and the same voice at
// half level in the second. An AIFF file is plain big-endian 16-bit (COMM, SSND).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio_io/wav.h"
#include "glottal_voice.h"

namespace {

using quillet::glottal::Formant;
using quillet::glottal::VoiceDesign;

void put_be16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

void put_be32(std::string& out, uint32_t v) {
  put_be16(out, static_cast<uint16_t>(v >> 16));
  put_be16(out, static_cast<uint16_t>(v & 0xFFFF));
}

// The 80-bit extended value of a positive whole rate.
void put_extended_rate(std::string& out, uint32_t rate) {
  int exponent = 31;
  uint64_t mantissa = rate;
  while (!(mantissa & 0x80000000ULL)) {
    mantissa <<= 1;
    --exponent;
  }
  put_be16(out, static_cast<uint16_t>(16383 + exponent));
  put_be32(out, static_cast<uint32_t>(mantissa));
  put_be32(out, 0);
}

bool write_aiff(const std::string& path, const std::vector<int16_t>& interleaved, int channels, uint32_t rate) {
  std::string comm;
  put_be16(comm, static_cast<uint16_t>(channels));
  put_be32(comm, static_cast<uint32_t>(interleaved.size() / channels));
  put_be16(comm, 16);
  put_extended_rate(comm, rate);
  std::string ssnd;
  put_be32(ssnd, 0);
  put_be32(ssnd, 0);
  for (int16_t s : interleaved) put_be16(ssnd, static_cast<uint16_t>(s));
  std::string body = "AIFF";
  body += "COMM";
  put_be32(body, static_cast<uint32_t>(comm.size()));
  body += comm;
  body += "SSND";
  put_be32(body, static_cast<uint32_t>(ssnd.size()));
  body += ssnd;
  std::string file = "FORM";
  put_be32(file, static_cast<uint32_t>(body.size()));
  file += body;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && written;
}

std::vector<Formant> vowel_named(const std::string& name) {
  using namespace quillet::glottal;
  if (name == "i") return {std::begin(kVowelI), std::end(kVowelI)};
  if (name == "u") return {std::begin(kVowelU), std::end(kVowelU)};
  return {std::begin(kVowelA), std::end(kVowelA)};
}

std::vector<int16_t> interleave(const std::vector<int16_t>& mono, int channels) {
  if (channels == 1) return mono;
  std::vector<int16_t> out;
  out.reserve(mono.size() * channels);
  for (int16_t s : mono) {
    out.push_back(s);
    for (int c = 1; c < channels; ++c) out.push_back(static_cast<int16_t>(s / 2));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: make_test_voice <output> <rate> <seconds> <hz> [a|i|u [wav|aiff [channels [glide cents]]]]\n");
    return 2;
  }
  VoiceDesign design;
  design.sample_rate = std::atoi(argv[2]);
  design.duration_s = std::atof(argv[3]);
  design.base_hz = std::atof(argv[4]);
  if (argc > 5) design.vowel = vowel_named(argv[5]);
  const bool aiff = argc > 6 && std::strcmp(argv[6], "aiff") == 0;
  const int channels = argc > 7 ? std::atoi(argv[7]) : 1;
  if (argc > 8) design.glide_cents = std::atof(argv[8]);
  if (design.sample_rate <= 0 || design.duration_s <= 0.0 || channels < 1 || channels > 8) {
    std::fprintf(stderr, "make_test_voice: bad rate, length or channel count\n");
    return 2;
  }
  // Short voices get a shorter onset and release so that some voice remains.
  if (design.duration_s < 0.5) {
    design.attack_s = design.duration_s * 0.1;
    design.release_s = design.duration_s * 0.1;
    design.tail_s = design.duration_s * 0.05;
    design.vibrato_fade_start_s = 0.0;
    design.vibrato_fade_end_s = design.duration_s;
  }
  const std::vector<int16_t> pcm =
      interleave(quillet::glottal::to_pcm16(quillet::glottal::synthesise_voice(design), design.peak), channels);
  const uint32_t rate = static_cast<uint32_t>(design.sample_rate);
  bool ok;
  if (aiff) {
    ok = write_aiff(argv[1], pcm, channels, rate);
  } else {
    const int32_t bytes = static_cast<int32_t>(pcm.size() * sizeof(int16_t));
    ok = quillet::write_wav(argv[1], pcm.data(), bytes, 16, channels, rate) == 0;
  }
  if (!ok) {
    std::fprintf(stderr, "make_test_voice: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
