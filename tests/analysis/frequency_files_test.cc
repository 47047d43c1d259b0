#include "analysis/frequency_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// A binary list with the given header values and (freq, amp) records.
std::string frq_bytes(double freq_avg, int32_t count, const std::vector<double>& records,
                      uint32_t step = 256) {
  std::string out = "FREQ0003" + le32(step) + le64(freq_avg) + le64(0.0) + le64(0.0) + le32(count);
  for (double value : records) out += le64(value);
  return out;
}

std::string frt_text(const std::string& header_lines, const std::string& rows) {
  return "frequencies list Ver0.03\r\n" + header_lines + "\r\n" + rows;
}

TEST(SideFiles, NamesAndNoteLabels) {
  const char* names[][3] = {{"a.wav", ".frq", "a_wav.frq"}, {"a.wav", ".frt", "a_wav.frt"},
                            {"a.WAV", ".frq", "a.WAV.frq"}, {"voice.aiff", ".frt", "voice.aiff.frt"},
                            {"a.wav.wav", ".frq", "a.wav_wav.frq"},
                            {"x.wav.frq/y.wav", ".frq", "x_wav.frq/y.wav.frq"}};  // first occurrence only
  for (const auto& n : names) EXPECT_EQ(side_file_name(n[0], n[1]), n[2]) << n[0];
  EXPECT_EQ(side_file_name(std::string(600, 'p') + ".wav", ".frq"), std::string(600, 'p') + "_wav.frq");

  const FrequencyGrid& grid = grid_at(44100);
  const auto at = [&](int index) { return grid.freq[index]; };
  const struct {
    double frequency;
    const char* label;
  } labels[] = {{55.0, "A1"},          {30.0, "A1"},          {440.0, "A4"},         {at(270), "C4"},
                {at(266), "C4 -0.4"},  {at(275), "C4 +0.5"},  {at(276), "C#4 -0.4"}, {at(361), "A4 +0.1"},
                {at(359), "A4 -0.1"},  {at(263), "B3 +0.3"},  {at(900), "D#9"}};
  for (const auto& c : labels) EXPECT_EQ(note_label(grid, c.frequency), c.label) << c.frequency;
}

TEST(BinaryList, ExactLayoutReadBackWithASpareEntry) {
  ScratchDir dir;
  const std::string input = dir.file("voice.wav");
  const double freq[] = {55.0, 220.0, 221.5}, amp[] = {0.0, 1523.40625, -2.5};
  ASSERT_TRUE(write_frq(input, freq, amp, 3, 220.0));
  // 220.0 is 0x406B800000000000, stored low byte first; records are (freq, amp).
  const std::string d220("\x00\x00\x00\x00\x00\x80\x6b\x40", 8);
  const std::string bytes = read_file_bytes(dir.file("voice_wav.frq"));
  ASSERT_EQ(bytes.size(), 40u + 16u * 3u);
  EXPECT_EQ(bytes.substr(0, 40), "FREQ0003" + std::string("\x00\x01\x00\x00", 4) + d220 +
                                     std::string(16, '\0') + std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(bytes, frq_bytes(220.0, 3, {55.0, 0.0, 220.0, 1523.40625, 221.5, -2.5}));

  write_file_bytes(dir.file("voice_wav.frq"), bytes + "trailing junk");  // ignored
  const std::optional<FrequencyList> list = read_frq(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq_avg, 220.0);
  EXPECT_EQ(list->length, 3);
  EXPECT_EQ(list->freq, (std::vector<double>{55.0, 220.0, 221.5, 221.5}));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 1523.40625, -2.5, -2.5}));
}

