#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

TEST(WavWrite, HeaderAndDataBytes) {
  ScratchDir dir;
  const std::vector<int16_t> samples = {1, -2, 0x1234};
  ASSERT_EQ(write_wav(dir.file("out.wav"), samples.data(), 6, 16, 1, 44100), 0);
  EXPECT_EQ(read_file_bytes(dir.file("out.wav")),
            "RIFF" + bytes_of({42, 0, 0, 0}) + "WAVEfmt " + bytes_of({16, 0, 0, 0, 1, 0, 1, 0}) +
                bytes_of({0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2, 0, 16, 0}) + "data" + bytes_of({6, 0, 0, 0}) +
                bytes_of({0x01, 0x00, 0xFE, 0xFF, 0x34, 0x12}));
  // No samples: sizes 36 and 0.
  ASSERT_EQ(write_wav(dir.file("empty.wav"), nullptr, 0, 16, 1, 44100), 0);
  const std::string empty = read_file_bytes(dir.file("empty.wav"));
  ASSERT_EQ(empty.size(), 44u);
  EXPECT_EQ(empty.substr(4, 4) + empty.substr(40, 4), bytes_of({36, 0, 0, 0, 0, 0, 0, 0}));
  // Stereo 24-bit at 48000: block_align 6, byte_rate 288000 (0x046500).
  ASSERT_EQ(write_wav(dir.file("s24.wav"), samples.data(), 6, 24, 2, 48000), 0);
  EXPECT_EQ(read_file_bytes(dir.file("s24.wav")).substr(22, 14),
            bytes_of({2, 0, 0x80, 0xBB, 0, 0, 0x00, 0x65, 0x04, 0, 6, 0, 24, 0}));
  // An odd byte count ends with the low byte of the last sample given.
  ASSERT_EQ(write_wav(dir.file("odd.wav"), samples.data(), 5, 16, 1, 44100), 0);
  EXPECT_EQ(read_file_bytes(dir.file("odd.wav")).substr(36), "data" + bytes_of({5, 0, 0, 0, 1, 0, 0xFE, 0xFF, 0x34}));
}

TEST(WavWrite, ReplacesTheTargetWholeOrNotAtAll) {
  ScratchDir dir;
  const std::string path = dir.file("out.wav");
  write_file_bytes(path, "old content");
  const std::vector<int16_t> samples = {4, 5};
  const mode_t saved_mask = umask(022);
  const int status = write_wav(path, samples.data(), 4, 16, 1, 44100);
  umask(saved_mask);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(read_file_bytes(path), wav16(samples, 1, 44100));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);  // an ordinary file, not the temporary's 0600

  // A missing folder, a folder in the way (the rename fails), nonsense sizes:
  // -1, and no temporary is left behind.
  ASSERT_TRUE(std::filesystem::create_directory(dir.file("taken")));
  EXPECT_EQ(write_wav(dir.file("no/such/folder/out.wav"), samples.data(), 4, 16, 1, 44100), -1);
  EXPECT_EQ(write_wav(dir.file("taken"), samples.data(), 4, 16, 1, 44100), -1);
  EXPECT_EQ(write_wav(dir.file("neg.wav"), samples.data(), -2, 16, 1, 44100), -1);
  EXPECT_EQ(write_wav(dir.file("null.wav"), nullptr, 4, 16, 1, 44100), -1);
  EXPECT_EQ(list_folder(dir.path), (std::vector<std::string>{"out.wav", "taken"}));
  EXPECT_TRUE(list_folder(dir.file("taken")).empty());
}

}  // namespace
}  // namespace quillet
