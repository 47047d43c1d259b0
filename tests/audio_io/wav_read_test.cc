#include <gtest/gtest.h>

#include <cstdio>

#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using test::fmt_body;
using test::fmt_body_raw;
using test::le16;
using test::le32;
using test::pcm16_le;
using test::riff_chunk;
using test::riff_chunk_sized;
using test::riff_file;

struct WavRead {
  bool loaded = false;
  WaveInfo info;
  SampleStore samples;
  std::string console;
};

WavRead read_wav_bytes(const std::string& bytes, int pad_frames = 3072, WaveInfo start = {}) {
  test::ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  test::write_file_bytes(path, bytes);
  WavRead result;
  result.info = start;
  testing::internal::CaptureStdout();
  result.loaded = read_wav(path, result.info, pad_frames, result.samples);
  std::fflush(stdout);
  result.console = testing::internal::GetCapturedStdout();
  return result;
}

// The store holds data, then tail_elements zeros, and nothing else.
void expect_store(const SampleStore& store, const std::vector<int16_t>& data, std::size_t tail_elements) {
  ASSERT_EQ(store.size(), data.size() + tail_elements);
  for (std::size_t i = 0; i < data.size(); ++i) EXPECT_EQ(store[i], data[i]) << "element " << i;
  for (std::size_t i = data.size(); i < store.size(); ++i) {
    if (store[i] != 0) {
      ADD_FAILURE() << "tail element " << i << " is " << store[i];
      return;
    }
  }
}

std::string mono16_fmt() { return riff_chunk("fmt ", fmt_body(1, 44100, 16)); }

TEST(WavRead, PlainFilesGiveTheirFormatSamplesAndZeroTail) {
  const std::vector<int16_t> mono = {0, 1, -1, 32767, -32768, 1234};
  const WavRead m = read_wav_bytes(test::wav16(mono, 1, 44100));
  ASSERT_TRUE(m.loaded);
  EXPECT_EQ(m.console, "");
  EXPECT_EQ(m.info.format_tag, 1);
  EXPECT_EQ(m.info.channels, 1);
  EXPECT_EQ(m.info.sample_rate, 44100u);
  EXPECT_EQ(m.info.byte_rate, 88200u);
  EXPECT_EQ(m.info.block_align, 2);
  EXPECT_EQ(m.info.bits_per_sample, 16);
  EXPECT_EQ(m.info.data_bytes, 12);
  expect_store(m.samples, mono, 3072);  // 6144 zero bytes

  const std::vector<int16_t> stereo = {100, -100, 200, -200, 300, -300};
  const WavRead s = read_wav_bytes(test::wav16(stereo, 2, 22050));
  ASSERT_TRUE(s.loaded);
  EXPECT_EQ(s.info.block_align, 4);
  EXPECT_EQ(s.info.byte_rate, 88200u);
  EXPECT_EQ(s.info.data_bytes, 12);
  expect_store(s.samples, stereo, 6144);  // 12288 zero bytes

  const std::vector<int16_t> six(12, 7);
  const WavRead h = read_wav_bytes(test::wav16(six, 6, 48000));
  ASSERT_TRUE(h.loaded);
  EXPECT_EQ(h.info.channels, 6);
  EXPECT_EQ(h.info.block_align, 12);
  expect_store(h.samples, six, 3072 * 6);

  const WavRead bare = read_wav_bytes(test::wav16(mono, 1, 44100), 0);
  ASSERT_TRUE(bare.loaded);
  expect_store(bare.samples, mono, 0);
}

