#include "driver/post_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;
using Samples = std::vector<double>;

TEST(PostProcessStages, SmoothingWeightsAndOperators) {
  // h50 and the one-pole pass itself: the h50 note further down.
  EXPECT_EQ(one_pole_weight("LH100", 'H'), std::sqrt(0.9999999));
  for (const char* none : {"h", "h-20", "L"}) EXPECT_EQ(one_pole_weight(none, 'h'), 0.0) << none;
  // A bare c scales the default too; without c the default is kept as it is.
  for (const auto& [flags, weight] :
       {std::pair{"c", 0.5 * 0.01}, {"c30", 30 * 0.01}, {"c250", 1.0}, {"c-1", 0.0}, {"L", 0.5}}) {
    EXPECT_EQ(three_tap_weight(flags, 'c', 0.5), weight) << flags;
  }
  // Three-tap from the values before the pass, the spare tail read past
  // out_len; without a tail nothing is read past the vector.
  struct Case { double w; int d; Samples expected; };
  for (const Case& c : {Case{1.0, 1, {2, 1, 2, 4, 0, 0, 0}}, Case{1.0, 2, {2, 2, 1, 4, 0, 0, 0}},
                        Case{0.5, 1, {3, 0.5, 1, 6, 0, 0, 0}}, Case{1.0, 3, {4, 0, 0, 5}}}) {
    Samples y = {4, 0, 0, 8, 0, 0, 0};
    y.resize(c.expected.size());
    three_tap_smooth(y, 4, c.w, c.d);
    EXPECT_EQ(y, c.expected) << c.w << " " << c.d;
  }
}

TEST(PostProcessStages, ThreeTapInPlaceMatchesTheTwoPassForm) {
  // Every tap distance gives the bits of s from the old values first, then
  // the blend; at distance 0 all three taps read the sample itself.
  Samples start(310);
  for (std::size_t i = 0; i < start.size(); ++i) start[i] = std::sin(0.37 * i) * 1000.0 + 0.1 * i;
  for (int d = 0; d <= 12; ++d) {
    const int out_len = 290;  // the last entries stay: the spare tail
    std::vector<double> s(out_len);
    for (int i = 0; i < out_len; ++i) {
      s[i] = 0.5 * start[i] + 0.25 * start[i + d];
      if (i >= d) s[i] = s[i] + 0.25 * start[i - d];
    }
    Samples expected = start;
    for (int i = 0; i < out_len; ++i) expected[i] = 0.3 * s[i] + (1 - 0.3) * start[i];
    Samples y = start;
    three_tap_smooth(y, out_len, 0.3, d);
    EXPECT_EQ(y, expected) << "d " << d;
  }
}

TEST(PostProcessStages, BreathinessMixes) {
  struct Case { const char* flags; char letter; double voice, breath; const char* line; };
  for (const Case& c : {Case{"B0", 'B', 1.0, 0.0, "Bre=0.0\n"}, Case{"B25", 'B', 1.0, 0.5, "Bre=25.0\n"},
                        Case{"B50", 'B', 1.0, 1.0, "Bre=50.0\n"}, Case{"B75", 'B', 0.5, 1.0, "Bre=75.0\n"},
                        Case{"B100", 'B', 0.0, 1.0, "Bre=100.0\n"}, Case{"B120", 'B', 1.0, 1.0, "Bre=120.0\n"},
                        Case{"B-5", 'B', 1.0, 1.0, "Bre=-5.0\n"}, Case{"Bq", 'B', 1.0, 1.0, "Bre=50.0\n"},
                        Case{"LB", 'B', 1.0, 1.0, ""},  // last character: untouched, silent
                        // The second mix starts from pure voice, defaults to 0, prints nothing.
                        Case{"b30", 'b', 1.0, 0.6, ""}, Case{"bq", 'b', 1.0, 0.0, ""},
                        Case{"Lb", 'b', 1.0, 0.0, ""}}) {
    const bool first = c.letter == 'B';
    MixWeights w;
    const std::string console = console_of([&] {
      w = mix_weights(c.flags, c.letter, first ? 50.0 : 0.0, first ? MixWeights{} : MixWeights{1.0, 0.0}, first);
    });
    EXPECT_DOUBLE_EQ(w.voice, c.voice) << c.flags;
    EXPECT_DOUBLE_EQ(w.breath, c.breath) << c.flags;
    EXPECT_EQ(console, c.line) << c.flags;
  }
  Samples y = {1, 2, 3, 4};
  mix_signals(y, {10, 20}, 4, MixWeights{0.5, 1.0});  // a short z reads 0 past its end
  EXPECT_EQ(y, (Samples{10.5, 21, 1.5, 2}));
}

