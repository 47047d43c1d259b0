#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "support/pitch_meter.h"
#include "support/synthetic_voice.h"
#include "synth/resynthesis.h"

namespace quillet {
namespace {

using test::cents_between;
using test::measure_pitch_hz;

TEST(PitchMeterTest, MeasuresKnownTones) {
  std::vector<double> sine(8192), saw(8192), silence(8192, 0.0);
  for (int i = 0; i < 8192; ++i) {
    sine[i] = 10000.0 * std::sin(2.0 * M_PI * 440.0 * i / 44100.0);
    const double t = 123.4 * i / 48000.0;
    saw[i] = 8000.0 * (t - std::floor(t) - 0.5);
  }
  EXPECT_NEAR(cents_between(measure_pitch_hz(sine, 0, 8192, 44100.0, 80.0, 1000.0), 440.0), 0.0,
              0.05);
  // A tone rich in harmonics is not taken for its octave.
  EXPECT_NEAR(cents_between(measure_pitch_hz(saw, 100, 8000, 48000.0, 80.0, 1000.0), 123.4), 0.0,
              0.2);
  EXPECT_EQ(measure_pitch_hz(silence, 0, 8192, 44100.0, 80.0, 1000.0), 0.0);
  EXPECT_EQ(measure_pitch_hz(sine, 0, 600, 44100.0, 80.0, 1000.0), 0.0);  // under two periods
  EXPECT_EQ(measure_pitch_hz(sine, 8000, 8192, 44100.0, 80.0, 1000.0), 0.0);  // past the end
  EXPECT_NEAR(cents_between(880.0, 440.0), 1200.0, 1e-9);
}

struct PitchCase {
  int sample_rate;
  double voice_hz;
  double target_hz;
  double time_factor;
  double fixed_ms;
  double modulation;
};

// Renders a steady synthetic voice at voice_hz and returns the voiced signal.
std::vector<double> render_voice(const PitchCase& c) {
  test::SyntheticVoice voice;
  voice.f0 = c.voice_hz;
  voice.sample_rate = c.sample_rate;
  voice.seconds = 1.0;
  voice.vibrato_cents = 0.0;
  voice.jitter = 0.0;
  voice.tail_frames = BLOCK_LENGTH;
  const SampleStore store = test::synthetic_voice(voice);
  const int frames = test::synthetic_voice_frames(voice);

  FrequencyList list;
  list.freq_avg = c.voice_hz;
  list.length = frames / BLOCK_STEP + 1;
  list.freq.assign(static_cast<std::size_t>(list.length) + 1, c.voice_hz);
  list.amp.assign(list.freq.size(), 1.0);

  RenderParams params;
  params.flags = "";
  params.rate_ratio = c.sample_rate / 44100.0;
  params.offset_samples = c.sample_rate / 20;
  params.sample_count = frames - params.offset_samples - c.sample_rate / 20;
  params.time_factor = c.time_factor;
  params.input_step = params.rate_ratio / c.time_factor;
  if (c.fixed_ms > 0.0) {
    params.fixed_in = c.sample_rate * c.fixed_ms * 0.001;
    params.fixed_out = params.fixed_in / params.rate_ratio;
  }
  params.out_len = 20000;
  params.avg_freq = c.voice_hz;
  params.target_freq = c.target_hz;
  params.modulation = c.modulation;
  params.bend_last = list.length;
  params.bend_freq.assign(static_cast<std::size_t>(list.length) + 1, c.target_hz);
  testing::internal::CaptureStdout();
  RenderedSignals out = resynthesize(params, store, 1, list);
  std::fflush(stdout);
  testing::internal::GetCapturedStdout();
  return out.voiced;
}

TEST(RenderedPitchTest, VoicedNoteLandsOnTheTarget) {
  const PitchCase cases[] = {
      {44100, 220.0, 330.0, 1.0, 0.0, 100.0},     // a fifth up
      {44100, 220.0, 196.0, 2.5, 0.0, 100.0},     // down, stretched
      {44100, 150.0, 440.0, 0.8, 0.0, 0.0},       // follow the target alone
      {48000, 220.0, 440.0, 1.3, 0.0, 100.0},     // another input rate
      {48000, 180.0, 261.63, 0.7, 0.0, 60.0},
      {22050, 200.0, 311.13, 1.7, 150.0, 100.0},  // after a fixed head
  };
  for (const PitchCase& c : cases) {
    const std::vector<double> voiced = render_voice(c);
    const double measured = measure_pitch_hz(voiced, 10000, 8192, 44100.0, 80.0, 1000.0);
    EXPECT_NEAR(cents_between(measured, c.target_hz), 0.0, 3.0)
        << c.sample_rate << " Hz input at " << c.voice_hz << " Hz to " << c.target_hz
        << " Hz measured " << measured;
  }
}

}  // namespace
}  // namespace quillet
