// make_demo_voice: synthesises the bundled demo voice, a sung "a" around A3.
//
// A glottal pulse train (Rosenberg flow, differentiated for lip radiation)
// with a fading-in vibrato, per-cycle jitter and shimmer and breath noise
// gated by the glottal cycle goes through a cascade of vowel formant
// resonators. A soft onset and release frame the note. The result is written
// as a 44100 Hz mono 16-bit WAV peaking at about -6 dBFS. Every random draw
// comes from a fixed-seed generator, so each run writes the same bytes.
//
// Usage: make_demo_voice <output.wav>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_io/wav.h"
#include "glottal_voice.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo_voice <output.wav>\n");
    return 2;
  }
  const quillet::glottal::VoiceDesign design;
  const std::vector<int16_t> pcm = quillet::glottal::to_pcm16(quillet::glottal::synthesise_voice(design), design.peak);
  const int32_t bytes = static_cast<int32_t>(pcm.size() * sizeof(int16_t));
  if (quillet::write_wav(argv[1], pcm.data(), bytes, 16, 1, design.sample_rate) != 0) {
    std::fprintf(stderr, "make_demo_voice: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
