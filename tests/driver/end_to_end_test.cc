// Runs the built program on small synthetic inputs and checks its status,
// its console text and the file it writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/pitch_meter.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using test::CommandResult;
using test::ScratchDir;

const std::string kUsage =
    "Quillet Ver7.63deb\n"
    "Copyright (C) the Quillet developers\n"
    "Usage is ...\n"
    "quillet7.exe <input wavfile> <output file> <pitch_percent> <time_percent> [<flags> "
    "[<offset> <length_require> [<fixed length> [<end_blank> [<volume> [<modulation> "
    "[<pich bend>...]]]]]]]\n"
    "flags:\n"
    "    N : No formant filter\n"
    "    G : (Re)Genetate frequency list\n"
    "    T : Export text frequency list\n"
    "    B : Bressiness parameter. B0..B100, default B50\n"
    "ex :\n"
    "quillet.exe infile.wav outfile.wav 120 100 GB60\n";

// Console texts (CP932).
const std::string kNoStretch = "\x90\x4c\x8f\x6b\x82\xc8\x82\xb5\n";  // 伸縮なし
const std::string kLength = "\x92\xb7\x82\xb3 ";                        // 長さ
const std::string kArrow = " \x81\xa8 ";                                 // →
const std::string kStart = "\x8f\x88\x97\x9d\x8a\x4a\x8e\x6e\n";        // 処理開始
const std::string kDone =
    "\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n"
    "\x90\xb6\x90\xac\x83\x74\x83\x40\x83\x43\x83\x8b\x81\x46";  // 完了しました。\n生成ファイル：

// Writes a synthetic sung vowel as a 16-bit mono WAV and returns its path.
// Its vibrato is narrow (3 cents), so that the pitch of a rendered note can
// be measured closely.
std::string write_voice(const ScratchDir& dir, const std::string& name, double f0, double seconds) {
  test::SyntheticVoice voice;
  voice.f0 = f0;
  voice.seconds = seconds;
  voice.vibrato_cents = 3.0;
  const std::vector<int16_t> samples = test::synthetic_voice(voice);
  const std::string path = dir.file(name);
  test::write_wav16(path, samples, 1, 44100);
  return path;
}

// Samples of a 16-bit mono WAV with the 44-byte header; empty when the
// header does not declare exactly the bytes that follow it.
std::vector<double> output_samples(const std::string& path) {
  const std::string bytes = test::read_file_bytes(path);
  if (bytes.size() < 44) return {};
  const auto byte = [&](std::size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])); };
  const uint32_t data_bytes = byte(40) | byte(41) << 8 | byte(42) << 16 | byte(43) << 24;
  if (data_bytes != bytes.size() - 44) return {};
  std::vector<double> samples(data_bytes / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(byte(44 + 2 * i) | byte(45 + 2 * i) << 8);
  return samples;
}

// Positions of the lines in output, in order; npos for a line that is not
// found after the one before it.
bool lines_in_order(const std::string& output, const std::vector<std::string>& lines) {
  std::size_t at = 0;
  for (const std::string& line : lines) {
    at = output.find(line, at);
    if (at == std::string::npos) return false;
    at += line.size();
  }
  return true;
}

TEST(EndToEnd, UsageAndRefusedInputs) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"in.wav"}, {"in.wav", "out.wav", "A4"}}) {
    const CommandResult usage = test::run_quillet_binary(args);
    EXPECT_EQ(usage.exit_code, 255);
    EXPECT_EQ(usage.output, kUsage);
  }

  ScratchDir dir;
  const std::string out = dir.file("out.wav");
  const CommandResult missing = test::run_quillet_binary({dir.file("absent.wav"), out, "A4", "100"});
  EXPECT_EQ(missing.exit_code, 255);
  EXPECT_TRUE(missing.output.ends_with("file load error.\n")) << missing.output;

  const std::string eight_bit = dir.file("eight.wav");
  test::write_file_bytes(eight_bit, test::riff_file(test::riff_chunk("fmt ", test::fmt_body(1, 44100, 8)) +
                                                    test::riff_chunk("data", std::string(4000, '\x80'))));
  const CommandResult refused = test::run_quillet_binary({eight_bit, out, "A4", "100"});
  EXPECT_EQ(refused.exit_code, 255);
  EXPECT_EQ(refused.output, "file format error.(16 bit only.\n\n");

  // Sound data met but no frame size: the format check refuses it, not the loader.
  const std::string no_frames = dir.file("no_frames.wav");
  test::write_file_bytes(no_frames, test::riff_file(test::riff_chunk("data", "") +
                                                    test::riff_chunk("fmt ", test::fmt_body(1, 44100, 16))));
  const std::string no_channels = dir.file("no_channels.aiff");
  test::write_file_bytes(no_channels, test::form_file(test::aiff_chunk("COMM", test::comm_body(0, 0, 16, 44100)) +
                                                      test::aiff_chunk("SSND", test::ssnd_body(""))));
  const std::string wide = dir.file("wide.aiff");
  test::write_file_bytes(wide, test::form_file(test::aiff_chunk("COMM", test::comm_body(40000, 1, 16, 44100)) +
                                               test::aiff_chunk("SSND", test::ssnd_body(std::string(80000, '\1')))));
  for (const std::string& input : {no_frames, no_channels, wide}) {
    const CommandResult unusable = test::run_quillet_binary({input, out, "A4", "100"});
    EXPECT_EQ(unusable.exit_code, 255);
    EXPECT_EQ(unusable.output, "file format error.(16 bit only.\n\n") << input;
  }

  const std::string slow = dir.file("slow.wav");
  test::write_file_bytes(slow, test::wav16(std::vector<int16_t>(2000, 100), 1, 1000));
  const CommandResult slow_rate = test::run_quillet_binary({slow, out, "A4", "100"});
  EXPECT_EQ(slow_rate.exit_code, 255);
  EXPECT_EQ(slow_rate.output, "file format error.(sample rate.\n");
  EXPECT_FALSE(test::file_exists(out));
}

