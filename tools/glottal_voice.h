// The glottal voice synthesiser: a glottal pulse train (Rosenberg flow,
// differentiated for lip radiation) with a fading-in vibrato, per-cycle
// jitter and shimmer and breath noise gated by the glottal cycle, through a
// cascade of vowel formant resonators, with a soft onset and release. Every
// random draw comes from a fixed-seed generator, so a design always gives the
// same samples. The demo voice and the accuracy table both sing with it.
#pragma once

#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "core/constants.h"
#include "seeded_random.h"

namespace quillet::glottal {

struct Formant {
  double hz;
  double bandwidth_hz;
};

// The vowel "a".
inline constexpr Formant kVowelA[] = {
    {800.0, 80.0}, {1200.0, 90.0}, {2500.0, 120.0}, {3500.0, 200.0}, {4500.0, 260.0}};

// The vowels "i" and "u".
inline constexpr Formant kVowelI[] = {
    {270.0, 60.0}, {2290.0, 90.0}, {3010.0, 150.0}, {3500.0, 200.0}, {4500.0, 260.0}};
inline constexpr Formant kVowelU[] = {
    {300.0, 60.0}, {870.0, 80.0}, {2240.0, 120.0}, {3500.0, 200.0}, {4500.0, 260.0}};

// Everything that shapes a voice, in one place; the defaults make the demo voice.
struct VoiceDesign {
  int sample_rate = OUTPUT_RATE;
  double duration_s = 1.5;
  double base_hz = 220.0;  // A3
  double vibrato_hz = 5.5;
  double vibrato_cents = 20.0;
  double vibrato_fade_start_s = 0.25;
  double vibrato_fade_end_s = 0.75;
  double jitter = 0.005;   // relative standard deviation of each cycle's period
  double shimmer = 0.04;   // relative standard deviation of each cycle's amplitude
  double open_rise = 0.40; // opening phase, fraction of the cycle
  double open_fall = 0.16; // closing phase, fraction of the cycle
  double breath_level = 0.01;
  double attack_s = 0.08;
  double release_s = 0.15;
  double tail_s = 0.02;    // silence after the release
  double peak = 0.5;       // -6 dBFS
  uint64_t seed = 0x5157494c4c4554ULL;
  std::vector<Formant> vowel{std::begin(kVowelA), std::end(kVowelA)};
  double glide_cents = 0.0;  // the pitch moves this far, evenly in cents, over the sound
};

// Roughly Gaussian with unit variance (sum of four uniforms), bounded at +-3.5.
inline double next_gaussian(SeededRandom& random) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += next_uniform(random);
  return sum * std::sqrt(3.0 / 4.0);
}

// Second-order resonator with unit gain at 0 Hz.
struct Resonator {
  double a = 0.0, b = 0.0, c = 0.0;
  double y1 = 0.0, y2 = 0.0;
};

inline Resonator make_resonator(const Formant& formant, int sample_rate) {
  const double t = 1.0 / sample_rate;
  Resonator r;
  r.c = -std::exp(-2.0 * PI * formant.bandwidth_hz * t);
  r.b = 2.0 * std::exp(-PI * formant.bandwidth_hz * t) * std::cos(2.0 * PI * formant.hz * t);
  r.a = 1.0 - r.b - r.c;
  return r;
}

inline double resonate(Resonator& r, double x) {
  const double y = r.a * x + r.b * r.y1 + r.c * r.y2;
  r.y2 = r.y1;
  r.y1 = y;
  return y;
}

// Rosenberg glottal flow over one cycle, phase in [0, 1): a raised-cosine
// opening, a quarter-cosine closing, then the closed phase. Peak 1.
inline double glottal_flow(double phase, double rise, double fall) {
  if (phase < rise) return 0.5 * (1.0 - std::cos(PI * phase / rise));
  if (phase < rise + fall) return std::cos(0.5 * PI * (phase - rise) / fall);
  return 0.0;
}

// 0 before start, 1 after end, a raised-cosine ramp in between.
inline double smooth_ramp(double t, double start, double end) {
  if (t <= start) return 0.0;
  if (t >= end) return 1.0;
  return 0.5 * (1.0 - std::cos(PI * (t - start) / (end - start)));
}

// The pitch at t above base_hz, in cents: the vibrato and the glide.
inline double vibrato_cents(const VoiceDesign& d, double t) {
  const double depth = d.vibrato_cents * smooth_ramp(t, d.vibrato_fade_start_s, d.vibrato_fade_end_s);
  return depth * std::sin(2.0 * PI * d.vibrato_hz * t) + d.glide_cents * t / d.duration_s;
}

// Soft onset and release.
inline double loudness(const VoiceDesign& d, double t) {
  const double release_end = d.duration_s - d.tail_s;
  return smooth_ramp(t, 0.0, d.attack_s) *
         (1.0 - smooth_ramp(t, release_end - d.release_s, release_end));
}

// The state of the pulse train: where in the cycle we are and the jitter and
// shimmer drawn for the current cycle.
struct Glottis {
  double phase = 0.0;
  double period_factor = 1.0;
  double amplitude = 1.0;
  double last_flow = 0.0;
};

inline void start_cycle(Glottis& g, const VoiceDesign& d, SeededRandom& random) {
  g.period_factor = 1.0 + d.jitter * next_gaussian(random);
  g.amplitude = 1.0 + d.shimmer * next_gaussian(random);
}

// One sample of source: the radiated glottal pulse plus breath noise that is
// strongest while the glottis is open.
inline double source_sample(Glottis& g, const VoiceDesign& d, SeededRandom& random, double t) {
  const double hz = d.base_hz * std::pow(2.0, vibrato_cents(d, t) / 1200.0);
  g.phase += hz / (d.sample_rate * g.period_factor);
  if (g.phase >= 1.0) {
    g.phase -= 1.0;
    start_cycle(g, d, random);
  }
  const double shape = glottal_flow(g.phase, d.open_rise, d.open_fall);
  const double flow = g.amplitude * shape;
  const double pulse = flow - g.last_flow;
  g.last_flow = flow;
  const double breath = d.breath_level * (0.25 + 0.75 * shape) * next_uniform(random);
  return pulse + breath;
}

inline std::vector<double> synthesise_voice(const VoiceDesign& d) {
  const int count = static_cast<int>(d.duration_s * d.sample_rate + 0.5);
  SeededRandom random{d.seed};
  Glottis glottis;
  start_cycle(glottis, d, random);
  std::vector<Resonator> tract;
  for (const Formant& f : d.vowel) tract.push_back(make_resonator(f, d.sample_rate));

  std::vector<double> out(count);
  double previous_in = 0.0, previous_out = 0.0;  // DC blocker
  for (int n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / d.sample_rate;
    double x = loudness(d, t) * source_sample(glottis, d, random, t);
    for (Resonator& r : tract) x = resonate(r, x);
    previous_out = x - previous_in + 0.995 * previous_out;
    previous_in = x;
    out[n] = previous_out;
  }
  return out;
}

// Scales so that the largest magnitude becomes peak (of full scale) and rounds
// to 16 bits.
inline std::vector<int16_t> to_pcm16(const std::vector<double>& signal, double peak) {
  double largest = 0.0;
  for (double v : signal) largest = std::fmax(largest, std::fabs(v));
  const double gain = largest > 0.0 ? peak * 32767.0 / largest : 0.0;
  std::vector<int16_t> pcm(signal.size());
  for (size_t i = 0; i < signal.size(); ++i) {
    pcm[i] = static_cast<int16_t>(std::lround(signal[i] * gain));
  }
  return pcm;
}

}  // namespace quillet::glottal
