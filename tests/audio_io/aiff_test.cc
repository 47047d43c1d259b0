#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "audio_io/aiff.h"
#include "audio_io/wav.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

LoadedSound read_aiff_bytes(const std::string& bytes, int pad_frames = 3072) {
  return load_sound_bytes("voice.aiff", bytes, pad_frames);
}

uint32_t rate_of(const std::string& extended) {
  return aiff_rate_from_extended(reinterpret_cast<const unsigned char*>(extended.data()));
}

std::string mono_comm(uint32_t frames) { return aiff_chunk("COMM", comm_body(1, frames, 16, 44100)); }

TEST(AiffRate, UpperMantissaShiftedByTheExponent) {
  EXPECT_EQ(extended80(44100), bytes_of({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}));
  const struct {
    std::string extended;
    uint32_t rate;
  } cases[] = {
      {bytes_of({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}), 44100},       // shift 16
      {bytes_of({0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}), 22050},       // shift 17
      {bytes_of({0xC0, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}), 44100},       // sign ignored
      {extended80(44100.5), 44100},                                        // lower bits dropped
      {extended80(1), 1},                                                  // shift 31
      {extended80(0.5), 0x80000000u},                                      // shift 32 modulo 32 is 0
      {bytes_of({0x40, 0x1E, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), 0xFFFFFFFFu},  // shift 0
      {bytes_of({0x40, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), 1},     // shift -1 modulo 32 is 31
      {std::string(10, '\0'), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(rate_of(c.extended), c.rate) << testing::PrintToString(c.extended);
}

TEST(AiffRead, PlainFilesMatchTheEquivalentWav) {
  const std::vector<int16_t> samples = {0, 258, -2, 32767, -32768, 1, -1, 2};
  for (uint16_t channels : {1, 2}) {
    const LoadedSound aiff = read_aiff_bytes(aiff16(samples, channels, 22050));
    const LoadedSound wav = load_sound_bytes("voice.wav", wav16(samples, channels, 22050));
    ASSERT_TRUE(aiff.loaded);
    EXPECT_EQ(aiff.console, "");
    EXPECT_EQ(aiff.samples, wav.samples);  // 01 02 becomes 258; tails of 3072 frames
    EXPECT_EQ(aiff.samples.size(), samples.size() + 3072u * channels);
    const WaveInfo& a = aiff.info;
    const WaveInfo& w = wav.info;
    EXPECT_EQ(std::tie(a.format_tag, a.channels, a.sample_rate, a.byte_rate, a.block_align, a.bits_per_sample, a.data_bytes),
              std::tie(w.format_tag, w.channels, w.sample_rate, w.byte_rate, w.block_align, w.bits_per_sample, w.data_bytes));
  }
}

TEST(AiffRead, ChunkLayoutsAndSizesAreHeldToTheFile) {
  const std::string sound = pcm16_be({10, 20, 30});
  // 40000 channels: block_align 80000 does not fit in 16 bits; the store stays
  // empty instead of taking a 240 MB zero tail.
  const std::string wide = aiff_chunk("COMM", comm_body(40000, 1, 16, 44100)) +
                           aiff_chunk("SSND", ssnd_body(std::string(80000, '\x01')));
  const struct {
    std::string chunks;
    int32_t data_bytes;
    SampleStore samples;  // with one zero frame of tail
  } cases[] = {
      // COMM after other chunks, chunks between it and SSND.
      {aiff_chunk("NAME", "voice") + mono_comm(3) + aiff_chunk("MARK", std::string(2, '\0')) +
           aiff_chunk("SSND", ssnd_body(sound)), 6, {10, 20, 30, 0}},
      // An odd-sized chunk followed by its zero pad byte, one odd COMM body
      // padded and one whose writer left the pad out.
      {aiff_chunk("NAME", "voice") + std::string(1, '\0') + mono_comm(3) +
           aiff_chunk("SSND", ssnd_body(sound)), 6, {10, 20, 30, 0}},
      {aiff_chunk("COMM", comm_body(1, 3, 16, 44100) + "x") + std::string(1, '\0') +
           aiff_chunk("SSND", ssnd_body(sound)), 6, {10, 20, 30, 0}},
      // COMM promises 10 frames, SSND holds 3 and a stray byte.
      {mono_comm(10) + aiff_chunk("SSND", ssnd_body(sound + "\x01")), 6, {10, 20, 30, 0}},
      // The sound starts offset bytes after the SSND header.
      {mono_comm(3) + aiff_chunk("SSND", ssnd_body(sound, 5)), 6, {10, 20, 30, 0}},
      // An SSND declaring far more than the file holds.
      {mono_comm(100) + aiff_chunk("SSND", ssnd_body(sound), 0xFFFFFFF0u), 6, {10, 20, 30, 0}},
      // An offset past the body, a body too short for its header, an SSND cut
      // after its id or inside its size: no sound.
      {mono_comm(3) + aiff_chunk("SSND", be32(7) + be32(0) + sound), 0, {0}},
      {mono_comm(3) + aiff_chunk("SSND", std::string(3, '\0')), 0, {0}},
      {mono_comm(3) + "SSND", 0, {0}},
      {mono_comm(3) + std::string("SSND\0\0", 6), 0, {0}},
      // SSND before any COMM: the defaults, with no frames.
      {aiff_chunk("SSND", ssnd_body(sound)) + mono_comm(3), 0, {0}},
      // Formats the driver refuses are still read: a rate that decodes to 0,
      // no channels, too many channels.
      {aiff_chunk("COMM", comm_body_raw(1, 1, 16, std::string(10, '\0'))) + aiff_chunk("SSND", ssnd_body(pcm16_be({5}))),
       2, {5, 0}},
      {aiff_chunk("COMM", comm_body(0, 4, 16, 44100)) + aiff_chunk("SSND", ssnd_body(pcm16_be({1, 2}))), 0, {}},
      {wide, 80000, {}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const LoadedSound read = read_aiff_bytes(form_file(cases[i].chunks), 1);
    ASSERT_TRUE(read.loaded);
    EXPECT_EQ(read.info.data_bytes, cases[i].data_bytes);
    EXPECT_EQ(read.samples, cases[i].samples);
  }
  EXPECT_EQ(read_aiff_bytes(form_file(wide)).info.block_align, 14464);  // 80000 - 65536
  // No SSND at all (one hidden inside an endless COMM, one cut inside its id):
  // nothing loaded, nothing printed.
  for (const std::string& chunks : {std::string(), mono_comm(3), mono_comm(3) + "SSN",
                                    aiff_chunk("COMM", comm_body(1, 3, 16, 44100), 0xFFFFFFFFu) + aiff_chunk("SSND", ssnd_body(sound))}) {
    const LoadedSound none = read_aiff_bytes(form_file(chunks));
    EXPECT_FALSE(none.loaded);
    EXPECT_EQ(none.console, "");
  }
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
  return read_file_bytes(console);
}

TEST(AiffReadDeathTest, MalformedFilesEndTheProcessWithTheirMessage) {
  // 最初のchunkはFROMでなければなりません
  const std::string not_form =
      "\x8d\xc5\x8f\x89\x82\xcc" "chunk" "\x82\xcd" "FROM"
      "\x82\xc5\x82\xc8\x82\xaf\x82\xea\x82\xce\x82\xc8\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
  // AIFFファイルではありません
  const std::string not_aiff = "AIFF\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
  // 16ビットフォーマットではありません\n
  const std::string not_16 =
      "16\x83\x72\x83\x62\x83\x67\x83\x74\x83\x48\x81\x5b\x83\x7d\x83\x62\x83\x67"
      "\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\n";
  const std::string sound = aiff_chunk("SSND", ssnd_body(pcm16_be({1, 2})));
  const struct {
    std::string bytes, console;
  } cases[] = {
      {wav16({1, 2}, 1, 44100), not_form + " 46464952 \n"},
      {"", not_form + " 0 \n"},
      {form_file(mono_comm(2) + sound, "AIFC"), not_aiff + " 43464941 \n"},
      {form_file(aiff_chunk("COMM", comm_body(1, 2, 8, 44100)) + sound), not_16},
      {form_file(aiff_chunk("NAME", "n") + aiff_chunk("COMM", comm_body(2, 2, 24, 44100)) + sound), not_16},
      {form_file(aiff_chunk("COMM", std::string("\0\x01", 2))), not_16},  // too short to hold a sample size
      {form_file(aiff_chunk("COMM", "") + sound), not_16},                 // an empty body
      {form_file(mono_comm(2) + "COMM"), not_16},                          // a second COMM cut after its id
  };
  ScratchDir dir;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string path = dir.file("case" + std::to_string(i) + ".aiff");
    write_file_bytes(path, cases[i].bytes);
    EXPECT_EQ(console_of_refused(path), cases[i].console) << "case " << i;
  }
  // ファイルが開けません\n
  EXPECT_EQ(console_of_refused(dir.file("missing.aiff")),
            "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1\n");
}

}  // namespace
}  // namespace quillet
