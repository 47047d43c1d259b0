#include "analysis/accurate_pitch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "analysis/pitch_analysis.h"
#include "analysis/pitch_passes.h"
#include "glottal_voice.h"
#include "support/console.h"
#include "support/fixtures.h"
#include "support/pitch_meter.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using namespace test;

struct VoiceCase {
  const char* name;
  const glottal::Formant* vowel;
  double f0;
  int rate;
};

struct Errors {
  int scored = 0;   // steps of known pitch
  int voiced = 0;   // of those, steps the analysis calls voiced
  int octave = 0;   // voiced steps off by more than 600 cents
  int gross = 0;    // voiced steps off by more than 20 %
  std::vector<double> cents;
};

double median_of(std::vector<double> values) {
  if (values.empty()) return 1e9;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

SampleStore glottal_store(const glottal::VoiceDesign& design) {
  const std::vector<int16_t> pcm = glottal::to_pcm16(glottal::synthesise_voice(design), design.peak);
  SampleStore store(pcm.begin(), pcm.end());
  store.resize(store.size() + BLOCK_LENGTH, 0);
  return store;
}

glottal::VoiceDesign design_of(const VoiceCase& c) {
  glottal::VoiceDesign design;
  design.sample_rate = c.rate;
  design.duration_s = 0.6;
  design.base_hz = c.f0;
  design.jitter = 0.001;
  design.vowel.assign(c.vowel, c.vowel + 5);
  return design;
}

// Steps between the end of the onset and the start of the release, 40 ms in.
Errors errors_of(const FrequencyList& list, const glottal::VoiceDesign& d) {
  Errors e;
  for (int i = 0; i + 1 < static_cast<int>(list.freq.size()); ++i) {
    const double t = static_cast<double>(i) * BLOCK_STEP / d.sample_rate;
    if (t < d.attack_s + 0.04 || t > d.duration_s - d.tail_s - d.release_s - 0.04) continue;
    ++e.scored;
    if (list.freq[i] == UNVOICED_HZ) continue;
    ++e.voiced;
    const double truth = d.base_hz * std::pow(2.0, glottal::vibrato_cents(d, t) / 1200.0);
    const double cents = std::fabs(cents_between(list.freq[i], truth));
    e.octave += cents > 600.0;
    e.gross += std::fabs(list.freq[i] / truth - 1.0) > 0.2;
    e.cents.push_back(cents);
  }
  return e;
}

TEST(AccuratePitch, FindsThePitchOfVowelsWithoutOctaveOrGrossErrors) {
  // A 440 Hz /i/ and 22.05 kHz voices, which the renderer's analysis gets
  // wrong; a 440 Hz /a/, whose second harmonic outweighs the first; a low
  // and a high voice.
  const VoiceCase cases[] = {
      {"/i/ 440 Hz", glottal::kVowelI, 440.0, 44100}, {"/i/ 220 Hz", glottal::kVowelI, 220.0, 22050},
      {"/a/ 440 Hz", glottal::kVowelA, 440.0, 44100}, {"/a/ 440 Hz", glottal::kVowelA, 440.0, 22050},
      {"/i/ 880 Hz", glottal::kVowelI, 880.0, 44100}, {"/u/ 110 Hz", glottal::kVowelU, 110.0, 48000},
      {"/u/ 70 Hz", glottal::kVowelU, 70.0, 22050},
  };
  for (const VoiceCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " at " << c.rate);
    const glottal::VoiceDesign design = design_of(c);
    const SampleStore store = glottal_store(design);
    const int frames = static_cast<int>(store.size()) - BLOCK_LENGTH;
    const FrequencyList list = analyse_pitch_accurate(store, frames, c.rate, 1, grid_at(c.rate));
    const Errors e = errors_of(list, design);
    ASSERT_GT(e.scored, 20);
    EXPECT_GE(e.voiced, e.scored * 95 / 100);
    EXPECT_EQ(e.octave, 0);
    EXPECT_LE(e.gross * 100, e.voiced);
    EXPECT_LE(median_of(e.cents), 3.0);
  }
}

