#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/console.h"
#include "driver/input_check.h"

namespace quillet {
namespace {

using test::console_of;

TEST(CommandLine, FlagsWordAndReaderChoice) {
  const std::vector<const char*> argv = {"q", "in.wav", "out.wav", "A4", "100", "B60G"};
  EXPECT_EQ(flags_word(5, argv.data()), "L");
  EXPECT_EQ(flags_word(6, argv.data()), "B60G");

  for (const char* path : {"voice.aiff", ".aiff", "a/b.aiff"}) EXPECT_TRUE(is_aiff_path(path)) << path;
  for (const char* path : {"voice.AIFF", "voice.aif", "aiff", "voice.aiff.wav", ""})
    EXPECT_FALSE(is_aiff_path(path)) << path;
}

TEST(CommandLine, SawtoothAndAperiodicFloorFlags) {
  // flags, W present, aperiodic floor: first occurrence only, case-sensitive,
  // a bare Y is 1 % and the factor is clamped to [0, 1].
  const struct {
    const char* flags;
    bool saw;
    double floor;
  } cases[] = {{"L", false, 1.0},    {"GW", true, 1.0},     {"w", false, 1.0},  {"Y", false, 0.01},
               {"Y50", false, 0.5},  {"Y150", false, 1.0},  {"Y-5", false, 0.0}, {"Y30Y80", false, 0.3},
               {"Ynan", false, 0.01}, {"y50", false, 1.0}, {"WY25", true, 0.25}};
  for (const auto& c : cases) {
    RenderParams params;
    params.flags = c.flags;
    read_loop_flags(params);
    EXPECT_EQ(params.saw_test, c.saw) << c.flags;
    EXPECT_EQ(params.aperiodic_floor, c.floor) << c.flags;
  }
}

WaveInfo format(uint16_t bits, uint16_t channels, uint16_t block_align, uint32_t rate) {
  WaveInfo info;
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
  const struct {
    WaveInfo info;
    std::string console;
  } cases[] = {{format(16, 1, 2, 44100), ""},          {format(16, 2, 4, 1102), ""},
               {format(24, 1, 3, 44100), bits_message}, {format(16, 1, 4, 44100), bits_message},
               {format(16, 6, 2, 44100), bits_message}, {format(8, 1, 1, 0), bits_message},
               {format(16, 1, 2, 1101), rate_message}};
  for (const auto& c : cases) {
    bool accepted = false;
    EXPECT_EQ(console_of([&] { accepted = input_format_ok(c.info); }), c.console);
    EXPECT_EQ(accepted, c.console.empty());
    const FormatProblem problem = input_format_problem(c.info);
    EXPECT_EQ(problem, c.console.empty()          ? FormatProblem::none
                       : c.console == bits_message ? FormatProblem::not_16_bit
                                                   : FormatProblem::sample_rate);
  }
  EXPECT_EQ(input_frame_count(format(16, 6, 12, 44100)), 333);  // whole frames only
  EXPECT_EQ(input_frame_count(format(16, 1, 0, 44100)), 0);
}

}  // namespace
}  // namespace quillet
