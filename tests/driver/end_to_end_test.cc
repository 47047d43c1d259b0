// Runs the built program on small synthetic inputs and checks its status,
// its console text and the file it writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/pitch_meter.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

// A 0.6 s sung vowel at 220 Hz (narrow vibrato, so that pitches measure
// closely) as WAV and AIFF, shared by the tests; the WAV's side file is
// written once here, so that later runs on it skip the analysis.
struct Voice {
  ScratchDir dir;
  std::string wav = dir.file("voice.wav");
  std::string aiff = dir.file("voice.aiff");
  std::vector<int16_t> samples = synthetic_voice({.seconds = 0.6, .vibrato_cents = 3.0});
};

const Voice& voice() {
  static const Voice shared;
  static const bool written = [] {
    write_file_bytes(shared.wav, wav16(shared.samples, 1, 44100));
    write_file_bytes(shared.aiff, aiff16(shared.samples, 1, 44100));
    return run_quillet_binary({shared.wav, shared.dir.file("first.wav"), "100", "100", "N"}).exit_code == 0;
  }();
  EXPECT_TRUE(written);
  return shared;
}

// Whether the texts appear in output in this order.
bool in_order(const std::string& output, const std::vector<std::string>& texts) {
  std::size_t at = 0;
  for (const std::string& text : texts) {
    at = output.find(text, at);
    if (at == std::string::npos) return false;
    at += text.size();
  }
  return true;
}

double cents_off(const std::vector<double>& samples, int begin, double hz) {
  return cents_between(measure_pitch_hz(samples, begin, 4096, 44100.0, hz * 0.7, hz * 1.4), hz);
}

TEST(EndToEnd, UsageAndRefusedInputs) {
  const std::string usage =
      "Quillet Ver7.63deb\nCopyright (C) the Quillet developers\nUsage is ...\n"
      "quillet7.exe <input wavfile> <output file> <pitch_percent> <time_percent> [<flags> [<offset> "
      "<length_require> [<fixed length> [<end_blank> [<volume> [<modulation> [<pich bend>...]]]]]]]\n"
      "flags:\n    N : No formant filter\n    G : (Re)Genetate frequency list\n"
      "    T : Export text frequency list\n    B : Bressiness parameter. B0..B100, default B50\n"
      "ex :\nquillet.exe infile.wav outfile.wav 120 100 GB60\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{}, {"a"}, {"a", "b", "A4"}}) {
    const CommandResult run = run_quillet_binary(args);
    EXPECT_EQ(run.exit_code, 255);
    EXPECT_EQ(run.output, usage);
  }

  const std::string bits = "file format error.(16 bit only.\n\n";
  const std::string rate = "file format error.(sample rate.\n";
  const std::string fmt16 = riff_chunk("fmt ", fmt_body(1, 44100, 16));
  const std::string sound = aiff_chunk("SSND", ssnd_body(pcm16_be({1, 2})));
  const struct {
    std::string name, bytes, console;
  } cases[] = {
      {"absent.wav", "", "file load error.\n"},
      {"empty.wav", "", "file format error.\n\nfile load error.\n"},
      {"eight.wav", riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 8)) + riff_chunk("data", "abcd")), bits},
      {"data_first.wav", riff_file(riff_chunk("data", "") + fmt16), bits},  // read, but no frame size
      {"slow.wav", wav16(std::vector<int16_t>(2000, 100), 1, 1000), rate},
      {"fast.wav", wav16(std::vector<int16_t>(2000, 100), 1, 0x80000000u), rate},
      {"no_channels.aiff", form_file(aiff_chunk("COMM", comm_body(0, 0, 16, 44100)) + sound), bits},
      {"wide.aiff", form_file(aiff_chunk("COMM", comm_body(40000, 1, 16, 44100)) +
                              aiff_chunk("SSND", ssnd_body(std::string(80000, '\1')))), bits},
      {"rate0.aiff", form_file(aiff_chunk("COMM", comm_body_raw(1, 2, 16, std::string(10, '\0'))) + sound), rate},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    if (c.name != "absent.wav") write_file_bytes(dir.file(c.name), c.bytes);
    const CommandResult run = run_quillet_binary({dir.file(c.name), dir.file("out.wav"), "A4", "100"});
    EXPECT_EQ(run.exit_code, 255) << c.name;
    EXPECT_EQ(run.output, c.console) << c.name;
  }
  EXPECT_FALSE(file_exists(dir.file("out.wav")));
}