TEST(BinaryList, HostileFilesAreAbsentOrSanitised) {
  ScratchDir dir;
  const std::string input = dir.file("s.wav"), frq = dir.file("s_wav.frq");
  const std::vector<double> two = {110.0, 5.0, 220.0, 6.0};
  std::vector<std::string> absent = {
      frq_bytes(150.0, 2, two, 512),  frq_bytes(150.0, 0, {}),   frq_bytes(150.0, -5, two),
      frq_bytes(150.0, 0x7fffffff, two), frq_bytes(150.0, 2, two).substr(0, 40 + 16 + 15),
      frq_bytes(150.0, 2, two).substr(0, 39), "", frq_bytes(NaN, 2, two), frq_bytes(Inf, 2, two),
      frq_bytes(0.0, 2, two),         frq_bytes(-220.0, 2, two)};
  for (int at = 0; at < 8; ++at) {  // each byte of the magic
    absent.push_back(frq_bytes(150.0, 2, two));
    absent.back()[at] ^= 0x20;
  }
  for (size_t c = 0; c < absent.size(); ++c) {
    write_file_bytes(frq, absent[c]);
    EXPECT_FALSE(read_frq(input).has_value()) << "case " << c;
  }
  write_file_bytes(frq, frq_bytes(150.0, 5, {NaN, NaN, Inf, -Inf, -3.0, 7.0, 0.0, 8.0, 440.0, -1.0}));
  const std::optional<FrequencyList> list = read_frq(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq, (std::vector<double>{55.0, 55.0, 55.0, 55.0, 440.0, 440.0}));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 0.0, 7.0, 8.0, -1.0, -1.0}));
  // What is not a regular file never counts, and never blocks.
  std::remove(frq.c_str());
  ASSERT_EQ(mkfifo(frq.c_str(), 0644), 0);
  EXPECT_FALSE(read_frq(input).has_value());
  std::remove(frq.c_str());
  ASSERT_EQ(mkdir(frq.c_str(), 0755), 0);
  EXPECT_FALSE(read_frq(input).has_value());
}

TEST(TextList, CrLfLinesWithLabelsReadBackToFiveDecimals) {
  ScratchDir dir;
  const FrequencyGrid& grid = grid_at(44100);
  const std::string input = dir.file("a.wav");
  const double freq[] = {55.0, 219.21045, 220.78955}, amp[] = {0.0, 1523.40625, 1610.125};
  ASSERT_TRUE(write_frt(input, freq, amp, 3, 220.0, grid));
  EXPECT_EQ(read_file_bytes(dir.file("a_wav.frt")),
            "frequencies list Ver0.03\r\nfreq_avg: 220.00000Hz (A3)\r\nstep: 256\r\nlength: 3\r\n\r\n"
            "0.00000\t55.00000Hz\t(A1)\r\n"
            "1523.40625\t219.21045Hz\t(A3 -0.1)\r\n"
            "1610.12500\t220.78955Hz\t(A3 +0.1)\r\n");
  const double fine_freq[] = {123.456789, 55.0}, fine_amp[] = {9876.543216, 3.0};
  ASSERT_TRUE(write_frt(input, fine_freq, fine_amp, 2, 123.4567891, grid));
  const std::optional<FrequencyList> list = read_frt(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->length, 2);
  EXPECT_EQ(list->freq_avg, 123.45679);
  EXPECT_EQ(list->freq, (std::vector<double>{123.45679, 55.0, 55.0}));
  EXPECT_EQ(list->amp, (std::vector<double>{9876.54322, 3.0, 3.0}));
}

