#include "analysis/frequency_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "analysis/frequency_grid.h"
#include "support/process.h"

namespace quillet {
namespace {

using test::list_folder;
using test::read_file_bytes;
using test::ScratchDir;
using test::write_file_bytes;

FrequencyGrid grid_44100() {
  FrequencyGrid grid;
  build_frequency_grid(grid, 44100, 3072);
  return grid;
}

// ---- byte builders for hand-made side files ------------------------------

void append_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void append_f64(std::string& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(bits >> (8 * i)));
}

// A binary list with the given header values and (freq, amp) records.
std::string frq_bytes(double freq_avg, int32_t count, const std::vector<double>& freq_amp_pairs,
                      const char* magic = "FREQ0003", uint32_t step = 256) {
  std::string out(magic, 8);
  append_u32(out, step);
  append_f64(out, freq_avg);
  append_f64(out, 0.0);
  append_f64(out, 0.0);
  append_u32(out, static_cast<uint32_t>(count));
  for (double value : freq_amp_pairs) append_f64(out, value);
  return out;
}

std::string frt_text(const std::string& header_lines, const std::string& rows) {
  return "frequencies list Ver0.03\r\n" + header_lines + "\r\n" + rows;
}

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

TEST(SideFileNames, WavBeforeTheExtensionBecomesUnderscoreWav) {
  EXPECT_EQ(side_file_name("a.wav", ".frq"), "a_wav.frq");
  EXPECT_EQ(side_file_name("a.wav", ".frt"), "a_wav.frt");
  EXPECT_EQ(side_file_name("dir/voice.wav", ".frq"), "dir/voice_wav.frq");
  EXPECT_EQ(side_file_name("a.WAV", ".frq"), "a.WAV.frq");
  EXPECT_EQ(side_file_name("voice.aiff", ".frt"), "voice.aiff.frt");
  EXPECT_EQ(side_file_name("a.wav.wav", ".frq"), "a.wav_wav.frq");
  // Only the first occurrence of ".wav.frq" in the whole name changes.
  EXPECT_EQ(side_file_name("x.wav.frq/y.wav", ".frq"), "x_wav.frq/y.wav.frq");
  EXPECT_EQ(side_file_name(std::string(600, 'p') + ".wav", ".frq"), std::string(600, 'p') + "_wav.frq");
}

TEST(NoteLabels, NameTheNearestNoteWithItsOffsetInTenths) {
  const FrequencyGrid grid = grid_44100();
  EXPECT_EQ(note_label(grid, 55.0), "A1");
  EXPECT_EQ(note_label(grid, 440.0), "A4");
  EXPECT_EQ(note_label(grid, 30.0), "A1");
  const struct {
    int index;
    const char* label;
  } cases[] = {{270, "C4"},       {266, "C4 -0.4"},  {275, "C4 +0.5"}, {276, "C#4 -0.4"},
               {361, "A4 +0.1"},  {359, "A4 -0.1"},  {263, "B3 +0.3"}, {900, "D#9"},
               {1, "A1 +0.1"},    {10, "A#1"},       {130, "A#2"}};
  for (const auto& c : cases) EXPECT_EQ(note_label(grid, grid.freq[c.index]), c.label) << c.index;
  for (int k = 0; k < GRID_SIZE; ++k) ASSERT_LE(note_label(grid, grid.freq[k]).size(), 8u) << k;
}

TEST(BinaryList, WritesTheExactLayoutAndReadsItBack) {
  ScratchDir dir;
  const std::string input = dir.file("voice.wav");
  const double freq[] = {55.0, 220.0, 221.5};
  const double amp[] = {0.0, 1523.40625, -2.5};
  ASSERT_TRUE(write_frq(input, freq, amp, 3, 220.0));

  const std::string bytes = read_file_bytes(dir.file("voice_wav.frq"));
  ASSERT_EQ(bytes.size(), 40u + 16u * 3u);
  EXPECT_EQ(bytes.substr(0, 8), "FREQ0003");
  EXPECT_EQ(bytes.substr(8, 4), std::string("\x00\x01\x00\x00", 4));
  // 220.0 is 0x406B800000000000, stored low byte first.
  EXPECT_EQ(bytes.substr(12, 8), std::string("\x00\x00\x00\x00\x00\x80\x6b\x40", 8));
  EXPECT_EQ(bytes.substr(20, 16), std::string(16, '\0'));
  EXPECT_EQ(bytes.substr(36, 4), std::string("\x03\x00\x00\x00", 4));
  // Record 1: freq 220.0, then amp.
  EXPECT_EQ(bytes.substr(56, 8), bytes.substr(12, 8));

  const std::optional<FrequencyList> list = read_frq(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq_avg, 220.0);
  EXPECT_EQ(list->step, 256);
  EXPECT_EQ(list->length, 3);
  EXPECT_EQ(list->freq, (std::vector<double>{55.0, 220.0, 221.5, 221.5}));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 1523.40625, -2.5, -2.5}));

  // Bytes after the promised records are ignored.
  write_file_bytes(dir.file("voice_wav.frq"), bytes + "trailing junk");
  ASSERT_TRUE(read_frq(input).has_value());
  EXPECT_EQ(read_frq(input)->length, 3);
}

