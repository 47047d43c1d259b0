#include "driver/pitch_target.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/fixtures.h"

namespace quillet {
namespace {

using test::console_of;

const FrequencyGrid& grid() { return test::grid_at(44100); }

TEST(NoteName, GridEntriesTheCurveBelowAndNoNotes) {
  const struct {
    const char* text;
    int shift;
    int index;
  } on_grid[] = {{"A4", 0, 360}, {"C4", 0, 270}, {"A#4", 0, 370}, {"Bb4", 0, 370}, {"A4", 5, 365},
                 {"A4", -5, 355}, {"C9", 0, 870}, {"C9", 30, 900}, {"G3x", 0, 220}, {"A1", 0, 0}};
  for (const auto& c : on_grid) EXPECT_EQ(parse_note_name(c.text, c.shift, grid()), grid().freq[c.index]) << c.text;
  // Below the grid: 55 x exp(ln 2 / 120 x index). C0 is index -210; index
  // -18 pins the order (ln 2 x index / 120 gives ...662).
  EXPECT_NEAR(parse_note_name("C0", 0, grid()), 16.351597831287418, 1e-12);
  EXPECT_NEAR(parse_note_name("A-1", 0, grid()), 13.75, 1e-12);
  EXPECT_EQ(parse_note_name("A1", -18, grid()), 49.568775443595669);

  for (const char* word : {"E9", "a4", "H4", "A", "A#", "Bb", "Ax", "A#x", "", "440", "n360", "A2000000000",
                           "A-2000000000"})
    EXPECT_EQ(parse_note_name(word, 0, grid()), 0.0) << word;
  EXPECT_EQ(parse_note_name(nullptr, 0, grid()), 0.0);
  EXPECT_EQ(parse_note_name("C9", 31, grid()), 0.0);  // index 901
}

struct Outcome {
  RenderParams params;
  std::string console;
};

Outcome target_of(const char* word, const char* flags = "L", double avg = 220.0) {
  Outcome run;
  run.params.flags = flags;
  run.params.avg_freq = avg;
  run.console = console_of([&] { set_pitch_target(word, grid(), run.params); });
  return run;
}

TEST(PitchTarget, ThreeFormsAndTheirDefaults) {
  // A4 is the grid's 439.99999999999989 Hz. Note name: e / avg x 100,
  // printed with avg first; index: e x 100 / avg. At avg 200 the two orders
  // differ in the last bit.
  const Outcome note = target_of("A4", "L", 200.0);
  EXPECT_EQ(note.params.pitch_percent, 219.99999999999994);
  EXPECT_EQ(note.console, "200.000Hz\x81\xa8" "440.000Hz\n");
  const Outcome shifted = target_of("A4", "Bt5G", 200.0);
  EXPECT_EQ(shifted.params.tone_shift, 5);
  EXPECT_EQ(shifted.console, "200.000Hz\x81\xa8" "452.893Hz\n");  // 440 x 2^(5/120)

  // Index: no shift, nothing printed.
  const Outcome index = target_of("n360", "t7", 200.0);
  EXPECT_EQ(index.params.target_freq, grid().freq[360]);
  EXPECT_EQ(index.params.pitch_percent, 219.99999999999991);
  EXPECT_EQ(index.console, "");

  // Percent: target = avg x percent / 100 (avg x (percent / 100) gives ...002).
  const Outcome percent = target_of("106");
  EXPECT_EQ(percent.params.target_freq, 233.19999999999999);
  EXPECT_EQ(percent.params.pitch_percent, 106.0);
  EXPECT_EQ(percent.console, "");

  // Words that set nothing, or an unusable percent, sing at 100 %.
  for (const char* word : {"n0", "n", "nx", "n901", "n-3", "0", "-50", "a4", "E9", "abc", "inf", "nan", "1e400", ""}) {
    const Outcome run = target_of(word);
    EXPECT_EQ(run.params.pitch_percent, 100.0) << word;
    EXPECT_EQ(run.params.target_freq, 220.0) << word;
    EXPECT_EQ(run.console, "") << word;
  }
  EXPECT_EQ(target_of("A4", "t3t9").params.tone_shift, 3);  // the first t counts
  EXPECT_EQ(target_of("A4", "Gt").params.tone_shift, 0);
}

TEST(BendString, DigitsPairsRunsAndEdges) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int v = 0; v < 64; ++v) EXPECT_EQ(base64_digit_value(alphabet[v]), v);
  EXPECT_EQ(base64_digit_value('-'), 0);
  EXPECT_EQ(base64_digit_value('\0'), 0);