TEST(TextList, ToleratesEditsButRefusesBrokenHeaders) {
  ScratchDir dir;
  const std::string input = dir.file("e.wav"), frt = dir.file("e_wav.frt");
  // Edited labels, comment lines, LF line ends, blanks instead of a tab.
  write_file_bytes(frt,
                   "frequencies list Ver0.03 (hand-tuned)\nfreq_avg: 200.5Hz (whatever)\n# tuned by hand\n"
                   "step: 256\nlength: 3\nanother comment\n\n"
                   "  10.5\t201.25Hz\t(my label)\n11.0 202.5Hz\n12.0\t\t203.75\r\n");
  std::optional<FrequencyList> list = read_frt(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq_avg, 200.5);
  EXPECT_EQ(list->freq, (std::vector<double>{201.25, 202.5, 203.75, 203.75}));
  EXPECT_EQ(list->amp, (std::vector<double>{10.5, 11.0, 12.0, 12.0}));

  const std::string avg = "freq_avg: 220.0Hz\r\n", rows = "1.0\t220.0Hz\r\n2.0\t221.0Hz\r\n";
  write_file_bytes(frt, frt_text(avg + "length: 2\r\n", rows));
  ASSERT_TRUE(read_frt(input).has_value());
  const struct {
    const char* what;
    std::string text;
  } absent[] = {
      {"other header", "frequencies list Ver0.02\r\n" + avg + "length: 2\r\n\r\n" + rows},
      {"step 512", frt_text(avg + "step: 512\r\nlength: 2\r\n", rows)},
      {"length 0", frt_text(avg + "length: 0\r\n", rows)},
      {"negative length", frt_text(avg + "length: -2\r\n", rows)},
      {"no length", frt_text(avg, rows)},
      {"huge length", frt_text(avg + "length: 2000000000\r\n", rows)},
      {"too few rows", frt_text(avg + "length: 3\r\n", rows)},
      {"no blank line", "frequencies list Ver0.03\r\n" + avg + "length: 2\r\n"},
      {"no freq_avg", frt_text("length: 2\r\n", rows)},
      {"unreadable freq_avg", frt_text("freq_avg: abcHz\r\nlength: 2\r\n", rows)},
      {"NaN freq_avg", frt_text("freq_avg: nanHz\r\nlength: 2\r\n", rows)},
      {"zero freq_avg", frt_text("freq_avg: 0.0Hz\r\nlength: 2\r\n", rows)},
      {"empty", ""},
      {"binary junk", std::string("\x00\xff\x13\x37\nfrequencies list Ver0.03\n", 30)},
  };
  for (const auto& c : absent) {
    write_file_bytes(frt, c.text);
    EXPECT_FALSE(read_frt(input).has_value()) << c.what;
  }
  // Rows without both numbers are unvoiced and silent; unusable values are replaced.
  write_file_bytes(frt, frt_text(avg + "length: 6\r\n",
                                 "garbage\r\n5.0\r\n\r\nnan\tinfHz\r\n-7.0\t-220.0Hz\r\ninf\t0Hz\r\n"));
  list = read_frt(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq, (std::vector<double>(7, 55.0)));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 0.0, 0.0, 0.0, -7.0, 0.0, 0.0}));
}

TEST(SideFileWriting, ReplacesWholeFilesAndLeavesNothingBehind) {
  ScratchDir dir;
  const FrequencyGrid& grid = grid_at(44100);
  const double freq[] = {100.0}, amp[] = {1.0};
  const mode_t old_mask = umask(027);
  const bool written = write_frq(dir.file("m.wav"), freq, amp, 1, 100.0);
  umask(old_mask);
  ASSERT_TRUE(written);
  struct stat info;
  ASSERT_EQ(stat(dir.file("m_wav.frq").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  // A missing folder, or a folder where the file should go: failure, no temporary left.
  EXPECT_FALSE(write_frq(dir.file("missing/m.wav"), freq, amp, 1, 100.0));
  ASSERT_EQ(mkdir(dir.file("d_wav.frt").c_str(), 0755), 0);
  EXPECT_FALSE(write_frt(dir.file("d.wav"), freq, amp, 1, 100.0, grid));
  EXPECT_EQ(list_folder(dir.path), (std::vector<std::string>{"d_wav.frt", "m_wav.frq"}));
  // A name so long that no suffix fits still gets written, in a deep path.
  std::string deep = dir.path;
  for (int level = 0; level < 4; ++level) {
    deep += "/" + std::string(200, static_cast<char>('a' + level));
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  const std::string long_input = deep + "/" + std::string(246, 'n') + ".wav";  // side files: 254 characters
  ASSERT_TRUE(write_frq(long_input, freq, amp, 1, 100.0));
  ASSERT_TRUE(write_frt(long_input, freq, amp, 1, 100.0, grid));
  EXPECT_TRUE(read_frq(long_input).has_value());
  EXPECT_TRUE(read_frt(long_input).has_value());
  EXPECT_EQ(list_folder(deep).size(), 2u);
}

}  // namespace
}  // namespace quillet