TEST(AccuratePitch, HighBreathyVoicesKeepTheirPitchToAFewCents) {
  // Breath rings in the formants for a few milliseconds, longer than a high
  // voice's period, and pulls a one-period measure off by tens of cents.
  for (int rate : {32000, 44100}) {
    SCOPED_TRACE(rate);
    const VoiceCase c{"/a/ 1500 Hz", glottal::kVowelA, 1500.0, rate};
    glottal::VoiceDesign design = design_of(c);
    design.breath_level = 0.1;
    const SampleStore store = glottal_store(design);
    const int frames = static_cast<int>(store.size()) - BLOCK_LENGTH;
    const Errors e = errors_of(analyse_pitch_accurate(store, frames, rate, 1, grid_at(rate)), design);
    ASSERT_GT(e.scored, 20);
    EXPECT_GE(e.voiced, e.scored * 95 / 100);
    EXPECT_EQ(e.octave, 0);
    EXPECT_LE(median_of(e.cents), 5.0);
  }
}

TEST(AccuratePitch, WorksAtLowAndHighRates) {
  const struct {
    int rate;
    double f0;
  } cases[] = {{1102, 100.0}, {8000, 200.0}, {11025, 1400.0}, {96000, 55.0}, {192000, 300.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.f0 << " Hz at " << c.rate);
    SyntheticVoice voice{.f0 = c.f0, .sample_rate = c.rate, .seconds = 0.5, .vibrato_cents = 0.0,
                         .jitter = 0.0, .tail_frames = BLOCK_LENGTH};
    voice.formant1_hz = std::min(700.0, 0.3 * c.rate);
    voice.formant2_hz = std::min(1150.0, 0.4 * c.rate);
    const int frames = synthetic_voice_frames(voice);
    const FrequencyList list =
        analyse_pitch_accurate(synthetic_voice(voice), frames, c.rate, 1, grid_at(c.rate));
    int inside = 0, right = 0;
    for (int i = 0; i * BLOCK_STEP < frames; ++i) {
      const double t = static_cast<double>(i) * BLOCK_STEP / c.rate;
      if (t < 0.06 || t > 0.44) continue;
      ++inside;
      right += list.freq[i] != UNVOICED_HZ && std::fabs(cents_between(list.freq[i], c.f0)) < 10.0;
    }
    ASSERT_GT(inside, 0);
    EXPECT_GE(right, inside * 95 / 100) << right << " of " << inside;
  }
}

// The list has the renderer's shape: its steps, its amplitudes bit for bit,
// its average rule on these frequencies, 55.0 for unvoiced steps.
TEST(AccuratePitch, ListHasTheShapeOfTheRenderersList) {
  SyntheticVoice voice{.f0 = 200.0, .sample_rate = 44100, .seconds = 1.0, .tail_frames = BLOCK_LENGTH};
  voice.gap_start = 0.4;
  voice.gap_seconds = 0.3;
  std::vector<int16_t> store = synthetic_voice(voice);
  const int frames = synthetic_voice_frames(voice) - 100;  // not a whole number of steps
  const FrequencyList list = analyse_pitch_accurate(store, frames, 44100, 1, grid_at(44100));
  const int nsteps = frames / BLOCK_STEP;
  ASSERT_EQ(list.length, nsteps + 1);
  ASSERT_EQ(list.freq.size(), static_cast<size_t>(nsteps) + 2);
  ASSERT_EQ(list.amp.size(), static_cast<size_t>(nsteps) + 2);
  EXPECT_EQ(list.freq[nsteps + 1], list.freq[nsteps]);
  EXPECT_EQ(list.amp[nsteps + 1], list.amp[nsteps]);

  ScratchDir dir;
  FrequencyList written;
  console_of([&] { written = analyse_pitch(dir.file("v.wav"), "G", store, frames, 44100, 1, grid_at(44100)); });
  ASSERT_EQ(written.amp.size(), list.amp.size());
  for (size_t i = 0; i < list.amp.size(); ++i) EXPECT_EQ(list.amp[i], written.amp[i]) << i;

  EXPECT_EQ(list.freq_avg, continuity_average(list.freq.data(), list.amp.data(), nsteps));
  EXPECT_NEAR(cents_between(list.freq_avg, 200.0), 0.0, 10.0);
  int gap_steps = 0;
  for (int i = 0; i <= nsteps; ++i) {
    const double t = static_cast<double>(i) * BLOCK_STEP / 44100;
    if (t > 0.46 && t < 0.64) {
      ++gap_steps;
      EXPECT_EQ(list.freq[i], UNVOICED_HZ) << i;
    } else if (t > 0.06 && t < 0.34) {
      EXPECT_NEAR(cents_between(list.freq[i], synthetic_voice_f0_at(voice, i * 256.0)), 0.0, 5.0) << i;
    }
  }
  EXPECT_GT(gap_steps, 20);
}