TEST(BinaryList, HostileFilesAreAbsentOrSanitised) {
  ScratchDir dir;
  const std::string input = dir.file("s.wav");
  const std::string frq = dir.file("s_wav.frq");
  const std::vector<double> two = {110.0, 5.0, 220.0, 6.0};
  write_file_bytes(frq, frq_bytes(150.0, 2, two));
  ASSERT_TRUE(read_frq(input).has_value());

  for (int at = 0; at < 8; ++at) {
    std::string bad = frq_bytes(150.0, 2, two);
    bad[at] ^= 0x20;
    write_file_bytes(frq, bad);
    EXPECT_FALSE(read_frq(input).has_value()) << "magic byte " << at;
  }
  const struct {
    const char* what;
    std::string bytes;
  } absent[] = {
      {"step 512", frq_bytes(150.0, 2, two, "FREQ0003", 512)},
      {"count 0", frq_bytes(150.0, 0, {})},
      {"negative count", frq_bytes(150.0, -5, two)},
      {"huge count", frq_bytes(150.0, 0x7fffffff, two)},
      {"truncated record", frq_bytes(150.0, 2, two).substr(0, 40 + 16 + 15)},
      {"short header", frq_bytes(150.0, 2, two).substr(0, 39)},
      {"empty", ""},
      {"NaN average", frq_bytes(NaN, 2, two)},
      {"infinite average", frq_bytes(Inf, 2, two)},
      {"zero average", frq_bytes(0.0, 2, two)},
      {"negative average", frq_bytes(-220.0, 2, two)},
  };
  for (const auto& c : absent) {
    write_file_bytes(frq, c.bytes);
    EXPECT_FALSE(read_frq(input).has_value()) << c.what;
  }

  write_file_bytes(frq, frq_bytes(150.0, 5, {NaN, NaN, Inf, -Inf, -3.0, 7.0, 0.0, 8.0, 440.0, -1.0}));
  const std::optional<FrequencyList> list = read_frq(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq, (std::vector<double>{55.0, 55.0, 55.0, 55.0, 440.0, 440.0}));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 0.0, 7.0, 8.0, -1.0, -1.0}));

  // Things that are not regular files never count, and never block.
  std::remove(frq.c_str());
  EXPECT_FALSE(read_frq(input).has_value());
  ASSERT_EQ(mkfifo(frq.c_str(), 0644), 0);
  EXPECT_FALSE(read_frq(input).has_value());
  std::remove(frq.c_str());
  ASSERT_EQ(mkdir(frq.c_str(), 0755), 0);
  EXPECT_FALSE(read_frq(input).has_value());
}

