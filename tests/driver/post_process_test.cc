#include "driver/post_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver/console_capture.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using test::console_of;

const std::string DONE = "\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n";  // 完了しました。
const std::string WRITTEN = "\x90\xb6\x90\xac\x83\x74\x83\x40\x83\x43\x83\x8b\x81\x46";  // 生成ファイル：
const std::string FILTERING = "\x83\x74\x83\x42\x83\x8b\x83\x5e\x92\x86\n";             // フィルタ中

TEST(PostProcessWeights, SmoothingLettersInPercent) {
  EXPECT_DOUBLE_EQ(one_pole_weight("h50", 'h'), std::sqrt(0.5));
  EXPECT_DOUBLE_EQ(one_pole_weight("h100", 'h'), std::sqrt(0.9999999));
  EXPECT_DOUBLE_EQ(one_pole_weight("LH250", 'H'), std::sqrt(0.9999999));
  EXPECT_EQ(one_pole_weight("h", 'h'), 0.0);
  EXPECT_EQ(one_pole_weight("h-20", 'h'), 0.0);
  EXPECT_EQ(one_pole_weight("L", 'h'), 0.0);

  EXPECT_DOUBLE_EQ(three_tap_weight("c", 'c', 0.5), 0.005);  // the default is scaled too
  EXPECT_DOUBLE_EQ(three_tap_weight("c30", 'c', 0.5), 0.3);
  EXPECT_EQ(three_tap_weight("c250", 'c', 0.5), 1.0);
  EXPECT_EQ(three_tap_weight("c-1", 'c', 0.5), 0.0);
  EXPECT_EQ(three_tap_weight("L", 'c', 0.5), 0.5);
  EXPECT_EQ(three_tap_weight("L", 'D', 0.0), 0.0);

  // One-pole: each sample leans on the already smoothed one before it.
  std::vector<double> y = {4, 0, 0, 8};
  one_pole_smooth(y, 4, 0.5);
  EXPECT_EQ(y, (std::vector<double>{4, 2, 1, 4.5}));

  // Three-tap: 0.5 y[i] + 0.25 y[i + d] + 0.25 y[i - d], the spare tail read
  // past the end, nothing read past the vector.
  y = {4, 0, 0, 8, 0, 0, 0};
  three_tap_smooth(y, 4, 1.0, 1);
  EXPECT_EQ(y, (std::vector<double>{2, 1, 2, 4, 0, 0, 0}));
  y = {4, 0, 0, 8, 0, 0, 0};
  three_tap_smooth(y, 4, 1.0, 2);
  EXPECT_EQ(y, (std::vector<double>{2, 2, 1, 4, 0, 0, 0}));
  y = {4, 0, 0, 8, 0, 0, 0};
  three_tap_smooth(y, 4, 0.5, 1);
  EXPECT_EQ(y, (std::vector<double>{3, 0.5, 1, 6, 0, 0, 0}));
  y = {4, 0, 0, 8};
  three_tap_smooth(y, 4, 1.0, 3);
  EXPECT_EQ(y, (std::vector<double>{4, 0, 0, 5}));
}

TEST(PostProcessWeights, BreathinessMixes) {
  struct Case {
    const char* flags;
    double voice;
    double breath;
    const char* line;
  };
  const MixWeights full{1.0, 1.0};
  for (const Case& c : {Case{"B0", 1.0, 0.0, "Bre=0.0\n"}, Case{"B25", 1.0, 0.5, "Bre=25.0\n"},
                        Case{"B50", 1.0, 1.0, "Bre=50.0\n"}, Case{"B75", 0.5, 1.0, "Bre=75.0\n"},
                        Case{"B100", 0.0, 1.0, "Bre=100.0\n"},
                        Case{"B120", 1.0, 1.0, "Bre=120.0\n"}, Case{"B-5", 1.0, 1.0, "Bre=-5.0\n"},
                        Case{"Bq", 1.0, 1.0, "Bre=50.0\n"}, Case{"LB", 1.0, 1.0, ""}}) {
    MixWeights w;
    const std::string console = console_of([&] { w = mix_weights(c.flags, 'B', 50.0, full, true); });
    EXPECT_DOUBLE_EQ(w.voice, c.voice) << c.flags;
    EXPECT_DOUBLE_EQ(w.breath, c.breath) << c.flags;
    EXPECT_EQ(console, c.line) << c.flags;
  }
  // The second mix starts from pure voice, defaults to 0 and prints nothing.
  const MixWeights voice_only{1.0, 0.0};
  std::string console = console_of([&] {
    EXPECT_DOUBLE_EQ(mix_weights("b30", 'b', 0.0, voice_only, false).breath, 0.6);
    EXPECT_EQ(mix_weights("bq", 'b', 0.0, voice_only, false).breath, 0.0);
    EXPECT_EQ(mix_weights("Lb", 'b', 0.0, voice_only, false).breath, 0.0);
  });
  EXPECT_EQ(console, "");
  EXPECT_FALSE(mix_letter_applies("Lb", 'b'));
  EXPECT_TRUE(mix_letter_applies("bL", 'b'));

  std::vector<double> y = {1, 2, 3, 4};
  mix_signals(y, {10, 20}, 4, MixWeights{0.5, 1.0});  // a short z reads 0 past its end
  EXPECT_EQ(y, (std::vector<double>{10.5, 21, 1.5, 2}));
}