TEST(EndToEnd, TypicalNoteLinesLengthAndPitch) {
  ScratchDir dir;
  const std::string voice = write_voice(dir, "voice.wav", 220.0, 1.2);
  const std::string out = dir.file("out.wav");
  const CommandResult run = test::run_quillet_binary(
      {voice, out, "A4", "100", "GB60", "0", "500", "100", "0", "100", "100"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const std::vector<std::string> lines = {
      "fixed:4410.000\n",
      "\x8f\x49\x82\xe8\x82\xcc\x83\x75\x83\x89\x83\x93\x83\x4e 0.000\n",  // 終りのブランク
      "\x83\x7b\x83\x8a\x83\x85\x81\x5b\x83\x80 100.000%\n",               // ボリューム
      "\x83\x82\x83\x57\x83\x85\x83\x8c\x81\x5b\x83\x56\x83\x87\x83\x93 100.000%\n",  // モジュレーション
      "Hz\x81\xa8" "440.000Hz\n",
      "\x83\x73\x83\x62\x83\x60 ",  // ピッチ
      "\x83\x5e\x83\x43\x83\x80 ",  // タイム
      kArrow + "22094\n",
      kStart,
      "Bre=60.0\n",
      "filter low=731.000Hz factor=17 ",
      kDone + out + "\n"};
  EXPECT_TRUE(lines_in_order(run.output, lines)) << run.output;
  EXPECT_TRUE(run.output.ends_with(kDone + out + "\n"));
  EXPECT_TRUE(test::file_exists(dir.file("voice_wav.frq")));

  const std::vector<double> samples = output_samples(out);
  ASSERT_EQ(samples.size(), 22094u);
  // Past the fixed head the note sings at the asked 440 Hz.
  for (int begin : {6144, 11264, 16384}) {
    const double pitch = test::measure_pitch_hz(samples, begin, 4096, 44100.0, 300.0, 600.0);
    EXPECT_NEAR(test::cents_between(pitch, 440.0), 0.0, 8.0) << begin << ": " << pitch;
  }

  // An encoded bend at tempo 120 (points 230 samples apart): 41 points at
  // 0 cents, then an octave up (1200 cents is the pair "Sw") to the end.
  const std::string bent_out = dir.file("bent.wav");
  const CommandResult bent = test::run_quillet_binary(
      {voice, bent_out, "A4", "100", "N", "0", "500", "100", "0", "100", "100", "!120", "AA#40#Sw#60#"});
  ASSERT_EQ(bent.exit_code, 0) << bent.output;
  EXPECT_TRUE(lines_in_order(bent.output, {kArrow + "22094\n", "! split=97 step=230\n", kStart}))
      << bent.output;
  const std::vector<double> bent_samples = output_samples(bent_out);
  ASSERT_EQ(bent_samples.size(), 22094u);
  const double low = test::measure_pitch_hz(bent_samples, 4096, 4096, 44100.0, 300.0, 1200.0);
  const double high = test::measure_pitch_hz(bent_samples, 14336, 4096, 44100.0, 600.0, 1200.0);
  EXPECT_NEAR(test::cents_between(low, 440.0), 0.0, 8.0) << low;
  EXPECT_NEAR(test::cents_between(high, 880.0), 0.0, 8.0) << high;
}

TEST(EndToEnd, OffsetNeedsLengthRequireAndEmptyStretchesWriteNothing) {
  ScratchDir dir;
  const std::string voice = write_voice(dir, "voice.wav", 220.0, 1.0);
  const std::string out = dir.file("out.wav");
  // argc = 7: the offset of 500 ms is ignored, the whole second is used.
  const CommandResult seven = test::run_quillet_binary({voice, out, "100", "100", "N", "500"});
  ASSERT_EQ(seven.exit_code, 0) << seven.output;
  EXPECT_TRUE(lines_in_order(seven.output, {"fixed:0.000\n", kNoStretch, kLength + "44100" + kArrow + "44100\n", kStart}))
      << seven.output;
  EXPECT_EQ(output_samples(out).size(), 44100u);

  // argc = 8: the offset starts the stretch at frame 22051.
  const CommandResult eight = test::run_quillet_binary({voice, out, "100", "100", "N", "500", "0"});
  ASSERT_EQ(eight.exit_code, 0) << eight.output;
  EXPECT_TRUE(lines_in_order(eight.output, {kLength + "22049" + kArrow + "22049\n", kStart})) << eight.output;
  EXPECT_EQ(output_samples(out).size(), 22049u);

  // An offset past the end: nothing to render, no file written.
  const std::string nothing = dir.file("nothing.wav");
  const CommandResult past = test::run_quillet_binary({voice, nothing, "100", "100", "N", "2000", "0"});
  EXPECT_EQ(past.exit_code, 255);
  EXPECT_TRUE(past.output.ends_with(kNoStretch + "no samples to render.\n")) << past.output;
  EXPECT_FALSE(test::file_exists(nothing));

  // An upper-case AIFF extension is read as WAV.
  const std::string upper = dir.file("voice.AIFF");
  test::write_file_bytes(upper, test::read_file_bytes(voice));
  const CommandResult wav_named_aiff = test::run_quillet_binary({upper, out, "100", "50", "N"});
  EXPECT_EQ(wav_named_aiff.exit_code, 0) << wav_named_aiff.output;
  EXPECT_EQ(output_samples(out).size(), 22050u);
}

}  // namespace
}  // namespace quillet
