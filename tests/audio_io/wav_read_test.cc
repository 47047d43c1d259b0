#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <tuple>

#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

LoadedSound read_wav_bytes(const std::string& bytes, int pad_frames = 3072, WaveInfo start = {}) {
  return load_sound_bytes("voice.wav", bytes, pad_frames, start);
}

// The file loaded, and its store holds data, then tail zeros, and nothing else.
void expect_loaded(const LoadedSound& read, const SampleStore& data, std::size_t tail) {
  ASSERT_TRUE(read.loaded);
  EXPECT_EQ(read.console, "");
  SampleStore expected = data;
  expected.resize(data.size() + tail, 0);
  EXPECT_EQ(read.samples, expected);
}

// bytes read through a named pipe, whose length the reader cannot know
// ahead, into a store with a tail of pad_frames.
LoadedSound read_wav_through_pipe(const std::string& bytes, int pad_frames) {
  ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  LoadedSound result;
  if (mkfifo(path.c_str(), 0600) != 0) return result;
  std::thread writer([&] {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
    close(fd);
  });
  result.loaded = read_wav(path, result.info, pad_frames, result.samples);
  writer.join();
  return result;
}

const std::string kMonoFmt = riff_chunk("fmt ", fmt_body(1, 44100, 16));
const std::string kData = riff_chunk("data", pcm16_le({5, -6}));

TEST(WavRead, PlainFilesGiveTheirFormatSamplesAndZeroTail) {
  const SampleStore samples = {0, 1, -1, 32767, -32768, 1234};
  const WaveInfo m = read_wav_bytes(wav16(samples, 1, 44100)).info;
  EXPECT_EQ(std::tie(m.format_tag, m.channels, m.sample_rate, m.byte_rate, m.block_align, m.bits_per_sample, m.data_bytes),
            std::make_tuple(1, 1, 44100u, 88200u, 2, 16, 12));
  // Interleaved, with tails of 3072 whole frames.
  for (uint16_t channels : {1, 2, 6}) {
    const LoadedSound read = read_wav_bytes(wav16(samples, channels, 48000));
    expect_loaded(read, samples, 3072u * channels);
    EXPECT_EQ(read.info.block_align, 2 * channels);
  }
  expect_loaded(read_wav_bytes(wav16(samples, 1, 44100), 0), samples, 0);
}

TEST(WavRead, ChunkWalk) {
  // Chunks between fmt and data are skipped by their size; after an odd size
  // a pad byte is skipped only when it is 0; a size with the top bit set skips
  // nothing (-8 would lead back to its own header for ever).
  for (const std::string& between :
       {riff_chunk("LIST", "INFOabcd"), riff_chunk("LIST", "INFOabc", true), riff_chunk("LIST", "INFOabc"),
        riff_chunk("fact", le32(2)) + riff_chunk("junk", "x", true), riff_chunk("junk", "", false, 0xFFFFFFF8u)}) {
    const LoadedSound read = read_wav_bytes(riff_file(kMonoFmt + between + kData));
    expect_loaded(read, {5, -6}, 3072);
    EXPECT_EQ(read.info.sample_rate, 44100u);
  }
  // fmt bodies of 18 and 40 bytes (extensible): the rest is skipped by size.
  for (const std::string& extension : {le16(0), le16(22) + std::string(22, 'z')}) {
    const LoadedSound read = read_wav_bytes(riff_file(riff_chunk("fmt ", fmt_body(2, 32000, 16, 0xFFFE) + extension) + kData));
    expect_loaded(read, {5, -6}, 6144);
    EXPECT_EQ(read.info.format_tag, 0xFFFE);
    EXPECT_EQ(read.info.sample_rate, 32000u);
  }
  // A later fmt overwrites an earlier one; nothing after the data chunk counts.
  const LoadedSound later = read_wav_bytes(riff_file(riff_chunk("fmt ", fmt_body(2, 8000, 8)) + kMonoFmt + kData +
                                                 riff_chunk("fmt ", fmt_body(1, 11025, 16))));
  expect_loaded(later, {5, -6}, 3072);
  EXPECT_EQ(later.info.sample_rate, 44100u);
}