TEST(PostProcessWeights, BandIndexNormalisationAndClipping) {
  EXPECT_EQ(filter_band_index("L", 440.0, 200.0), 17);  // trunc(30.65 + 0.5) = 31, then 17
  EXPECT_EQ(filter_band_index("F1", 440.0, 200.0), 10);  // trunc(10.22 + 0.5)
  EXPECT_EQ(filter_band_index("L5", 440.0, 200.0), 5);
  EXPECT_EQ(filter_band_index("K2", 440.0, 200.0), 9);   // trunc(9.29 + 0.5)
  EXPECT_EQ(filter_band_index("F1K", 440.0, 200.0), 5);  // K keeps F's factor: trunc(4.64 + 0.5)
  EXPECT_EQ(filter_band_index("K-3", 440.0, 200.0), -13);  // no lower limit
  EXPECT_EQ(filter_band_index("L40", 440.0, 200.0), 17);
  EXPECT_EQ(filter_band_index("F", 1e300, 200.0), 17);     // saturates, then 17

  EXPECT_DOUBLE_EQ(normalisation_gain("L", 8192.0), 2.0 * 0.86 + (1 - 0.86));
  EXPECT_DOUBLE_EQ(normalisation_gain("P100", 4096.0), 4.0);
  EXPECT_DOUBLE_EQ(normalisation_gain("P150", 4096.0), 4.0);
  EXPECT_DOUBLE_EQ(normalisation_gain("P0", 4096.0), 1.0);
  EXPECT_DOUBLE_EQ(normalisation_gain("P-10", 4096.0), 1.0);
  EXPECT_DOUBLE_EQ(normalisation_gain("P50", 4096.0), 2.5);

  const std::vector<double> y = {32767.9, -40000.0, 1.9, -1.9, -32767.5, 16384.0};
  EXPECT_EQ(to_pcm16(y, 6, 1.0, 1.0), (std::vector<int16_t>{32767, -32767, 1, -1, -32767, 16384}));
  EXPECT_EQ(to_pcm16(y, 6, 1.0, 2.0)[5], 32767);  // volume 200 on a normalised peak
  EXPECT_EQ(to_pcm16(y, 2, std::numeric_limits<double>::quiet_NaN(), 1.0),
            (std::vector<int16_t>{0, 0}));
}

// A rendered note of out_len samples with its parameters, written through
// post_process_and_write into a scratch folder.
struct Note {
  RenderParams params;
  RenderedSignals signals;
  SampleStore samples;
  FrequencyList list;
};

Note short_note(const std::vector<double>& voiced, const std::string& flags) {
  Note note;
  note.params.flags = flags;
  note.params.out_len = static_cast<int>(voiced.size());
  note.signals.voiced = voiced;
  note.signals.voiced.resize(voiced.size() + 3, 0.0);
  note.signals.aperiodic.assign(voiced.size() + 3, 0.0);
  return note;
}

// A 0.25 s note sung from the synthetic voice's own samples at 440 Hz.
Note voice_note(const std::string& flags) {
  test::SyntheticVoice voice;
  voice.f0 = 440.0;
  voice.seconds = 0.25;
  voice.tail_frames = 3072;
  Note note;
  note.samples = test::synthetic_voice(voice);
  const int frames = test::synthetic_voice_frames(voice);
  note.params.flags = flags;
  note.params.out_len = frames;
  note.params.sample_count = frames;
  note.params.target_freq = 440.0;
  note.params.avg_freq = 440.0;
  note.params.bend_last = frames / 256 + 1;
  note.params.bend_freq.assign(note.params.bend_last + 1, 440.0);
  note.list.length = frames / 256 + 1;
  note.list.freq.assign(frames / 256 + 2, 440.0);
  note.signals.voiced.assign(note.samples.begin(), note.samples.end());
  note.signals.aperiodic.assign(note.signals.voiced.size(), 0.0);
  return note;
}

struct Written {
  int status = 0;
  std::string console;
  std::string path;
  std::string bytes;
  std::vector<int16_t> pcm;
};

Written write_note(Note& note, const std::string& path) {
  Written out;
  out.path = path;
  out.console = console_of([&] {
    out.status = post_process_and_write(note.params, note.signals, note.samples, 1, note.list, path);
  });
  out.bytes = test::read_file_bytes(path);
  if (out.bytes.size() >= 44) {
    out.pcm.resize((out.bytes.size() - 44) / 2);
    std::memcpy(out.pcm.data(), out.bytes.data() + 44, out.pcm.size() * 2);
  }
  return out;
}

