// Synthetic sound for tests: a voiced tone (a pulse train through two formant
// resonators, with slight vibrato and jitter), white noise and a jagged
// pattern. Every generator is deterministic: the same settings and seed give
// the same samples on every machine.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

namespace quillet::test {

struct SyntheticVoice {
  double f0 = 220.0;             // mean fundamental, Hz
  int sample_rate = 44100;       // frames per second
  double seconds = 0.5;          // length of the sound
  double amplitude = 12000.0;    // peak absolute sample value (16-bit scale)
  double vibrato_cents = 15.0;   // peak deviation of the vibrato from f0, cents
  double vibrato_hz = 5.5;       // vibrato rate
  double jitter = 0.002;         // relative random change of each period (uniform, +-)
  uint32_t seed = 1;             // seed of the jitter generator
  int tail_frames = 0;           // zero frames appended (3072 for a sample store)
  double formant1_hz = 700.0;    // first resonator
  double formant2_hz = 1150.0;   // second resonator
  double glide_cents = 0.0;      // the pitch moves this far, evenly in cents, over the sound
  double breath = 0.0;           // white noise added throughout, relative to the voice's peak
  double gap_start = 0.0;        // a stretch without pulses: its start, seconds
  double gap_seconds = 0.0;      // and its length (0: none)
};

// Whether the pulses run at frame (outside the gap and inside the sound).
bool synthetic_voice_voiced_at(const SyntheticVoice& voice, double frame);

// Number of frames of sound (without the tail): seconds * sample_rate, rounded.
int synthetic_voice_frames(const SyntheticVoice& voice);

// Fundamental in Hz that the vibrato and the glide give at frame (jitter not
// included).
double synthetic_voice_f0_at(const SyntheticVoice& voice, double frame);

// Mono int16 samples: synthetic_voice_frames frames of sound, then
// tail_frames zero frames. The sound fades in and out over 10 ms.
std::vector<int16_t> synthetic_voice(const SyntheticVoice& voice);

// frames frames of uniform white noise of peak amplitude, mono, followed by
// tail_frames zero frames.
std::vector<int16_t> white_noise(int frames, double amplitude, uint32_t seed, int tail_frames);

// count doubles uniform in [-amplitude, amplitude).
std::vector<double> noise_values(int count, double amplitude, uint32_t seed);

// A mono store: frames frames of (i mod period) x 7919 mod 20001 - 10000, a
// pattern with no smooth stretch, then a zero tail of 3072 frames.
std::vector<int16_t> jagged_store(int frames, int period = INT_MAX);

}  // namespace quillet::test