TEST(WavRead, ChunkWalkSkipsOtherChunksAndExtendedFormatBodies) {
  const std::string data = riff_chunk("data", pcm16_le({5, -6}));
  // Even and odd chunks between fmt and data, the odd one with and without its pad byte.
  for (const std::string& between :
       {riff_chunk("LIST", "INFOabcd"), riff_chunk("LIST", "INFOabc", true), riff_chunk("LIST", "INFOabc"),
        riff_chunk("fact", le32(2)) + riff_chunk("junk", "x", true)}) {
    const WavRead r = read_wav_bytes(riff_file(mono16_fmt() + between + data));
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(r.info.sample_rate, 44100u);
    expect_store(r.samples, {5, -6}, 3072);
  }
  // fmt bodies of 18 (size field 0) and 40 bytes (extensible): the rest is skipped.
  const std::string fmt18 = riff_chunk("fmt ", fmt_body(2, 32000, 16) + le16(0));
  const std::string fmt40 = riff_chunk("fmt ", fmt_body(2, 32000, 16, 0xFFFE) + le16(22) + std::string(22, 'z'));
  for (const std::string& fmt : {fmt18, fmt40}) {
    const WavRead r = read_wav_bytes(riff_file(fmt + data));
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(r.info.channels, 2);
    EXPECT_EQ(r.info.sample_rate, 32000u);
    EXPECT_EQ(r.info.block_align, 4);
    expect_store(r.samples, {5, -6}, 6144);
  }
  EXPECT_EQ(read_wav_bytes(riff_file(fmt40 + data)).info.format_tag, 0xFFFE);
  // A size with the top bit set skips nothing: the next chunk follows its size field.
  const WavRead top = read_wav_bytes(riff_file(riff_chunk_sized("junk", 0x80000000u, "") + mono16_fmt() + data));
  ASSERT_TRUE(top.loaded);
  EXPECT_EQ(top.info.sample_rate, 44100u);
  expect_store(top.samples, {5, -6}, 3072);
  // A later fmt overwrites an earlier one; nothing after the data chunk is looked at.
  const WavRead later = read_wav_bytes(
      riff_file(riff_chunk("fmt ", fmt_body(2, 8000, 8)) + mono16_fmt() + data + riff_chunk("fmt ", fmt_body(1, 11025, 16))));
  ASSERT_TRUE(later.loaded);
  EXPECT_EQ(later.info.channels, 1);
  EXPECT_EQ(later.info.sample_rate, 44100u);
}

TEST(WavRead, OtherSampleWidthsAreKeptByteForByte) {
  // 8-bit: three bytes become two little-endian elements, the odd one zero-padded;
  // the tail is 3072 bytes = 1536 elements.
  const WavRead u8 = read_wav_bytes(riff_file(riff_chunk("fmt ", fmt_body(1, 8000, 8)) +
                                              riff_chunk("data", std::string("\x80\x7f\x01", 3), true)));
  ASSERT_TRUE(u8.loaded);
  EXPECT_EQ(u8.info.bits_per_sample, 8);
  EXPECT_EQ(u8.info.block_align, 1);
  EXPECT_EQ(u8.info.data_bytes, 3);
  expect_store(u8.samples, {0x7F80, 0x0001}, 1536);
  // 24-bit mono, two frames: bytes 01 02 03 04 05 06; tail 3 x 3072 bytes.
  const WavRead s24 = read_wav_bytes(riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 24)) +
                                               riff_chunk("data", "\x01\x02\x03\x04\x05\x06")));
  ASSERT_TRUE(s24.loaded);
  EXPECT_EQ(s24.info.block_align, 3);
  expect_store(s24.samples, {0x0201, 0x0403, 0x0605}, 4608);
  // 32-bit float stereo keeps its tag and width.
  const WavRead f32 = read_wav_bytes(riff_file(riff_chunk("fmt ", fmt_body(2, 44100, 32, 3)) +
                                               riff_chunk("data", std::string(8, '\0'))));
  ASSERT_TRUE(f32.loaded);
  EXPECT_EQ(f32.info.format_tag, 3);
  EXPECT_EQ(f32.info.bits_per_sample, 32);
  EXPECT_EQ(f32.info.block_align, 8);
  expect_store(f32.samples, {0, 0, 0, 0}, 3072 * 4);
}

