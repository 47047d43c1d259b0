#include "driver/pitch_target.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/console_capture.h"

namespace quillet {
namespace {

using test::console_of;

FrequencyGrid grid_44100() {
  FrequencyGrid grid;
  build_frequency_grid(grid, 44100, 3072);
  return grid;
}

// 55 Hz moved by steps tenths of a semitone.
double grid_hz(int steps) { return 55.0 * std::pow(2.0, steps / 120.0); }

TEST(NoteName, LettersAccidentalsOctavesAndShift) {
  const FrequencyGrid grid = grid_44100();
  EXPECT_DOUBLE_EQ(parse_note_name("A4", 0, grid), 440.0);
  EXPECT_EQ(parse_note_name("A4", 0, grid), grid.freq[360]);
  EXPECT_EQ(parse_note_name("C4", 0, grid), grid.freq[270]);
  EXPECT_NEAR(parse_note_name("A#4", 0, grid), 466.164, 0.001);
  EXPECT_EQ(parse_note_name("Bb4", 0, grid), parse_note_name("A#4", 0, grid));
  EXPECT_EQ(parse_note_name("E2", 0, grid), grid.freq[(4 + 24 - 21) * 10]);
  EXPECT_EQ(parse_note_name("A4", 5, grid), grid.freq[365]);
  EXPECT_NEAR(parse_note_name("A4", 5, grid), 440.0 * std::pow(2.0, 5.0 / 120.0), 1e-9);
  EXPECT_EQ(parse_note_name("A4", -5, grid), grid.freq[355]);
  EXPECT_EQ(parse_note_name("C9", 0, grid), grid.freq[870]);
  EXPECT_NEAR(parse_note_name("C9", 0, grid), 8372.018, 0.001);
  // Below the grid the curve is computed: C0 is index -210.
  EXPECT_NEAR(parse_note_name("C0", 0, grid), 16.351597831287418, 1e-12);
  EXPECT_NEAR(parse_note_name("A0", 0, grid), 27.5, 1e-12);
  EXPECT_NEAR(parse_note_name("A-1", 0, grid), 13.75, 1e-12);
  // Trailing text after the octave is ignored, as "%d" reads.
  EXPECT_EQ(parse_note_name("G3x", 0, grid), grid.freq[(7 + 36 - 21) * 10]);
}

TEST(NoteName, WordsThatAreNoNoteInRange) {
  const FrequencyGrid grid = grid_44100();
  for (const char* word : {"E9", "a4", "H4", "A", "A#", "Bb", "Ax", "A#x", "", "440", "n360"})
    EXPECT_EQ(parse_note_name(word, 0, grid), 0.0) << word;
  EXPECT_EQ(parse_note_name(nullptr, 0, grid), 0.0);
  // The shift can push a note past the top of the grid (C9 + 31 = 901).
  EXPECT_EQ(parse_note_name("C9", 31, grid), 0.0);
  EXPECT_EQ(parse_note_name("C9", 30, grid), grid.freq[900]);
  // Absurd octaves neither overflow nor crash.
  EXPECT_EQ(parse_note_name("A2000000000", 0, grid), 0.0);
  EXPECT_EQ(parse_note_name("A-2000000000", 0, grid), 0.0);
}

struct TargetRun {
  RenderParams params;
  std::string console;
};

TargetRun target_of(const char* word, const char* flags = "L", double avg = 220.0) {
  static const FrequencyGrid grid = grid_44100();
  TargetRun run;
  run.params.flags = flags;
  run.params.avg_freq = avg;
  run.console = console_of([&] { set_pitch_target(word, grid, run.params); });
  return run;
}

TEST(PitchTarget, ThreeFormsAndTheirDefaults) {
  TargetRun note = target_of("A4");
  EXPECT_DOUBLE_EQ(note.params.target_freq, 440.0);
  EXPECT_DOUBLE_EQ(note.params.pitch_percent, 200.0);
  EXPECT_EQ(note.console, "220.000Hz\x81\xa8" "440.000Hz\n");

  TargetRun shifted = target_of("A4", "Bt5G", 200.0);
  EXPECT_EQ(shifted.params.tone_shift, 5);
  EXPECT_NEAR(shifted.params.target_freq, grid_hz(365), 1e-9);
  EXPECT_EQ(shifted.console, "200.000Hz\x81\xa8" "452.893Hz\n");

  // The index form ignores the shift and prints nothing.
  TargetRun index = target_of("n360", "t7");
  EXPECT_DOUBLE_EQ(index.params.target_freq, 440.0);
  EXPECT_DOUBLE_EQ(index.params.pitch_percent, 200.0);
  EXPECT_EQ(index.console, "");

  TargetRun percent = target_of("150");
  EXPECT_EQ(percent.params.target_freq, 330.0);
  EXPECT_EQ(percent.params.pitch_percent, 150.0);
  EXPECT_EQ(percent.console, "");

  // Words that set nothing, or set an unusable percent, sing at 100 %.
  for (const char* word : {"n0", "n", "nx", "n901", "n-3", "0", "-50", "a4", "E9", "abc", "inf",
                           "nan", "1e400", ""}) {
    TargetRun run = target_of(word);
    EXPECT_EQ(run.params.pitch_percent, 100.0) << word;
    EXPECT_EQ(run.params.target_freq, 220.0) << word;
    EXPECT_EQ(run.console, "") << word;
  }
  // The first t counts; a t without a number leaves no shift.
  EXPECT_EQ(target_of("A4", "t3t9").params.tone_shift, 3);
  EXPECT_EQ(target_of("A4", "Gt").params.tone_shift, 0);
}

TEST(BendString, DecodesPairsRunsAndEdges) {
  EXPECT_EQ(base64_digit_value('A'), 0);
  EXPECT_EQ(base64_digit_value('Z'), 25);
  EXPECT_EQ(base64_digit_value('a'), 26);
  EXPECT_EQ(base64_digit_value('z'), 51);
  EXPECT_EQ(base64_digit_value('0'), 52);
  EXPECT_EQ(base64_digit_value('9'), 61);
  EXPECT_EQ(base64_digit_value('+'), 62);
  EXPECT_EQ(base64_digit_value('/'), 63);
  EXPECT_EQ(base64_digit_value('-'), 0);
  EXPECT_EQ(base64_digit_value('\0'), 0);

  std::vector<int> six(6, 0);
  EXPECT_EQ(decode_bend_string("AA#3#AB", six), 7);
  EXPECT_EQ(six, (std::vector<int>{0, 0, 0, 0, 1, 0}));

  std::vector<int> signs(4, 0);
  decode_bend_string("//f/gABL", signs);
  EXPECT_EQ(signs, (std::vector<int>{-1, 2047, -2048, 75}));

  // A run repeats the last value and stops at the end of the curve; the
  // closing "#" may be missing; a longer text only fills what fits.
  std::vector<int> run(4, 0);
  EXPECT_EQ(decode_bend_string("AB#100", run), 6);
  EXPECT_EQ(run, (std::vector<int>{1, 1, 1, 1}));
  std::vector<int> long_text(2, 0);
  decode_bend_string("ABACADAEAF#1000000000#AG", long_text);
  EXPECT_EQ(long_text, (std::vector<int>{1, 2}));

  // Runs of 0, negative or unreadable counts add nothing; a run before any
  // pair repeats 0; an odd last digit pairs with the end of the text.
  std::vector<int> odd(5, 0);
  decode_bend_string("AB#0#AC#-2#AD#x#AE", odd);
  EXPECT_EQ(odd, (std::vector<int>{1, 2, 3, 4, 0}));
  std::vector<int> leading(4, 0);
  decode_bend_string("#2#/AC", leading);
  EXPECT_EQ(leading, (std::vector<int>{0, 0, -64, 128}));

  std::vector<int> untouched(2, 0);
  EXPECT_EQ(decode_bend_string(nullptr, untouched), 0);
  EXPECT_EQ(decode_bend_string("", untouched), 0);
  EXPECT_EQ(untouched, (std::vector<int>{0, 0}));
}

struct BendRun {
  RenderParams params;
  std::string console;
};

// Spacing and curve for the words from argument 12 on, with a used stretch of
// 10000 frames after a one-frame offset and 22094 output samples.
BendRun bend_of(const std::vector<const char*>& words) {
  BendRun run;
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

double cents_up(double hz, double cents) { return hz * std::pow(2.0, cents / 1200.0); }

TEST(BendCurve, SpacingModes) {
  BendRun plain = bend_of({});
  EXPECT_EQ(plain.params.bend_mode, 0);
  EXPECT_EQ(plain.params.bend_step, 256);
  EXPECT_EQ(plain.params.bend_last, 10001 / 256 + 1);
  EXPECT_EQ(plain.params.bend_freq, std::vector<double>(41, 440.0));
  EXPECT_EQ(plain.console, "");

  BendRun other = bend_of({"X", "50"});
  EXPECT_EQ(other.params.bend_mode, 0);
  EXPECT_EQ(other.console, " split=40\n");

  BendRun p_mode = bend_of({"xPQ120", "0"});
  EXPECT_EQ(p_mode.params.bend_mode, 1);
  EXPECT_EQ(p_mode.params.bend_step, 256);
  EXPECT_EQ(p_mode.params.bend_last, 22094 / 256 + 1);
  EXPECT_EQ(p_mode.console, "P split=87\n");

  BendRun q_mode = bend_of({"Q120", "0"});
  EXPECT_EQ(q_mode.params.bend_step, 230);
  EXPECT_EQ(q_mode.params.bend_last, 22094 / 230 + 1);
  EXPECT_EQ(q_mode.console, "Q split=97 step=230\n");

  BendRun bang = bend_of({"!120", "AA"});
  EXPECT_EQ(bang.params.bend_mode, 1);
  EXPECT_EQ(bang.params.bend_step, 230);
  EXPECT_EQ(bang.console, "! split=97 step=230\n");

  // No tempo keeps 256; a tempo above 55125 would give a step of 0: 1 instead.
  EXPECT_EQ(bend_of({"Q", "0"}).params.bend_step, 256);
  EXPECT_EQ(bend_of({"!-90", "AA"}).params.bend_step, 256);
  BendRun fastest = bend_of({"Q60000", "0"});
  EXPECT_EQ(fastest.params.bend_step, 1);
  EXPECT_EQ(fastest.params.bend_last, 22095);
  EXPECT_EQ(fastest.params.bend_freq.size(), 22096u);
  // A tempo so slow that the step overflows saturates.
  EXPECT_EQ(bend_of({"Q1e-300", "0"}).params.bend_last, 1);
}

TEST(BendCurve, CentsWordsAndEncodedText) {
  // One word only (argc = 13): values, no mode; the rest stay at the target.
  BendRun single = bend_of({"100"});
  EXPECT_EQ(single.console, "");
  EXPECT_NEAR(single.params.bend_freq[0], cents_up(440.0, 100.0), 1e-9);
  EXPECT_EQ(single.params.bend_freq[1], 440.0);

  BendRun words = bend_of({"-1200", "x", "50.5", "0"});
  EXPECT_NEAR(words.params.bend_freq[0], 220.0, 1e-9);
  EXPECT_EQ(words.params.bend_freq[1], 440.0);
  EXPECT_NEAR(words.params.bend_freq[2], cents_up(440.0, 50.5), 1e-9);
  EXPECT_EQ(words.params.bend_freq[3], 440.0);
  EXPECT_EQ(words.params.bend_freq[40], 440.0);

  // In the P and Q modes the token is read as the first value (0 cents here).
  BendRun p_mode = bend_of({"P", "1200", "nan"});
  EXPECT_EQ(p_mode.params.bend_freq[0], 440.0);
  EXPECT_NEAR(p_mode.params.bend_freq[1], 880.0, 1e-9);
  EXPECT_EQ(p_mode.params.bend_freq[2], 440.0);

  // Encoded: AA#3#AB gives 0, 0, 0, 0, 1 cents and the rest stays at 0.
  BendRun encoded = bend_of({"!120", "AA#3#AB//", "ignored"});
  for (int i : {0, 1, 2, 3, 6, 97}) EXPECT_EQ(encoded.params.bend_freq[i], 440.0) << i;
  EXPECT_NEAR(encoded.params.bend_freq[4], cents_up(440.0, 1.0), 1e-9);
  EXPECT_NEAR(encoded.params.bend_freq[5], cents_up(440.0, -1.0), 1e-9);
  EXPECT_EQ(encoded.params.bend_freq.size(), 98u);

  // More values than points: only the first bend_last + 1 count.
  std::vector<const char*> many(60, "100");
  BendRun crowded = bend_of(many);
  EXPECT_EQ(crowded.params.bend_freq.size(), 41u);
  EXPECT_NEAR(crowded.params.bend_freq[40], cents_up(440.0, 100.0), 1e-9);
}

}  // namespace
}  // namespace quillet
