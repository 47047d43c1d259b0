#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

std::string bytes_of(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

TEST(WavWrite, HeaderAndDataBytes) {
  test::ScratchDir dir;
  const std::string path = dir.file("out.wav");
  const std::vector<int16_t> samples = {1, -2, 0x1234};
  ASSERT_EQ(write_wav(path, samples.data(), 6, 16, 1, 44100), 0);
  const std::string expected =
      "RIFF" + bytes_of({0x2A, 0, 0, 0}) + "WAVE" + "fmt " + bytes_of({0x10, 0, 0, 0, 1, 0, 1, 0}) +
      bytes_of({0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2, 0, 0x10, 0}) + "data" + bytes_of({6, 0, 0, 0}) +
      bytes_of({0x01, 0x00, 0xFE, 0xFF, 0x34, 0x12});
  EXPECT_EQ(test::read_file_bytes(path), expected);

  // No samples: a bare 44-byte header with sizes 36 and 0.
  ASSERT_EQ(write_wav(dir.file("empty.wav"), nullptr, 0, 16, 1, 44100), 0);
  const std::string empty = test::read_file_bytes(dir.file("empty.wav"));
  ASSERT_EQ(empty.size(), 44u);
  EXPECT_EQ(empty.substr(4, 4), bytes_of({36, 0, 0, 0}));
  EXPECT_EQ(empty.substr(40, 4), bytes_of({0, 0, 0, 0}));

  // Stereo 24-bit at 48000: block_align 6, byte_rate 288000 (0x046500).
  const std::vector<int16_t> six(3, 0);
  ASSERT_EQ(write_wav(dir.file("s24.wav"), six.data(), 6, 24, 2, 48000), 0);
  const std::string s24 = test::read_file_bytes(dir.file("s24.wav"));
  ASSERT_EQ(s24.size(), 50u);
  EXPECT_EQ(s24.substr(22, 14), bytes_of({2, 0, 0x80, 0xBB, 0, 0, 0x00, 0x65, 0x04, 0, 6, 0, 24, 0}));

  // An odd byte count ends with the low byte of the last sample given.
  ASSERT_EQ(write_wav(dir.file("odd.wav"), samples.data(), 5, 16, 1, 44100), 0);
  EXPECT_EQ(test::read_file_bytes(dir.file("odd.wav")).substr(36), "data" + bytes_of({5, 0, 0, 0, 1, 0, 0xFE, 0xFF, 0x34}));
}

TEST(WavWrite, WrittenFileReadsBackUnchanged) {
  test::ScratchDir dir;
  std::vector<int16_t> samples(1000);
  for (int i = 0; i < 1000; ++i) samples[i] = static_cast<int16_t>(i * 67 - 32768);
  ASSERT_EQ(write_wav(dir.file("round.wav"), samples.data(), 2000, 16, 1, 44100), 0);
  EXPECT_EQ(test::read_file_bytes(dir.file("round.wav")), test::wav16(samples, 1, 44100));
  WaveInfo info;
  SampleStore store;
  ASSERT_TRUE(read_wav(dir.file("round.wav"), info, 0, store));
  EXPECT_EQ(info.data_bytes, 2000);
  EXPECT_EQ(store, samples);
}

TEST(WavWrite, ReplacesTheTargetWholeOrNotAtAll) {
  test::ScratchDir dir;
  const std::string path = dir.file("out.wav");
  test::write_file_bytes(path, "old content");
  const std::vector<int16_t> samples = {4, 5};
  const mode_t saved_mask = umask(022);
  const int status = write_wav(path, samples.data(), 4, 16, 1, 44100);
  umask(saved_mask);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(test::read_file_bytes(path), test::wav16(samples, 1, 44100));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(test::list_folder(dir.path), std::vector<std::string>{"out.wav"});

  // A folder that does not exist: nothing is created anywhere.
  EXPECT_EQ(write_wav(dir.file("no/such/folder/out.wav"), samples.data(), 4, 16, 1, 44100), -1);
  // The target is a folder: the rename fails and the temporary is removed.
  ASSERT_TRUE(std::filesystem::create_directory(dir.file("taken")));
  EXPECT_EQ(write_wav(dir.file("taken"), samples.data(), 4, 16, 1, 44100), -1);
  std::vector<std::string> names = test::list_folder(dir.path);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"out.wav", "taken"}));
  EXPECT_TRUE(test::list_folder(dir.file("taken")).empty());
  // Nonsense sizes are refused before anything is created.
  EXPECT_EQ(write_wav(dir.file("neg.wav"), samples.data(), -2, 16, 1, 44100), -1);
  EXPECT_EQ(write_wav(dir.file("null.wav"), nullptr, 4, 16, 1, 44100), -1);
  EXPECT_EQ(test::list_folder(dir.path).size(), 2u);
}

}  // namespace
}  // namespace quillet