TEST(PostProcessAndWrite, StagesWithoutTheFilterInTheirOrder) {
  test::ScratchDir scratch;
  // Non-finite samples become 0 before the peak; P0 leaves the level alone.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  Note note = short_note({1000.0, nan, inf, -500.7, -40000.0}, "Nc0P0");
  Written out = write_note(note, scratch.file("a.wav"));
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.console, DONE + WRITTEN + out.path + "\n");
  ASSERT_EQ(out.bytes.size(), 44u + 10u);
  EXPECT_EQ(out.bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(out.pcm, (std::vector<int16_t>{1000, 0, 0, -500, -32767}));

  // h50 smooths first (and turns the default three-tap smoothing off), B0
  // then drops the aperiodic part; P100 puts the peak at 16384.
  note = short_note({0.0, 1000.0, 0.0, 0.0}, "NB0h50P100");
  note.signals.aperiodic = {500.0, 500.0, 500.0, 500.0, 0.0, 0.0, 0.0};
  out = write_note(note, scratch.file("b.wav"));
  EXPECT_EQ(out.console, "Bre=0.0\n" + DONE + WRITTEN + out.path + "\n");
  const double a = std::sqrt(0.5);
  ASSERT_EQ(out.pcm.size(), 4u);
  EXPECT_EQ(out.pcm[0], 0);
  EXPECT_NEAR(out.pcm[1], 16384, 1);
  EXPECT_NEAR(out.pcm[2], 16384 * a, 1);
  EXPECT_NEAR(out.pcm[3], 16384 * a * a, 1);

  // Defaults (three-tap at 0.5, full aperiodic) then the second mix b100
  // (pure aperiodic) and volume 2 with P100 against the clip limit.
  note = short_note({0.0, 800.0, 0.0, 0.0}, "Nb100P100");
  note.signals.aperiodic = {0.0, 0.0, -100.0, 0.0, 0.0, 0.0, 0.0};
  note.params.volume = 2.0;
  out = write_note(note, scratch.file("c.wav"));
  EXPECT_EQ(out.pcm, (std::vector<int16_t>{0, 0, -32767, 0}));
  note = short_note({0.0, 800.0, 0.0, 0.0}, "N");
  note.signals.aperiodic = {0.0, 0.0, -100.0, 0.0, 0.0, 0.0, 0.0};
  out = write_note(note, scratch.file("d.wav"));
  // Three-tap at 0.5: s = 200, 400, 200, 0, so y = 100, 600, 100, 0; plus the
  // aperiodic -100 at 2: 100, 600, 0, 0 with peak 600.
  const double gain = 16384.0 / 600.0 * 0.86 + (1 - 0.86);
  EXPECT_EQ(out.pcm, (std::vector<int16_t>{static_cast<int16_t>(100 * gain),
                                           static_cast<int16_t>(600 * gain), 0, 0}));
  EXPECT_EQ(out.pcm[1], 14174);  // 600 * 23.6244...
}

TEST(PostProcessAndWrite, FilteredVoiceWithSettingsLineAndFailures) {
  test::ScratchDir scratch;
  Note note = voice_note("LP100");
  const int out_len = note.params.out_len;
  Written out = write_note(note, scratch.file("voice.wav"));
  EXPECT_EQ(out.status, 0);
  const std::string settings = "filter low=731.000Hz factor=17 gen=1.00 fce=1.00 \n";
  ASSERT_EQ(out.console.substr(0, settings.size() + FILTERING.size()), settings + FILTERING);
  EXPECT_NE(out.console.find("0->0 \r"), std::string::npos);
  EXPECT_EQ(out.console.substr(out.console.size() - DONE.size() - WRITTEN.size() - out.path.size() - 1),
            DONE + WRITTEN + out.path + "\n");
  ASSERT_EQ(static_cast<int>(out.pcm.size()), out_len);
  int peak = 0;
  bool all_zero_tail = true;
  for (int i = 0; i < out_len; ++i) peak = std::max(peak, std::abs(static_cast<int>(out.pcm[i])));
  for (int i = out_len - 200; i < out_len - 100; ++i) all_zero_tail &= out.pcm[i] == 0;
  EXPECT_TRUE(peak == 16384 || peak == 16383) << peak;
  EXPECT_FALSE(all_zero_tail);  // the last frame is completed, not left silent

  // Settings from the flags; a fixed head as long as the note divides nothing by zero.
  note = voice_note("L5g-150f50");
  note.params.fixed_in = note.params.out_len;
  out = write_note(note, scratch.file("settings.wav"));
  EXPECT_EQ(out.console.substr(0, 49), "filter low=215.000Hz factor=5 gen=0.32 fce=0.50 \n");
  EXPECT_EQ(static_cast<int>(out.pcm.size()), out_len);

  // A file that cannot be written: the error line, status -1, no closing text.
  note = short_note({1.0, 2.0}, "N");
  out = write_note(note, scratch.file("missing/folder/out.wav"));
  EXPECT_EQ(out.status, -1);
  EXPECT_EQ(out.console, "file write error.\n");
}

}  // namespace
}  // namespace quillet