  const struct {
    const char* text;
    std::size_t points;
    std::vector<int> values;
  } cases[] = {
      {"AA#3#AB", 6, {0, 0, 0, 0, 1, 0}},                // run of the last value, then one more pair
      {"//f/gABL", 4, {-1, 2047, -2048, 75}},            // 12-bit two's complement
      {"AB#100", 4, {1, 1, 1, 1}},                       // a run stops at the end; closing # missing
      {"ABACADAEAF#1000000000#AG", 2, {1, 2}},           // a longer text fills only what fits
      {"AB#0#AC#-2#AD#x#AE", 5, {1, 2, 3, 4, 0}},        // runs of 0, negative or no count add nothing
      {"#2#/AC", 4, {0, 0, -64, 128}},                   // a leading run repeats 0; odd digit pairs with the end
      {"", 2, {0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<int> values(c.points, 0);
    EXPECT_EQ(decode_bend_string(c.text, values), static_cast<int>(std::string(c.text).size()));
    EXPECT_EQ(values, c.values) << c.text;
  }
  std::vector<int> untouched(2, 0);
  EXPECT_EQ(decode_bend_string(nullptr, untouched), 0);
}

// Spacing and curve for the words from argument 12 on, with a used stretch
// ending at frame 10001 and 22094 output samples at 440 Hz.
Outcome bend_of(const std::vector<const char*>& words) {
  Outcome run;
  run.params.sample_count = 10000;
  run.params.offset_samples = 1;
  run.params.out_len = 22094;
  run.params.target_freq = 440.0;
  run.console = console_of([&] {
    set_bend_spacing(words, run.params);
    build_bend_curve(words, run.params);
  });
  return run;
}

TEST(BendCurve, SpacingModes) {
  const struct {
    std::vector<const char*> words;
    int mode, step, last;
    std::string console;
  } cases[] = {
      {{}, 0, 256, 40, ""},                                  // 10001 / 256 + 1
      {{"100"}, 0, 256, 40, ""},                             // argc 13: no mode
      {{"X", "50"}, 0, 256, 40, " split=40\n"},
      {{"xPQ120", "0"}, 1, 256, 87, "P split=87\n"},         // P anywhere wins
      {{"Q120", "0"}, 1, 230, 97, "Q split=97 step=230\n"},  // trunc(229.6875 + 0.5)
      {{"!120", "AA"}, 1, 230, 97, "! split=97 step=230\n"},
      {{"Q", "0"}, 1, 256, 87, "Q split=87 step=256\n"},     // no tempo
      {{"!-90", "AA"}, 1, 256, 87, "! split=87 step=256\n"},
      {{"Q60000", "0"}, 1, 1, 22095, "Q split=22095 step=1\n"},  // step 0 becomes 1
      {{"Q1e-300", "0"}, 1, INT_MAX, 1, "Q split=1 step=2147483647\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = bend_of(c.words);
    EXPECT_EQ(run.params.bend_mode, c.mode) << run.console;
    EXPECT_EQ(run.params.bend_step, c.step) << run.console;
    EXPECT_EQ(run.params.bend_last, c.last) << run.console;
    EXPECT_EQ(run.params.bend_freq.size(), static_cast<std::size_t>(c.last) + 1);
    EXPECT_EQ(run.console, c.console);
  }
}

TEST(BendCurve, CentsWordsAndEncodedText) {
  // target x exp(ln 2 x cents / 1200); -2029 cents pins the order
  // (ln 2 / 1200 x cents gives ...495).
  const double minus_2029 = 136.28910058111498;
  const Outcome words = bend_of({"-1200", "x", "-2029", "nan", "50"});
  EXPECT_NEAR(words.params.bend_freq[0], 220.0, 1e-9);
  EXPECT_EQ(words.params.bend_freq[1], 440.0);
  EXPECT_EQ(words.params.bend_freq[2], minus_2029);
  EXPECT_EQ(words.params.bend_freq[3], 440.0);
  EXPECT_NEAR(words.params.bend_freq[4], 440.0 * std::pow(2.0, 50.0 / 1200.0), 1e-9);
  EXPECT_EQ(words.params.bend_freq[40], 440.0);

  // In the P and Q modes the token is read as the first value (0 cents).
  const Outcome p_mode = bend_of({"P", "1200"});
  EXPECT_EQ(p_mode.params.bend_freq[0], 440.0);
  EXPECT_NEAR(p_mode.params.bend_freq[1], 880.0, 1e-9);

  // Encoded: AA#3#AB then "gT" (-2029); the rest stays at the target.
  const Outcome encoded = bend_of({"!120", "AA#3#ABgT", "ignored"});
  for (int i : {0, 1, 2, 3, 6, 97}) EXPECT_EQ(encoded.params.bend_freq[i], 440.0) << i;
  EXPECT_NEAR(encoded.params.bend_freq[4], 440.0 * std::pow(2.0, 1.0 / 1200.0), 1e-9);
  EXPECT_EQ(encoded.params.bend_freq[5], minus_2029);

  // More values than points: only the first bend_last + 1 count.
  const Outcome crowded = bend_of(std::vector<const char*>(60, "100"));
  EXPECT_EQ(crowded.params.bend_freq.size(), 41u);
  EXPECT_NEAR(crowded.params.bend_freq[40], 440.0 * std::pow(2.0, 100.0 / 1200.0), 1e-9);
}

}  // namespace
}  // namespace quillet