TEST(AccuratePitch, SilenceNoiseAndEmptySoundsAreUnvoiced) {
  const struct {
    const char* name;
    std::vector<int16_t> store;
    int frames;
  } cases[] = {
      {"silence", std::vector<int16_t>(44100 / 2 + BLOCK_LENGTH, 0), 44100 / 2},
      {"white noise", white_noise(44100 / 2, 8000.0, 3, BLOCK_LENGTH), 44100 / 2},
      {"shorter than a step", std::vector<int16_t>(100 + BLOCK_LENGTH, 500), 100},
      {"no frames", std::vector<int16_t>(BLOCK_LENGTH, 0), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FrequencyList list = analyse_pitch_accurate(c.store, c.frames, 44100, 1, grid_at(44100));
    ASSERT_EQ(list.freq.size(), static_cast<size_t>(c.frames / BLOCK_STEP) + 2);
    int voiced = 0;
    for (double f : list.freq) voiced += f != UNVOICED_HZ;
    EXPECT_LE(voiced * 20, static_cast<int>(list.freq.size())) << voiced;
    if (voiced == 0) {
      EXPECT_EQ(list.freq_avg, UNVOICED_HZ);
    }
  }
}

TEST(AccuratePitch, ReadsChannelZeroOfAStereoStore) {
  SyntheticVoice left{.f0 = 180.0, .sample_rate = 44100, .seconds = 0.5, .tail_frames = BLOCK_LENGTH};
  SyntheticVoice right = left;
  right.f0 = 300.0;
  const std::vector<int16_t> a = synthetic_voice(left);
  const std::vector<int16_t> b = synthetic_voice(right);
  SampleStore stereo(2 * a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    stereo[2 * i] = a[i];
    stereo[2 * i + 1] = b[i];
  }
  const int frames = synthetic_voice_frames(left);
  const FrequencyList list = analyse_pitch_accurate(stereo, frames, 44100, 2, grid_at(44100));
  EXPECT_NEAR(cents_between(list.freq_avg, 180.0), 0.0, 10.0);
  for (int i = 10; i < frames / BLOCK_STEP - 10; ++i) {
    EXPECT_NEAR(cents_between(list.freq[i], 180.0), 0.0, 20.0) << i;
  }
}

TEST(AccuratePitch, ThreadsGiveTheSingleThreadsBits) {
  // A glide with a gap, so that parts fall on voiced and unvoiced steps alike.
  SyntheticVoice voice{.f0 = 200.0, .sample_rate = 44100, .seconds = 1.2, .tail_frames = BLOCK_LENGTH,
                       .glide_cents = 700.0, .breath = 0.05, .gap_start = 0.5, .gap_seconds = 0.15};
  const SampleStore store = synthetic_voice(voice);
  const int frames = synthetic_voice_frames(voice);
  const FrequencyList one = analyse_pitch_accurate(store, frames, 44100, 1, grid_at(44100), 1);
  for (int threads : {2, 3, 7}) {
    const FrequencyList many = analyse_pitch_accurate(store, frames, 44100, 1, grid_at(44100), threads);
    ASSERT_EQ(many.freq.size(), one.freq.size());
    for (size_t i = 0; i < one.freq.size(); ++i) {
      EXPECT_EQ(std::memcmp(&many.freq[i], &one.freq[i], sizeof(double)), 0) << threads << " " << i;
    }
    EXPECT_EQ(std::memcmp(&many.freq_avg, &one.freq_avg, sizeof(double)), 0) << threads;
  }
}

}  // namespace
}  // namespace quillet
