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
  std::vector<double> saw(8192);
  for (int i = 0; i < 8192; ++i) {
    const double t = 123.4 * i / 48000.0;
    saw[i] = 8000.0 * (t - std::floor(t) - 0.5);
  }
  // A tone rich in harmonics is not taken for its octave; silence gives 0.
  const double measured = measure_pitch_hz(saw, 100, 8000, 48000.0, 80.0, 1000.0);
  EXPECT_NEAR(cents_between(measured, 123.4), 0.0, 0.2);
  EXPECT_EQ(measure_pitch_hz(std::vector<double>(8192), 0, 8192, 44100.0, 80.0, 1000.0), 0.0);
}

// A steady synthetic voice at voice_hz rendered at target_hz; the voiced
// signal of 20000 output samples.
struct PitchCase {
  int sample_rate;
  double voice_hz, target_hz, time_factor, fixed_ms, modulation;
};

std::vector<double> render_voice(const PitchCase& c) {
  test::SyntheticVoice voice;
  voice.f0 = c.voice_hz;
  voice.sample_rate = c.sample_rate;
  voice.seconds = 1.0;
  voice.vibrato_cents = voice.jitter = 0.0;
  voice.tail_frames = BLOCK_LENGTH;
  const int frames = test::synthetic_voice_frames(voice);
  FrequencyList list;
  list.freq_avg = c.voice_hz;
  list.length = frames / BLOCK_STEP + 1;
  list.freq.assign(static_cast<std::size_t>(list.length) + 1, c.voice_hz);

  RenderParams params;
  params.flags = "";
  params.rate_ratio = c.sample_rate / 44100.0;
  params.offset_samples = c.sample_rate / 20;
  params.sample_count = frames - 2 * params.offset_samples;
  params.time_factor = c.time_factor;
  params.input_step = params.rate_ratio / c.time_factor;
  params.fixed_in = c.sample_rate * c.fixed_ms * 0.001;
  params.fixed_out = params.fixed_in / params.rate_ratio;
  params.out_len = 20000;
  params.avg_freq = c.voice_hz;
  params.target_freq = c.target_hz;
  params.modulation = c.modulation;
  params.bend_freq.assign(list.freq.size(), c.target_hz);
  testing::internal::CaptureStdout();
  RenderedSignals out = resynthesize(params, test::synthetic_voice(voice), 1, list);
  std::fflush(stdout);
  testing::internal::GetCapturedStdout();
  return out.voiced;
}

TEST(RenderedPitchTest, VoicedNoteLandsOnTheTarget) {
  const PitchCase cases[] = {
      {44100, 220.0, 330.0, 1.0, 0.0, 100.0},     // a fifth up
      {44100, 220.0, 196.0, 2.5, 0.0, 100.0},     // down, stretched
      {44100, 150.0, 440.0, 0.8, 0.0, 0.0},       // follow the target alone
      {48000, 220.0, 440.0, 1.3, 0.0, 100.0},     // other input rates: the lag
      {48000, 180.0, 261.63, 0.7, 0.0, 60.0},     // is a period at that rate
      {22050, 200.0, 311.13, 1.7, 150.0, 100.0},  // after a fixed head
  };
  for (const PitchCase& c : cases) {
    const double measured = measure_pitch_hz(render_voice(c), 10000, 8192, 44100.0, 80.0, 1000.0);
    EXPECT_NEAR(cents_between(measured, c.target_hz), 0.0, 3.0)
        << c.sample_rate << " Hz input, " << c.voice_hz << " -> " << c.target_hz << " Hz";
  }
}

}  // namespace
}  // namespace quillet
