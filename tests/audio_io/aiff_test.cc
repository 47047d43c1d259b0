#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "audio_io/aiff.h"
#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using test::aiff_chunk;
using test::aiff_chunk_sized;
using test::be32;
using test::comm_body;
using test::comm_body_raw;
using test::form_file;
using test::pcm16_be;
using test::ssnd_body;

struct Loaded {
  bool loaded = false;
  WaveInfo info;
  SampleStore samples;
  std::string console;
};

Loaded read_aiff_bytes(const std::string& bytes, int pad_frames = 3072) {
  test::ScratchDir dir;
  const std::string path = dir.file("voice.aiff");
  test::write_file_bytes(path, bytes);
  Loaded result;
  testing::internal::CaptureStdout();
  result.loaded = read_aiff(path, result.info, pad_frames, result.samples);
  std::fflush(stdout);
  result.console = testing::internal::GetCapturedStdout();
  return result;
}

Loaded read_wav_of(const std::vector<int16_t>& samples, uint16_t channels, uint32_t rate) {
  test::ScratchDir dir;
  test::write_wav16(dir.file("voice.wav"), samples, channels, rate);
  Loaded result;
  result.loaded = read_wav(dir.file("voice.wav"), result.info, 3072, result.samples);
  return result;
}

void expect_same_info(const WaveInfo& a, const WaveInfo& b) {
  EXPECT_EQ(a.format_tag, b.format_tag);
  EXPECT_EQ(a.channels, b.channels);
  EXPECT_EQ(a.sample_rate, b.sample_rate);
  EXPECT_EQ(a.byte_rate, b.byte_rate);
  EXPECT_EQ(a.block_align, b.block_align);
  EXPECT_EQ(a.bits_per_sample, b.bits_per_sample);
  EXPECT_EQ(a.data_bytes, b.data_bytes);
}

std::string ten_bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

uint32_t rate_of(const std::string& extended) {
  return aiff_rate_from_extended(reinterpret_cast<const unsigned char*>(extended.data()));
}

std::string mono_comm(uint32_t frames) { return aiff_chunk("COMM", comm_body(1, frames, 16, 44100)); }

