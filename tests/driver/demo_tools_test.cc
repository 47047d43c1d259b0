// The demo tools, run as programs: the voice generator and the note joiner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "support/pitch_meter.h"
#include "support/process.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;

double rms(const std::vector<double>& x, size_t begin, size_t end) {
  double sum = 0.0;
  for (size_t i = begin; i < end; ++i) sum += x[i] * x[i];
  return std::sqrt(sum / static_cast<double>(end - begin));
}

TEST(DemoVoice, IsDeterministicSungA3AtMinusSixDecibels) {
  ScratchDir dir;
  ASSERT_EQ(run_program(built_program("make_demo_voice"), {dir.file("a.wav")}).exit_code, 0);
  ASSERT_EQ(run_program(built_program("make_demo_voice"), {dir.file("b.wav")}).exit_code, 0);
  EXPECT_EQ(read_file_bytes(dir.file("a.wav")), read_file_bytes(dir.file("b.wav")));
  WaveInfo info;
  const std::vector<double> voice = wav_samples(dir.file("a.wav"), &info);
  EXPECT_EQ(std::tie(info.sample_rate, info.channels, info.bits_per_sample), std::make_tuple(44100u, 1, 16));
  ASSERT_EQ(voice.size(), 66150u);  // 1.5 s
  double peak = 0.0;
  for (double v : voice) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(20.0 * std::log10(peak / 32768.0), -6.0, 0.1);
  // Soft onset and release, and around A3 throughout the held part.
  const double held = rms(voice, 22050, 44100);
  EXPECT_LT(rms(voice, 0, 441), 0.05 * held);
  EXPECT_LT(rms(voice, 65268, 66150), 0.01 * held);
  for (int begin = 4410; begin < 57000; begin += 4410)
    EXPECT_NEAR(measure_pitch_hz(voice, begin, 2048, 44100.0, 80.0, 500.0), 220.0, 220.0 * 0.03) << begin;
}

// Three notes of 1000, 500 and 800 samples at 1000, -2000 and 3000, joined
// with options.
struct Joined {
  int status = -1;
  bool written = false;
  std::vector<double> samples;
};

Joined join(std::vector<std::string> options, int channels_of_b = 1, int rate_of_b = 44100) {
  ScratchDir dir;
  write_file_bytes(dir.file("a.wav"), wav16(std::vector<int16_t>(1000, 1000), 1, 44100));
  write_file_bytes(dir.file("b.wav"), wav16(std::vector<int16_t>(500 * channels_of_b, -2000), channels_of_b, rate_of_b));
  write_file_bytes(dir.file("c.wav"), wav16(std::vector<int16_t>(800, 3000), 1, 44100));
  options.push_back(dir.file("out.wav"));
  for (const char* name : {"a.wav", "b.wav", "c.wav"}) options.push_back(dir.file(name));
  Joined joined;
  joined.status = run_program(built_program("join_notes"), options).exit_code;
  joined.written = file_exists(dir.file("out.wav"));
  joined.samples = wav_samples(dir.file("out.wav"));
  return joined;
}

TEST(JoinNotes, ButtsGapsAndCrossfades) {
  const Joined butted = join({});
  ASSERT_EQ(butted.samples.size(), 2300u);
  for (auto [at, value] : {std::pair{999, 1000}, {1000, -2000}, {1499, -2000}, {1500, 3000}})
    EXPECT_EQ(butted.samples[at], value) << at;

  const Joined gapped = join({"--gap", "10"});  // 441 samples of silence
  ASSERT_EQ(gapped.samples.size(), 2300u + 2 * 441);
  for (auto [at, value] : {std::pair{999, 1000}, {1000, 0}, {1440, 0}, {1441, -2000}, {1941, 0}, {2382, 3000}})
    EXPECT_EQ(gapped.samples[at], value) << at;

  const Joined faded = join({"--crossfade", "2"});  // 88 samples
  ASSERT_EQ(faded.samples.size(), 2300u - 2 * 88);
  EXPECT_EQ(faded.samples[911], 1000);
  for (auto [at, value] : {std::pair{912, 1000}, {955, -500}, {999, -2000}}) EXPECT_NEAR(faded.samples[at], value, 40) << at;
  EXPECT_EQ(faded.samples[1000], -2000);

  // 20 ms is 882 samples, but the 500-sample note allows 250 on each side.
  const Joined halved = join({"--crossfade", "20"});
  ASSERT_EQ(halved.samples.size(), 2300u - 2 * 250);
  EXPECT_EQ(halved.samples[749], 1000);
  EXPECT_NEAR(halved.samples[1000], -2000, 40);
  EXPECT_EQ(halved.samples[1250], 3000);
}

TEST(JoinNotes, RefusesInputsThatAreNotMono44100AndContradictoryOptions) {
  for (const Joined& refused : {join({}, 2), join({}, 1, 22050), join({"--gap", "5", "--crossfade", "5"}),
                                join({"--crossfade", "-3"})}) {
    EXPECT_NE(refused.status, 0);
    EXPECT_FALSE(refused.written);
  }
}

}  // namespace
}  // namespace quillet