TEST(WavRead, DataSizesAreHeldToWhatTheFileHolds) {
  const std::string stereo_fmt = riff_chunk("fmt ", fmt_body(2, 44100, 16));
  // Declares 100 bytes, holds 10: two whole frames (8 bytes) are kept.
  const WavRead over = read_wav_bytes(riff_file(stereo_fmt + riff_chunk_sized("data", 100, pcm16_le({1, 2, 3, 4, 5}))));
  ASSERT_TRUE(over.loaded);
  EXPECT_EQ(over.info.data_bytes, 8);
  expect_store(over.samples, {1, 2, 3, 4}, 6144);
  // Top bit set: to the end of the file, cut to whole frames (7 bytes -> 6).
  const WavRead to_end = read_wav_bytes(
      riff_file(mono16_fmt() + riff_chunk_sized("data", 0xFFFFFFFFu, pcm16_le({9, 8, 0x0207}) + "\x05")));
  ASSERT_TRUE(to_end.loaded);
  EXPECT_EQ(to_end.info.data_bytes, 6);
  expect_store(to_end.samples, {9, 8, 0x0207}, 3072);
  // A declared odd size that the file holds is kept as declared.
  const WavRead odd = read_wav_bytes(riff_file(mono16_fmt() + riff_chunk_sized("data", 3, "\x10\x20\x30")));
  ASSERT_TRUE(odd.loaded);
  EXPECT_EQ(odd.info.data_bytes, 3);
  expect_store(odd.samples, {0x2010, 0x0030}, 3072);
  // An empty data chunk still loads: only the tail; so does one whose size
  // field the file cuts short.
  for (const std::string& data : {riff_chunk("data", ""), std::string("data\x04", 5), std::string("data")}) {
    const WavRead empty = read_wav_bytes(riff_file(mono16_fmt() + data));
    ASSERT_TRUE(empty.loaded);
    EXPECT_EQ(empty.info.data_bytes, 0);
    expect_store(empty.samples, {}, 3072);
  }
}

TEST(WavRead, DataBeforeFmtLeavesTheFormatZero) {
  WaveInfo earlier;
  earlier.sample_rate = 96000;  // zeroed by the reader before the walk
  const WavRead r = read_wav_bytes(riff_file(riff_chunk("data", pcm16_le({3, 4})) + mono16_fmt()), 3072, earlier);
  ASSERT_TRUE(r.loaded);
  EXPECT_EQ(r.console, "");
  EXPECT_EQ(r.info.sample_rate, 0u);
  EXPECT_EQ(r.info.bits_per_sample, 0);
  EXPECT_EQ(r.info.block_align, 0);
  EXPECT_EQ(r.info.channels, 0);
  EXPECT_EQ(r.info.data_bytes, 4);
  expect_store(r.samples, {3, 4}, 0);  // no room for a tail without a frame size
  // Zero block alignment and more declared than held: nothing to cut to.
  const WavRead short_data = read_wav_bytes(riff_file(riff_chunk_sized("data", 50, "\x01\x02\x03")));
  ASSERT_TRUE(short_data.loaded);
  EXPECT_EQ(short_data.info.data_bytes, 3);
  expect_store(short_data.samples, {0x0201, 0x0003}, 0);
}

TEST(WavRead, MalformedFilesPrintTheirMessageOrNothing) {
  test::ScratchDir dir;
  WaveInfo info;
  SampleStore samples;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(read_wav(dir.file("missing.wav"), info, 3072, samples));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  struct Case {
    std::string bytes;
    std::string console;
  };
  const std::string fmt = mono16_fmt();
  const std::vector<Case> cases = {
      {"", "file format error.\n\n"},
      {"RIFX" + le32(4) + "WAVE", "file format error.\n\n"},
      {"RIFF\x04", "file format error(2).\n\n"},
      {riff_file(fmt + riff_chunk("data", "ab"), "AVI "), "file format error(2).\n\n"},
      {riff_file(""), ""},                                      // header only
      {riff_file(fmt), ""},                                     // no data chunk
      {riff_file(fmt.substr(0, 14)), ""},                       // fmt body cut short
      {riff_file(fmt + "da"), ""},                              // chunk id cut short
      {riff_file(fmt + riff_chunk_sized("LIST", 1000, "x")), ""},  // chunk runs past the end
  };
  for (const Case& c : cases) {
    const WavRead r = read_wav_bytes(c.bytes);
    EXPECT_FALSE(r.loaded) << testing::PrintToString(c.bytes);
    EXPECT_EQ(r.console, c.console) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace quillet