TEST(AiffRate, UpperMantissaShiftedByTheExponent) {
  const std::string rate44100 = ten_bytes({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(test::extended80(44100), rate44100);
  EXPECT_EQ(rate_of(rate44100), 44100u);
  EXPECT_EQ(rate_of(ten_bytes({0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0})), 22050u);  // shift 17
  EXPECT_EQ(rate_of(ten_bytes({0xC0, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0})), 44100u);  // sign ignored
  EXPECT_EQ(rate_of(test::extended80(44100.5)), 44100u);
  EXPECT_EQ(rate_of(test::extended80(8000)), 8000u);     // 0xFA000000 >> 19
  EXPECT_EQ(rate_of(test::extended80(1)), 1u);           // exponent 16383: shift 31
  EXPECT_EQ(rate_of(test::extended80(0.5)), 0x80000000u);  // shift 32 taken modulo 32 is 0
  EXPECT_EQ(rate_of(ten_bytes({0x40, 0x1E, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})), 0xFFFFFFFFu);  // 16414: shift 0
  EXPECT_EQ(rate_of(ten_bytes({0x40, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})), 1u);  // shift -1 modulo 32 is 31
  EXPECT_EQ(rate_of(std::string(10, '\0')), 0u);
}

TEST(AiffRead, PlainFilesMatchTheEquivalentWav) {
  const std::vector<int16_t> mono = {0, 258, -2, 32767, -32768};
  const Loaded m = read_aiff_bytes(test::aiff16(mono, 1, 44100));
  ASSERT_TRUE(m.loaded);
  EXPECT_EQ(m.console, "");
  EXPECT_EQ(m.info.format_tag, 1);
  EXPECT_EQ(m.info.channels, 1);
  EXPECT_EQ(m.info.sample_rate, 44100u);
  EXPECT_EQ(m.info.byte_rate, 88200u);
  EXPECT_EQ(m.info.block_align, 2);
  EXPECT_EQ(m.info.bits_per_sample, 16);
  EXPECT_EQ(m.info.data_bytes, 10);
  ASSERT_EQ(m.samples.size(), 5u + 3072u);
  EXPECT_EQ(m.samples[1], 258);  // stored 01 02
  const Loaded mw = read_wav_of(mono, 1, 44100);
  expect_same_info(m.info, mw.info);
  EXPECT_EQ(m.samples, mw.samples);

  const std::vector<int16_t> stereo = {1, -1, 2, -2, 3, -3, 4, -4};
  const Loaded s = read_aiff_bytes(test::aiff16(stereo, 2, 22050));
  ASSERT_TRUE(s.loaded);
  EXPECT_EQ(s.info.block_align, 4);
  ASSERT_EQ(s.samples.size(), 8u + 6144u);
  const Loaded sw = read_wav_of(stereo, 2, 22050);
  expect_same_info(s.info, sw.info);
  EXPECT_EQ(s.samples, sw.samples);
}

TEST(AiffRead, ChunkLayoutsAndSizesAreHeldToTheFile) {
  const std::string sound = pcm16_be({10, 20, 30});
  // COMM after other chunks, with chunks between it and SSND.
  const Loaded late = read_aiff_bytes(form_file(aiff_chunk("NAME", "voice") + aiff_chunk("ANNO", "x") +
                                                aiff_chunk("COMM", comm_body(1, 3, 16, 32000)) +
                                                aiff_chunk("MARK", std::string(2, '\0')) +
                                                aiff_chunk("SSND", ssnd_body(sound))));
  ASSERT_TRUE(late.loaded);
  EXPECT_EQ(late.info.sample_rate, 32000u);
  EXPECT_EQ(late.info.data_bytes, 6);
  EXPECT_EQ(SampleStore(late.samples.begin(), late.samples.begin() + 3), (SampleStore{10, 20, 30}));

  // COMM promises 10 frames, SSND holds 3 (and a stray byte): 3 are converted.
  const Loaded shorter = read_aiff_bytes(form_file(mono_comm(10) + aiff_chunk("SSND", ssnd_body(sound + "\x01"))), 4);
  ASSERT_TRUE(shorter.loaded);
  EXPECT_EQ(shorter.info.data_bytes, 6);
  EXPECT_EQ(shorter.samples, (SampleStore{10, 20, 30, 0, 0, 0, 0}));

  // A non-zero offset: the sound starts that many bytes after the SSND header.
  const Loaded offset = read_aiff_bytes(form_file(mono_comm(3) + aiff_chunk("SSND", ssnd_body(sound, 5))), 1);
  ASSERT_TRUE(offset.loaded);
  EXPECT_EQ(offset.samples, (SampleStore{10, 20, 30, 0}));

  // An offset past the end of the body, a body too short for its own header,
  // and an SSND declaring far more than the file holds.
  const Loaded past = read_aiff_bytes(form_file(mono_comm(3) + aiff_chunk("SSND", be32(7) + be32(0) + sound)), 1);
  ASSERT_TRUE(past.loaded);
  EXPECT_EQ(past.info.data_bytes, 0);
  EXPECT_EQ(past.samples, (SampleStore{0}));
  const Loaded stub = read_aiff_bytes(form_file(mono_comm(3) + aiff_chunk("SSND", std::string("\0\0\0", 3))), 1);
  ASSERT_TRUE(stub.loaded);
  EXPECT_EQ(stub.info.data_bytes, 0);
  const Loaded huge = read_aiff_bytes(form_file(mono_comm(100) + aiff_chunk_sized("SSND", 0xFFFFFFF0u, ssnd_body(sound))), 0);
  ASSERT_TRUE(huge.loaded);
  EXPECT_EQ(huge.info.data_bytes, 6);
  EXPECT_EQ(huge.samples, (SampleStore{10, 20, 30}));

  // SSND before any COMM: the defaults, with no frames.
  const Loaded first = read_aiff_bytes(form_file(aiff_chunk("SSND", ssnd_body(sound)) + mono_comm(3)), 2);
  ASSERT_TRUE(first.loaded);
  EXPECT_EQ(first.info.channels, 1);
  EXPECT_EQ(first.info.sample_rate, 44100u);
  EXPECT_EQ(first.info.data_bytes, 0);
  EXPECT_EQ(first.samples, (SampleStore{0, 0}));

  // An SSND id that the file cuts short after its id or inside its size: no sound.
  for (const std::string& cut : {std::string("SSND"), std::string("SSND\0\0", 6)}) {
    const Loaded empty = read_aiff_bytes(form_file(mono_comm(3) + cut), 1);
    ASSERT_TRUE(empty.loaded);
    EXPECT_EQ(empty.info.data_bytes, 0);
    EXPECT_EQ(empty.samples, (SampleStore{0}));
  }

  // No SSND at all: nothing loaded, nothing printed.
  for (const std::string& bytes : {form_file(""), form_file(mono_comm(3)),
                                   form_file(aiff_chunk_sized("COMM", 0xFFFFFFFFu, comm_body(1, 3, 16, 44100)) +
                                             aiff_chunk("SSND", ssnd_body(sound))),
                                   form_file(mono_comm(3) + "SSN")}) {
    const Loaded none = read_aiff_bytes(bytes);
    EXPECT_FALSE(none.loaded);
    EXPECT_EQ(none.console, "");
  }
}

TEST(AiffRead, FormatsTheDriverRefusesAreStillFilledIn) {
  // A rate that decodes to 0.
  const Loaded zero = read_aiff_bytes(
      form_file(aiff_chunk("COMM", comm_body_raw(1, 1, 16, std::string(10, '\0'))) + aiff_chunk("SSND", ssnd_body(pcm16_be({5})))));
  ASSERT_TRUE(zero.loaded);
  EXPECT_EQ(zero.info.sample_rate, 0u);
  EXPECT_EQ(zero.info.byte_rate, 0u);
  EXPECT_EQ(zero.samples[0], 5);
  // 40000 channels: block_align 80000 does not fit in 16 bits (80000 - 65536 =
  // 14464); the store stays empty instead of taking a 240 MB zero tail.
  const Loaded wide = read_aiff_bytes(
      form_file(aiff_chunk("COMM", comm_body(40000, 1, 16, 44100)) + aiff_chunk("SSND", ssnd_body(std::string(80000, '\x01')))));
  ASSERT_TRUE(wide.loaded);
  EXPECT_EQ(wide.info.channels, 40000);
  EXPECT_EQ(wide.info.block_align, 14464);
  EXPECT_EQ(wide.info.data_bytes, 80000);
  EXPECT_TRUE(wide.samples.empty());
  // No channels: nothing converted, no tail.
  const Loaded silent = read_aiff_bytes(
      form_file(aiff_chunk("COMM", comm_body(0, 4, 16, 44100)) + aiff_chunk("SSND", ssnd_body(pcm16_be({1, 2})))));
  ASSERT_TRUE(silent.loaded);
  EXPECT_EQ(silent.info.channels, 0);
  EXPECT_EQ(silent.info.data_bytes, 0);
  EXPECT_TRUE(silent.samples.empty());
}

// Runs read_aiff on path in a child process that must end with status 255;
// returns what the child printed.
std::string console_of_refused(const std::string& path) {
  const std::string console = path + ".console";
  std::fflush(stdout);
  EXPECT_EXIT(
      {
        if (std::freopen(console.c_str(), "wb", stdout) == nullptr) std::_Exit(3);
        WaveInfo info;
        SampleStore samples;
        read_aiff(path, info, 3072, samples);
        std::_Exit(0);
      },
      testing::ExitedWithCode(255), "");
  return test::read_file_bytes(console);
}

TEST(AiffReadDeathTest, MalformedFilesEndTheProcessWithTheirMessage) {
  // "最初のchunkはFROMでなければなりません"
  const std::string not_form =
      "\x8d\xc5\x8f\x89\x82\xcc" "chunk" "\x82\xcd" "FROM"
      "\x82\xc5\x82\xc8\x82\xaf\x82\xea\x82\xce\x82\xc8\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
  // "AIFFファイルではありません"
  const std::string not_aiff = "AIFF\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
  // "16ビットフォーマットではありません\n"
  const std::string not_16 =
      "16\x83\x72\x83\x62\x83\x67\x83\x74\x83\x48\x81\x5b\x83\x7d\x83\x62\x83\x67"
      "\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\n";
  // "ファイルが開けません\n"
  const std::string cannot_open = "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1\n";

  test::ScratchDir dir;
  const std::string sound = aiff_chunk("SSND", ssnd_body(pcm16_be({1, 2})));
  struct Case {
    std::string bytes;
    std::string console;
  };
  const std::vector<Case> cases = {
      {test::wav16({1, 2}, 1, 44100), not_form + " 46464952 \n"},
      {"", not_form + " 0 \n"},
      {form_file(test::aiff_chunk("COMM", comm_body(1, 2, 16, 44100)) + sound, "AIFC"), not_aiff + " 43464941 \n"},
      {form_file(aiff_chunk("COMM", comm_body(1, 2, 8, 44100)) + sound), not_16},
      {form_file(aiff_chunk("NAME", "n") + aiff_chunk("COMM", comm_body(2, 2, 24, 44100)) + sound), not_16},
      {form_file(aiff_chunk("COMM", std::string("\0\x01", 2))), not_16},  // body too short to hold a sample size
      {form_file(aiff_chunk("COMM", "") + sound), not_16},                 // an empty body
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string path = dir.file("case" + std::to_string(i) + ".aiff");
    test::write_file_bytes(path, cases[i].bytes);
    EXPECT_EQ(console_of_refused(path), cases[i].console) << "case " << i;
  }
  EXPECT_EQ(console_of_refused(dir.file("missing.aiff")), cannot_open);
}

}  // namespace
}  // namespace quillet