// Whether read from a file of known length or as it streams in.
TEST(WavRead, DataSizesAndWidthsAreHeldToWhatTheFileHolds) {
  const std::string stereo_fmt = riff_chunk("fmt ", fmt_body(2, 44100, 16));
  const struct {
    std::string file;
    int32_t data_bytes;
    SampleStore elements;  // two little-endian bytes each, an odd last byte zero-padded
    std::size_t tail;      // pad_frames x block_align bytes
  } cases[] = {
      // Other widths are kept byte for byte.
      {riff_file(riff_chunk("fmt ", fmt_body(1, 8000, 8)) + riff_chunk("data", "\x80\x7f\x01", true)), 3,
       {0x7F80, 0x0001}, 1536},
      {riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 24)) + riff_chunk("data", "\x01\x02\x03\x04\x05\x06")), 6,
       {0x0201, 0x0403, 0x0605}, 4608},
      {riff_file(riff_chunk("fmt ", fmt_body(2, 44100, 32, 3)) + riff_chunk("data", std::string(8, '\0'))), 8,
       {0, 0, 0, 0}, 3072 * 4},
      // Declares 100 bytes, holds 10: two whole frames are kept.
      {riff_file(stereo_fmt + riff_chunk("data", pcm16_le({1, 2, 3, 4, 5}), false, 100)), 8, {1, 2, 3, 4}, 6144},
      // Top bit: to the end of the file, cut to whole frames (7 bytes -> 6).
      {riff_file(kMonoFmt + riff_chunk("data", pcm16_le({9, 8, 7}) + "\x05", false, 0xFFFFFFFFu)), 6, {9, 8, 7}, 3072},
      // An odd size the file holds is kept as declared.
      {riff_file(kMonoFmt + riff_chunk("data", "\x10\x20\x30")), 3, {0x2010, 0x0030}, 3072},
      // Empty, or the size field cut short: only the tail.
      {riff_file(kMonoFmt + riff_chunk("data", "")), 0, {}, 3072},
      {riff_file(kMonoFmt + std::string("data\x04", 5)), 0, {}, 3072},
      {riff_file(kMonoFmt + "data"), 0, {}, 3072},
      // Data before fmt: the format stays zero and the tail has no room.
      {riff_file(riff_chunk("data", pcm16_le({3, 4})) + kMonoFmt), 4, {3, 4}, 0},
      {riff_file(riff_chunk("data", "\x01\x02\x03", false, 50)), 3, {0x0201, 0x0003}, 0},
  };
  for (const auto& c : cases) {
    WaveInfo earlier;
    earlier.sample_rate = 96000;  // zeroed before the walk
    const LoadedSound read = read_wav_bytes(c.file, 3072, earlier);
    expect_loaded(read, c.elements, c.tail);
    EXPECT_EQ(read.info.data_bytes, c.data_bytes) << testing::PrintToString(c.file);
    // A file read as it streams in holds the same store.
    const LoadedSound streamed = read_wav_through_pipe(c.file, 3072);
    expect_loaded(streamed, c.elements, c.tail);
    EXPECT_EQ(streamed.info.data_bytes, c.data_bytes) << testing::PrintToString(c.file);
    if (c.tail == 0) {
      EXPECT_EQ(read.info.sample_rate, 0u);  // data before fmt
    }
  }
}

TEST(WavRead, MalformedFilesPrintTheirMessageOrNothing) {
  const struct {
    std::string bytes, console;
  } cases[] = {
      {"", "file format error.\n\n"},
      {"RIFX" + le32(4) + "WAVE", "file format error.\n\n"},
      {"RIFF\x04", "file format error(2).\n\n"},
      {riff_file(kMonoFmt + kData, "AVI "), "file format error(2).\n\n"},
      {riff_file(""), ""},                                            // header only
      {riff_file(kMonoFmt), ""},                                      // no data chunk
      {riff_file(kMonoFmt.substr(0, 14)), ""},                        // fmt body cut short
      {riff_file(kMonoFmt + "da"), ""},                               // chunk id cut short
      {riff_file(kMonoFmt + riff_chunk("LIST", "x", false, 1000)), ""},  // chunk runs past the end
  };
  for (const auto& c : cases) {
    const LoadedSound read = read_wav_bytes(c.bytes);
    EXPECT_FALSE(read.loaded) << testing::PrintToString(c.bytes);
    EXPECT_EQ(read.console, c.console) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace quillet
