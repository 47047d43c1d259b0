// Voices written to files for the voice-bank tool's tests.
#pragma once

#include <string>

#include "glottal_voice.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet::test {

inline glottal::VoiceDesign bank_voice(double hz, int rate, const glottal::Formant* vowel,
                                       double seconds = 0.8) {
  glottal::VoiceDesign design;
  design.sample_rate = rate;
  design.duration_s = seconds;
  design.base_hz = hz;
  design.vowel.assign(vowel, vowel + 5);
  return design;
}

inline void write_bank_voice(const std::string& path, const glottal::VoiceDesign& design) {
  write_file_bytes(path, wav16(glottal::to_pcm16(glottal::synthesise_voice(design), design.peak), 1,
                               static_cast<uint32_t>(design.sample_rate)));
}

}  // namespace quillet::test
