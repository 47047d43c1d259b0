#include "support/synthetic_voice.h"

#include <algorithm>
#include <cmath>

#include "seeded_random.h"

namespace quillet::test {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Two-pole resonator y[n] = g x[n] + a1 y[n-1] + a2 y[n-2] with unit gain at
// its centre frequency (approximately).
struct Resonator {
  double a1 = 0.0, a2 = 0.0, gain = 1.0;
  double y1 = 0.0, y2 = 0.0;
};

Resonator make_resonator(double centre_hz, double bandwidth_hz, int sample_rate) {
  const double r = std::exp(-kTwoPi * 0.5 * bandwidth_hz / sample_rate);
  Resonator res;
  res.a1 = 2.0 * r * std::cos(kTwoPi * centre_hz / sample_rate);
  res.a2 = -r * r;
  res.gain = 1.0 - r;
  return res;
}

double resonate(Resonator& res, double x) {
  const double y = res.gain * x + res.a1 * res.y1 + res.a2 * res.y2;
  res.y2 = res.y1;
  res.y1 = y;
  return y;
}

// Pulse train with a fractional pulse position spread over two samples, so the
// period is not locked to whole samples.
std::vector<double> pulse_train(const SyntheticVoice& voice, int frames) {
  std::vector<double> pulses(static_cast<size_t>(frames) + 1, 0.0);
  SeededRandom random{voice.seed * 0x2545F4914F6CDD1Dull + 7};
  double period_scale = 1.0 + voice.jitter * next_uniform(random);
  double phase = 0.0;
  for (int n = 0; n < frames; ++n) {
    const double step = synthetic_voice_f0_at(voice, n) * period_scale / voice.sample_rate;
    phase += step;
    if (phase < 1.0) continue;
    if (!synthetic_voice_voiced_at(voice, n)) {
      phase -= 1.0;
      continue;
    }
    phase -= 1.0;
    const double past = phase / step;  // how far before sample n the pulse fell
    pulses[n] += 1.0 - past;
    if (n > 0) pulses[n - 1] += past;
    period_scale = 1.0 + voice.jitter * next_uniform(random);
  }
  pulses.resize(frames);
  return pulses;
}

// White noise of breath times the voice's peak, from its own generator.
void add_breath(std::vector<double>& signal, const SyntheticVoice& voice) {
  double peak = 0.0;
  for (double value : signal) peak = std::max(peak, std::fabs(value));
  SeededRandom random{voice.seed * 0x9E3779B97F4A7C15ull + 11};
  for (double& value : signal) value += voice.breath * peak * next_uniform(random);
}

std::vector<double> shaped_voice(const SyntheticVoice& voice, int frames) {
  std::vector<double> signal = pulse_train(voice, frames);
  Resonator first = make_resonator(voice.formant1_hz, 90.0, voice.sample_rate);
  Resonator second = make_resonator(voice.formant2_hz, 110.0, voice.sample_rate);
  double tilt = 0.0;  // one-pole low-pass: the falling spectrum of a glottal source
  for (double& value : signal) {
    tilt = 0.6 * tilt + value;
    value = resonate(first, tilt) + 0.5 * resonate(second, tilt) + 0.05 * tilt;
  }
  if (voice.breath > 0.0) add_breath(signal, voice);
  const int ramp = std::max(1, voice.sample_rate / 100);
  for (int n = 0; n < std::min(ramp, frames); ++n) {
    const double gain = 0.5 - 0.5 * std::cos(kTwoPi * 0.5 * n / ramp);
    signal[n] *= gain;
    signal[frames - 1 - n] *= gain;
  }
  return signal;
}

int16_t to_sample(double value) {
  const double rounded = std::round(std::clamp(value, -32768.0, 32767.0));
  return static_cast<int16_t>(rounded);
}

}  // namespace

int synthetic_voice_frames(const SyntheticVoice& voice) {
  return static_cast<int>(std::lround(voice.seconds * voice.sample_rate));
}

double synthetic_voice_f0_at(const SyntheticVoice& voice, double frame) {
  const double t = frame / voice.sample_rate;
  const double glide = voice.glide_cents == 0.0 ? 0.0 : voice.glide_cents / 1200.0 * t / voice.seconds;
  return voice.f0 * std::pow(2.0, voice.vibrato_cents / 1200.0 * std::sin(kTwoPi * voice.vibrato_hz * t) + glide);
}

bool synthetic_voice_voiced_at(const SyntheticVoice& voice, double frame) {
  const double t = frame / voice.sample_rate;
  if (t < 0.0 || t >= voice.seconds) return false;
  return !(voice.gap_seconds > 0.0 && t >= voice.gap_start && t < voice.gap_start + voice.gap_seconds);
}

std::vector<int16_t> synthetic_voice(const SyntheticVoice& voice) {
  const int frames = std::max(0, synthetic_voice_frames(voice));
  const std::vector<double> signal = shaped_voice(voice, frames);
  double peak = 0.0;
  for (double value : signal) peak = std::max(peak, std::fabs(value));
  const double scale = peak > 0.0 ? voice.amplitude / peak : 0.0;
  std::vector<int16_t> samples(static_cast<size_t>(frames + std::max(0, voice.tail_frames)), 0);
  for (int n = 0; n < frames; ++n) samples[n] = to_sample(signal[n] * scale);
  return samples;
}

std::vector<int16_t> white_noise(int frames, double amplitude, uint32_t seed, int tail_frames) {
  frames = std::max(0, frames);
  std::vector<int16_t> samples(static_cast<size_t>(frames + std::max(0, tail_frames)), 0);
  SeededRandom random{seed * 0x9E3779B97F4A7C15ull + 3};
  for (int n = 0; n < frames; ++n) samples[n] = to_sample(amplitude * next_uniform(random));
  return samples;
}

std::vector<double> noise_values(int count, double amplitude, uint32_t seed) {
  std::vector<double> values(static_cast<size_t>(std::max(0, count)));
  SeededRandom random{seed * 0x9E3779B97F4A7C15ull + 5};
  for (double& value : values) value = amplitude * next_uniform(random);
  return values;
}

std::vector<int16_t> jagged_store(int frames, int period) {
  std::vector<int16_t> samples(static_cast<size_t>(std::max(0, frames)) + 3072, 0);
  for (int i = 0; i < frames; ++i) samples[i] = static_cast<int16_t>(i % period * 7919 % 20001 - 10000);
  return samples;
}

}  // namespace quillet::test