TEST(TextList, WritesCrLfLinesWithLabelsAndReadsBackFiveDecimals) {
  ScratchDir dir;
  const FrequencyGrid grid = grid_44100();
  const std::string input = dir.file("a.wav");
  const double freq[] = {55.0, 219.21045, 220.78955};
  const double amp[] = {0.0, 1523.40625, 1610.125};
  ASSERT_TRUE(write_frt(input, freq, amp, 3, 220.0, grid));
  EXPECT_EQ(read_file_bytes(dir.file("a_wav.frt")),
            "frequencies list Ver0.03\r\n"
            "freq_avg: 220.00000Hz (A3)\r\n"
            "step: 256\r\n"
            "length: 3\r\n"
            "\r\n"
            "0.00000\t55.00000Hz\t(A1)\r\n"
            "1523.40625\t219.21045Hz\t(A3 -0.1)\r\n"
            "1610.12500\t220.78955Hz\t(A3 +0.1)\r\n");

  const double fine_freq[] = {123.456789, 55.0};
  const double fine_amp[] = {9876.543216, 3.0};
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
  const std::string input = dir.file("e.wav");
  const std::string frt = dir.file("e_wav.frt");
  // Edited labels, comment lines, LF line ends, blanks instead of a tab.
  write_file_bytes(frt,
                   "frequencies list Ver0.03 (hand-tuned)\n"
                   "freq_avg: 200.5Hz (whatever)\n"
                   "# tuned by hand\n"
                   "step: 256\n"
                   "length: 3\n"
                   "another comment\n"
                   "\n"
                   "  10.5\t201.25Hz\t(my label)\n"
                   "11.0 202.5Hz\n"
                   "12.0\t\t203.75\r\n");
  std::optional<FrequencyList> list = read_frt(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq_avg, 200.5);
  EXPECT_EQ(list->freq, (std::vector<double>{201.25, 202.5, 203.75, 203.75}));
  EXPECT_EQ(list->amp, (std::vector<double>{10.5, 11.0, 12.0, 12.0}));

  const std::string good_header = "freq_avg: 220.0Hz (A3)\r\nstep: 256\r\nlength: 2\r\n";
  const std::string good_rows = "1.0\t220.0Hz\r\n2.0\t221.0Hz\r\n";
  write_file_bytes(frt, frt_text(good_header, good_rows));
  ASSERT_TRUE(read_frt(input).has_value());

  const struct {
    const char* what;
    std::string text;
  } absent[] = {
      {"no header", "frequencies list Ver0.02\r\n" + good_header + "\r\n" + good_rows},
      {"step 512", frt_text("freq_avg: 220.0Hz\r\nstep: 512\r\nlength: 2\r\n", good_rows)},
      {"length 0", frt_text("freq_avg: 220.0Hz\r\nlength: 0\r\n", good_rows)},
      {"negative length", frt_text("freq_avg: 220.0Hz\r\nlength: -2\r\n", good_rows)},
      {"no length", frt_text("freq_avg: 220.0Hz\r\n", good_rows)},
      {"huge length", frt_text("freq_avg: 220.0Hz\r\nlength: 2000000000\r\n", good_rows)},
      {"too few rows", frt_text("freq_avg: 220.0Hz\r\nlength: 3\r\n", good_rows)},
      {"no blank line", "frequencies list Ver0.03\r\n" + good_header},
      {"no freq_avg", frt_text("step: 256\r\nlength: 2\r\n", good_rows)},
      {"unreadable freq_avg", frt_text("freq_avg: abcHz\r\nlength: 2\r\n", good_rows)},
      {"NaN freq_avg", frt_text("freq_avg: nanHz\r\nlength: 2\r\n", good_rows)},
      {"zero freq_avg", frt_text("freq_avg: 0.0Hz\r\nlength: 2\r\n", good_rows)},
      {"empty", ""},
      {"binary junk", std::string("\x00\xff\x13\x37\nfrequencies list Ver0.03\n", 30)},
  };
  for (const auto& c : absent) {
    write_file_bytes(frt, c.text);
    EXPECT_FALSE(read_frt(input).has_value()) << c.what;
  }

  // Rows that do not give both numbers are unvoiced and silent; values that
  // are not usable are replaced.
  write_file_bytes(frt, frt_text("freq_avg: 220.0Hz\r\nlength: 6\r\n",
                                 "garbage\r\n"
                                 "5.0\r\n"
                                 "\r\n"
                                 "nan\tinfHz\r\n"
                                 "-7.0\t-220.0Hz\r\n"
                                 "inf\t0Hz\r\n"));
  list = read_frt(input);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->freq, (std::vector<double>(7, 55.0)));
  EXPECT_EQ(list->amp, (std::vector<double>{0.0, 0.0, 0.0, 0.0, -7.0, 0.0, 0.0}));
}

TEST(SideFileWriting, ReplacesWholeFilesAndLeavesNothingBehind) {
  ScratchDir dir;
  const FrequencyGrid grid = grid_44100();
  const double freq[] = {100.0};
  const double amp[] = {1.0};

  const mode_t old_mask = umask(027);
  const bool written = write_frq(dir.file("m.wav"), freq, amp, 1, 100.0);
  umask(old_mask);
  ASSERT_TRUE(written);
  struct stat info;
  ASSERT_EQ(stat(dir.file("m_wav.frq").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  // A missing folder, or a folder where the file should go: failure, and no
  // temporary file is left.
  EXPECT_FALSE(write_frq(dir.file("missing/m.wav"), freq, amp, 1, 100.0));
  ASSERT_EQ(mkdir(dir.file("d_wav.frt").c_str(), 0755), 0);
  EXPECT_FALSE(write_frt(dir.file("d.wav"), freq, amp, 1, 100.0, grid));
  std::vector<std::string> names = list_folder(dir.path);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"d_wav.frt", "m_wav.frq"}));

  // A name so long that no suffix fits still gets written, in a deep path.
  std::string deep = dir.path;
  for (int level = 0; level < 4; ++level) {
    deep += "/" + std::string(200, static_cast<char>('a' + level));
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  const std::string long_input = deep + "/" + std::string(246, 'n') + ".wav";  // 250 + 4
  ASSERT_TRUE(write_frq(long_input, freq, amp, 1, 100.0));
  ASSERT_TRUE(write_frt(long_input, freq, amp, 1, 100.0, grid));
  EXPECT_TRUE(read_frq(long_input).has_value());
  EXPECT_TRUE(read_frt(long_input).has_value());
  EXPECT_EQ(list_folder(deep).size(), 2u);  // the two side files, no temporaries
}

}  // namespace
}  // namespace quillet