// The stages before the filter in one pass give the numbers and the line of
// the stages one after the other: the default smoothing, a set one, none
// (after the one-pole smoothing, or set to 0), each with and without a mix,
// and a breath signal shorter than the note.
TEST(PostProcessStages, SmoothingAndMixInOnePassMatchTheStages) {
  Samples start(400), breath(350);
  for (std::size_t i = 0; i < start.size(); ++i) start[i] = std::sin(0.37 * i) * 1000.0 + 0.1 * i;
  for (std::size_t i = 0; i < breath.size(); ++i) breath[i] = std::cos(1.3 * i) * 300.0;
  const int out_len = 380;
  for (const char* flags : {"", "c30", "c0", "h50", "h50c20", "B20", "B70c80", "h30B90"}) {
    Samples staged = start;
    const std::string staged_line = console_of([&] {
      const double a = one_pole_weight(flags, 'h');
      if (a > 0.0) one_pole_smooth(staged, out_len, a);
      const double w = three_tap_weight(flags, 'c', a > 0.0 ? 0.0 : 0.5);
      if (w > 0.0) three_tap_smooth(staged, out_len, w, 1);
      mix_signals(staged, breath, out_len, mix_weights(flags, 'B', 50.0, MixWeights{}, true));
    });
    Samples fused = start;
    const std::string fused_line = console_of([&] { smooth_and_mix_before_filter(flags, fused, breath, out_len); });
    EXPECT_EQ(fused, staged) << flags;
    EXPECT_EQ(fused_line, staged_line) << flags;
  }
}

TEST(PostProcessStages, BandIndexNormalisationAndClipping) {
  struct Case { const char* flags; double target; int band_index; };
  for (const Case& c : {Case{"L", 440.0, 17},     // trunc(30.65 + 0.5) = 31, then 17
                        Case{"F1", 440.0, 10},    // trunc(10.22 + 0.5)
                        Case{"L5", 440.0, 5}, Case{"K2", 440.0, 9},  // average 200: trunc(9.29 + 0.5)
                        Case{"F1K", 440.0, 5},    // K keeps F's factor: trunc(4.64 + 0.5)
                        Case{"K-3", 440.0, -13},  // no lower limit
                        Case{"F", 1e300, 17}}) {  // saturates, then 17
    EXPECT_EQ(filter_band_index(c.flags, c.target, 200.0), c.band_index) << c.flags;
  }
  EXPECT_EQ(normalisation_gain("L", 8192.0), 16384.0 / 8192.0 * 0.86 + (1 - 0.86));
  for (const auto& [flags, gain] : {std::pair{"P100", 4.0}, {"P150", 4.0}, {"P0", 1.0}, {"P-10", 1.0}, {"P50", 2.5}}) {
    EXPECT_DOUBLE_EQ(normalisation_gain(flags, 4096.0), gain) << flags;
  }
  const Samples y = {32767.9, -40000.0, 1.9, -1.9, -32767.5, 16384.0};
  EXPECT_EQ(to_pcm16(y, 6, 1.0, 1.0), (std::vector<int16_t>{32767, -32767, 1, -1, -32767, 16384}));
  EXPECT_EQ(to_pcm16(y, 6, 1.0, 2.0)[5], 32767);  // volume 200 on a normalised peak
  EXPECT_EQ(to_pcm16(y, 2, std::numeric_limits<double>::quiet_NaN(), 1.0), (std::vector<int16_t>{0, 0}));
}

struct Note {
  RenderParams params;
  RenderedSignals signals;
  SampleStore samples;
  FrequencyList list;
};

Note short_note(const Samples& voiced, const Samples& aperiodic, const std::string& flags) {
  Note note;
  note.params.flags = flags;
  note.params.out_len = static_cast<int>(voiced.size());
  note.signals.voiced = voiced;
  note.signals.voiced.resize(voiced.size() + 3, 0.0);
  note.signals.aperiodic = aperiodic;
  note.signals.aperiodic.resize(voiced.size() + 3, 0.0);
  return note;
}