TEST(EndToEnd, TypicalNoteLinesLengthAndPitch) {
  ScratchDir dir;
  const std::string out = dir.file("out.wav");
  const CommandResult run =
      run_quillet_binary({voice().wav, out, "A4", "100", "B60", "0", "500", "100", "0", "100", "100"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(in_order(run.output, {"fixed:4410.000\n", kBlank + "0.000\n", kVolume + "100.000%\n",
                                    kModulation + "100.000%\n", "Hz" + kArrow + "440.000Hz\n", kPitch, kTime,
                                    length_line(22094, 22094), kStart, "Bre=60.0\n", "filter low=731.000Hz factor=17 "}))
      << run.output;
  EXPECT_TRUE(run.output.ends_with(kDone + out + "\n"));
  EXPECT_TRUE(file_exists(voice().dir.file("voice_wav.frq")));
  const std::vector<double> samples = wav_samples(out);
  ASSERT_EQ(samples.size(), 22094u);
  for (int begin : {6144, 11264, 16384}) EXPECT_NEAR(cents_off(samples, begin, 440.0), 0.0, 8.0) << begin;

  // An encoded bend at tempo 120 (points 230 samples apart): 41 points at 0
  // cents, then an octave up ("Sw" is 1200) to the end.
  const CommandResult bent = run_quillet_binary(
      {voice().wav, out, "A4", "100", "N", "0", "500", "100", "0", "100", "100", "!120", "AA#40#Sw#60#"});
  ASSERT_EQ(bent.exit_code, 0) << bent.output;
  const std::vector<double> bent_samples = wav_samples(out);
  ASSERT_EQ(bent_samples.size(), 22094u);
  EXPECT_NEAR(cents_off(bent_samples, 4096, 440.0), 0.0, 8.0);
  EXPECT_NEAR(cents_off(bent_samples, 14336, 880.0), 0.0, 8.0);
}

TEST(EndToEnd, ArgumentCountsAndOffsets) {
  ScratchDir dir;
  const std::string out = dir.file("out.wav");
  // argc 7: the offset of 500 ms is ignored; argc 8 starts at frame 22051.
  const CommandResult seven = run_quillet_binary({voice().wav, out, "100", "100", "N", "500"});
  EXPECT_TRUE(in_order(seven.output, {"fixed:0.000\n", kNoStretch, length_line(26460, 26460), kStart})) << seven.output;
  EXPECT_EQ(wav_samples(out).size(), 26460u);
  const CommandResult eight = run_quillet_binary({voice().wav, out, "100", "100", "N", "500", "0"});
  EXPECT_TRUE(in_order(eight.output, {length_line(4409, 4409), kStart})) << eight.output;
  EXPECT_EQ(wav_samples(out).size(), 4409u);

  // An offset past the end: the empty stretch is found in place of the
  // length line; nothing is written.
  const std::string nothing = dir.file("nothing.wav");
  const CommandResult past = run_quillet_binary({voice().wav, nothing, "100", "100", "N", "2000", "0"});
  EXPECT_EQ(past.exit_code, 255);
  EXPECT_TRUE(past.output.ends_with("fixed:0.000\n" + kNoStretch + "no samples to render.\n")) << past.output;
  EXPECT_FALSE(file_exists(nothing));
}

// The same sound as AIFF, or as the first channel of two or six, renders to
// the same bytes as the mono WAV (each input analysed on its own).
TEST(EndToEnd, AiffAndMultiChannelInputsRenderLikeTheMonoWav) {
  ScratchDir dir;
  const auto render = [&](const std::string& input) {
    const std::string out = input + ".out.wav";
    const CommandResult run = run_quillet_binary({input, out, "G4", "120", "B70", "20", "300", "50", "-100", "90", "80"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    return read_file_bytes(out);
  };
  const std::string from_wav = render(voice().wav);
  EXPECT_GT(from_wav.size(), 20000u);
  EXPECT_TRUE(render(voice().aiff) == from_wav);
  EXPECT_EQ(read_file_bytes(voice().aiff + ".frq"), read_file_bytes(voice().dir.file("voice_wav.frq")));
  for (uint16_t channels : {2, 6}) {
    std::vector<int16_t> interleaved;
    for (int16_t sample : voice().samples) {
      interleaved.push_back(sample);
      for (int c = 1; c < channels; ++c) interleaved.push_back(static_cast<int16_t>(c * 1000 - sample));
    }
    const std::string input = dir.file(std::to_string(channels) + ".wav");
    write_file_bytes(input, wav16(interleaved, channels, 44100));
    EXPECT_TRUE(render(input) == from_wav) << channels << " channels";
  }
}

}  // namespace
}  // namespace quillet

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory needs more address space
namespace quillet {
namespace {
using namespace test;

// A note too long for the memory the process may use ends with a message and
// status 255, and leaves no output file behind.
TEST(EndToEnd, OutOfMemoryEndsWithAMessage) {
  const Voice& shared = voice();
  const std::string output = shared.dir.file("huge.wav");
  const CommandResult run = run_program(
      "/bin/sh", {"-c", "ulimit -v 3000000 && exec \"$0\" \"$@\"", QUILLET_BINARY, shared.wav,
                  output, "100", "2000000"});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_TRUE(run.output.ends_with("out of memory.\n")) << run.output;
  EXPECT_FALSE(file_exists(output));
}

}  // namespace
}  // namespace quillet
#endif
