#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/console_capture.h"
#include "driver/input_check.h"

namespace quillet {
namespace {

using test::console_of;

TEST(CommandLine, UsageTextBytes) {
  const std::string expected =
      "Quillet Ver7.63deb\n"
      "Copyright (C) the Quillet developers\n"
      "Usage is ...\n"
      "quillet7.exe <input wavfile> <output file> <pitch_percent> <time_percent> [<flags> "
      "[<offset> <length_require> [<fixed length> [<end_blank> [<volume> [<modulation> "
      "[<pich bend>...]]]]]]]\n"
      "flags:\n"
      "    N : No formant filter\n"
      "    G : (Re)Genetate frequency list\n"
      "    T : Export text frequency list\n"
      "    B : Bressiness parameter. B0..B100, default B50\n"
      "ex :\n"
      "quillet.exe infile.wav outfile.wav 120 100 GB60\n";
  EXPECT_EQ(console_of([] { print_usage(); }), expected);
}

TEST(CommandLine, WordsFlagsAndReaderChoice) {
  const std::vector<const char*> argv = {"q", "in.wav", "out.wav", "A4", "100", "B60G", "10"};
  const int argc = static_cast<int>(argv.size());
  EXPECT_STREQ(word_at(argc, argv.data(), ARG_PITCH, ARG_PITCH + 1), "A4");
  EXPECT_EQ(word_at(argc, argv.data(), ARG_OFFSET, ARG_LENGTH_REQUIRE + 1), nullptr);
  EXPECT_STREQ(word_at(argc, argv.data(), ARG_OFFSET, ARG_OFFSET + 1), "10");
  EXPECT_EQ(word_at(argc, argv.data(), ARG_FIXED, ARG_FIXED + 1), nullptr);

  EXPECT_EQ(flags_word(5, argv.data()), "L");
  EXPECT_EQ(flags_word(6, argv.data()), "B60G");

  EXPECT_TRUE(is_aiff_path("voice.aiff"));
  EXPECT_TRUE(is_aiff_path(".aiff"));
  EXPECT_FALSE(is_aiff_path("voice.AIFF"));
  EXPECT_FALSE(is_aiff_path("voice.aif"));
  EXPECT_FALSE(is_aiff_path("aiff"));
  EXPECT_FALSE(is_aiff_path("voice.aiff.wav"));
}

RenderParams loop_flags_of(const char* flags) {
  RenderParams params;
  params.flags = flags;
  read_loop_flags(params);
  return params;
}

TEST(CommandLine, SawtoothAndAperiodicFloorFlags) {
  EXPECT_FALSE(loop_flags_of("L").saw_test);
  EXPECT_TRUE(loop_flags_of("GW").saw_test);
  EXPECT_FALSE(loop_flags_of("w").saw_test);
  EXPECT_EQ(loop_flags_of("L").aperiodic_floor, 1.0);
  EXPECT_EQ(loop_flags_of("Y").aperiodic_floor, 0.01);
  EXPECT_EQ(loop_flags_of("Y50").aperiodic_floor, 0.5);
  EXPECT_EQ(loop_flags_of("Y150").aperiodic_floor, 1.0);
  EXPECT_EQ(loop_flags_of("Y-5").aperiodic_floor, 0.0);
  EXPECT_EQ(loop_flags_of("Y30Y80").aperiodic_floor, 0.3);
  EXPECT_EQ(loop_flags_of("Ynan").aperiodic_floor, 0.01);
  EXPECT_EQ(loop_flags_of("y50").aperiodic_floor, 1.0);
}

WaveInfo format(uint16_t bits, uint16_t channels, uint16_t block_align, uint32_t rate) {
  WaveInfo info;
  info.format_tag = 1;
  info.bits_per_sample = bits;
  info.channels = channels;
  info.block_align = block_align;
  info.sample_rate = rate;
  info.data_bytes = 4000;
  return info;
}

TEST(InputCheck, FormatMessagesAndFrameCount) {
  const std::string bits_message = "file format error.(16 bit only.\n\n";
  const std::string rate_message = "file format error.(sample rate.\n";
  bool accepted = false;
  EXPECT_EQ(console_of([&] { accepted = input_format_ok(format(16, 1, 2, 44100)); }), "");
  EXPECT_TRUE(accepted);
  EXPECT_EQ(console_of([&] { accepted = input_format_ok(format(16, 2, 4, 1102)); }), "");
  EXPECT_TRUE(accepted);
  for (const WaveInfo& info : {format(8, 1, 1, 44100), format(24, 1, 3, 44100),
                               format(16, 0, 0, 44100), format(16, 1, 4, 44100),
                               format(16, 6, 2, 44100), format(8, 1, 1, 0)}) {
    EXPECT_EQ(console_of([&] { accepted = input_format_ok(info); }), bits_message);
    EXPECT_FALSE(accepted);
  }
  for (uint32_t rate : {0u, 1101u}) {
    EXPECT_EQ(console_of([&] { accepted = input_format_ok(format(16, 1, 2, rate)); }), rate_message);
    EXPECT_FALSE(accepted);
  }
  EXPECT_EQ(input_frame_count(format(16, 1, 2, 44100)), 2000);
  EXPECT_EQ(input_frame_count(format(16, 6, 12, 44100)), 333);
  WaveInfo no_frames = format(16, 1, 0, 44100);
  EXPECT_EQ(input_frame_count(no_frames), 0);
}

}  // namespace
}  // namespace quillet