// A 0.25 s note sung from the synthetic voice's own samples at 440 Hz.
Note voice_note(const std::string& flags) {
  SyntheticVoice voice;
  voice.f0 = 440.0;
  voice.seconds = 0.25;
  voice.tail_frames = 3072;
  Note note = short_note({}, {}, flags);
  note.samples = synthetic_voice(voice);
  const int frames = synthetic_voice_frames(voice);
  note.params.out_len = note.params.sample_count = frames;
  note.params.target_freq = note.params.avg_freq = 440.0;
  note.params.bend_freq.assign(frames / 256 + 2, 440.0);
  note.list.freq.assign(frames / 256 + 2, 440.0);
  note.signals.voiced.assign(note.samples.begin(), note.samples.end());
  note.signals.aperiodic.assign(note.signals.voiced.size(), 0.0);
  return note;
}

struct Written {
  int status = 0;
  std::string console;
  Samples pcm;
};

Written write_note(Note& note, const std::string& path) {
  Written out;
  out.console = console_of([&] {
    out.status = post_process_and_write(note.params, note.signals, note.samples, 1, note.list, path);
  });
  out.pcm = wav_samples(path);
  return out;
}

TEST(PostProcessAndWrite, StagesWithoutTheFilterInTheirOrder) {
  ScratchDir scratch;
  const std::string path = scratch.file("a.wav");
  const double inf = std::numeric_limits<double>::infinity();
  // Non-finite samples become 0 before the peak; P0 leaves the level alone.
  Note note = short_note({1000.0, std::nan(""), inf, -500.7, -40000.0}, {}, "Nc0P0");
  Written out = write_note(note, path);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.console, kDone + path + "\n");
  EXPECT_EQ(out.pcm, (Samples{1000, 0, 0, -500, -32767}));

  // h50 smooths first (the three-tap default goes off), B0 drops the
  // aperiodic part, P100 puts the peak at 16384.
  note = short_note({0.0, 1000.0, 0.0, 0.0}, {500.0, 500.0, 500.0, 500.0}, "NB0h50P100");
  out = write_note(note, path);
  EXPECT_EQ(out.console, "Bre=0.0\n" + kDone + path + "\n");
  EXPECT_EQ(out.pcm, (Samples{0, 16384, 11585, 8192}));  // 16384 x a^k, a = 1 / sqrt(2)

  // Defaults: three-tap at 0.5 gives 100, 600, 100, 0; plus aperiodic -100 at
  // 2: 100, 600, 0, 0, peak 600, gain 16384 / 600 x 0.86 + 0.14 = 23.6237...
  note = short_note({0.0, 800.0, 0.0, 0.0}, {0.0, 0.0, -100.0, 0.0}, "N");
  EXPECT_EQ(write_note(note, path).pcm, (Samples{2362, 14174, 0, 0}));
  // The second mix b100 (pure aperiodic), P100 and volume 2 against the clip limit.
  note = short_note({0.0, 800.0, 0.0, 0.0}, {0.0, 0.0, -100.0, 0.0}, "Nb100P100");
  note.params.volume = 2.0;
  EXPECT_EQ(write_note(note, path).pcm, (Samples{0, 0, -32767, 0}));
}

TEST(PostProcessAndWrite, FilteredVoiceWithSettingsLineAndFailures) {
  // Filter settings from the flags (g-150 is clamped to -100: 10^-0.5); P100
  // puts the peak at 16384.
  ScratchDir scratch;
  const std::string path = scratch.file("voice.wav");
  Note note = voice_note("L5g-150f50P100");
  const int out_len = note.params.out_len;
  Written out = write_note(note, path);
  EXPECT_EQ(out.status, 0);
  const std::string head = "filter low=215.000Hz factor=5 gen=0.32 fce=0.50 \n" + kFiltering + "0->0 \r";
  EXPECT_EQ(out.console.substr(0, head.size()), head);
  EXPECT_TRUE(out.console.ends_with(kDone + path + "\n"));
  ASSERT_EQ(static_cast<int>(out.pcm.size()), out_len);
  double peak = 0.0;
  for (double v : out.pcm) peak = std::max(peak, std::fabs(v));
  EXPECT_TRUE(peak == 16384 || peak == 16383) << peak;

  // A file that cannot be written: the error line, status -1, no closing text.
  note = short_note({1.0, 2.0}, {}, "N");
  out = write_note(note, scratch.file("missing/folder/out.wav"));
  EXPECT_EQ(out.status, -1);
  EXPECT_EQ(out.console, "file write error.\n");
}

}  // namespace
}  // namespace quillet
