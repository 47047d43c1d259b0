// The demo tools: the voice generator and the note joiner, run as programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio_io/wav.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/test_paths.h"

namespace quillet {
namespace {

// The tools are built next to the quillet executable.
std::string tool_path(const std::string& name) {
  const std::string quillet = test::quillet_binary();
  return quillet.substr(0, quillet.find_last_of('/') + 1) + name;
}

struct LoadedWav {
  bool ok = false;
  WaveInfo info;
  std::vector<int16_t> samples;  // without the zero tail
};

LoadedWav load(const std::string& path) {
  LoadedWav wav;
  SampleStore store;
  wav.ok = read_wav(path, wav.info, 0, store);
  if (wav.ok) wav.samples.assign(store.begin(), store.begin() + wav.info.data_bytes / 2);
  return wav;
}

double rms(const std::vector<int16_t>& x, size_t begin, size_t end) {
  double sum = 0.0;
  for (size_t i = begin; i < end; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(end - begin));
}

// Fundamental of x[begin, begin + window) by normalised autocorrelation over
// 80-500 Hz: the shortest lag whose peak comes within 10 % of the best one, so
// that a period multiple is not taken for the period. 0 when nothing correlates.
double autocorrelation_pitch(const std::vector<int16_t>& x, size_t begin, size_t window) {
  const int min_lag = 44100 / 500, max_lag = 44100 / 80;
  std::vector<double> r(max_lag + 2, 0.0);
  double best = 0.0;
  for (int lag = min_lag; lag <= max_lag + 1; ++lag) {
    double cross = 0.0, energy_a = 0.0, energy_b = 0.0;
    for (size_t i = begin; i < begin + window; ++i) {
      cross += static_cast<double>(x[i]) * x[i + lag];
      energy_a += static_cast<double>(x[i]) * x[i];
      energy_b += static_cast<double>(x[i + lag]) * x[i + lag];
    }
    r[lag] = cross / std::sqrt(energy_a * energy_b + 1e-9);
    best = std::max(best, r[lag]);
  }
  if (best < 0.5) return 0.0;
  for (int lag = min_lag + 1; lag <= max_lag; ++lag) {
    if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) return 44100.0 / lag;
  }
  return 0.0;
}

TEST(DemoVoice, IsDeterministicSungA3AtMinusSixDecibels) {
  test::ScratchDir dir;
  ASSERT_EQ(test::run_program(tool_path("make_demo_voice"), {dir.file("a.wav")}).exit_code, 0);
  ASSERT_EQ(test::run_program(tool_path("make_demo_voice"), {dir.file("b.wav")}).exit_code, 0);
  EXPECT_EQ(test::read_file_bytes(dir.file("a.wav")), test::read_file_bytes(dir.file("b.wav")));

  const LoadedWav voice = load(dir.file("a.wav"));
  ASSERT_TRUE(voice.ok);
  EXPECT_EQ(voice.info.sample_rate, 44100u);
  EXPECT_EQ(voice.info.channels, 1);
  EXPECT_EQ(voice.info.bits_per_sample, 16);
  ASSERT_EQ(voice.samples.size(), 66150u);  // 1.5 s

  int peak = 0;
  for (int16_t v : voice.samples) peak = std::max(peak, std::abs(static_cast<int>(v)));
  EXPECT_NEAR(20.0 * std::log10(peak / 32768.0), -6.0, 0.1);

  // Soft onset and release: the edges are far quieter than the held vowel.
  const double held = rms(voice.samples, 22050, 44100);
  EXPECT_LT(rms(voice.samples, 0, 441), 0.05 * held);
  EXPECT_LT(rms(voice.samples, 65268, 66150), 0.01 * held);

  // Around A3 throughout the held part, vibrato and jitter included.
  for (size_t begin = 4410; begin + 2048 + 600 < 60000; begin += 4410) {
    EXPECT_NEAR(autocorrelation_pitch(voice.samples, begin, 2048), 220.0, 220.0 * 0.03)
        << "at sample " << begin;
  }
}

std::string constant_wav(int16_t value, int frames, int channels = 1, int rate = 44100) {
  return test::wav_file_bytes(std::vector<int16_t>(frames * channels, value), frames, channels, rate);
}

struct JoinFixture {
  test::ScratchDir dir;
  JoinFixture() {
    test::write_file_bytes(dir.file("a.wav"), constant_wav(1000, 1000));
    test::write_file_bytes(dir.file("b.wav"), constant_wav(-2000, 500));
    test::write_file_bytes(dir.file("c.wav"), constant_wav(3000, 800));
  }
  int join(std::vector<std::string> options) {
    options.push_back(dir.file("out.wav"));
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) options.push_back(dir.file(name));
    return test::run_program(tool_path("join_notes"), options).exit_code;
  }
};

TEST(JoinNotes, ButtsNotesTogetherOrSeparatesThemWithSilence) {
  JoinFixture f;
  ASSERT_EQ(f.join({}), 0);
  LoadedWav out = load(f.dir.file("out.wav"));
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.info.sample_rate, 44100u);
  ASSERT_EQ(out.samples.size(), 2300u);
  EXPECT_EQ(out.samples[999], 1000);
  EXPECT_EQ(out.samples[1000], -2000);
  EXPECT_EQ(out.samples[1499], -2000);
  EXPECT_EQ(out.samples[1500], 3000);

  ASSERT_EQ(f.join({"--gap", "10"}), 0);  // 441 samples
  out = load(f.dir.file("out.wav"));
  ASSERT_EQ(out.samples.size(), 2300u + 2 * 441);
  EXPECT_EQ(out.samples[999], 1000);
  EXPECT_EQ(out.samples[1000], 0);
  EXPECT_EQ(out.samples[1440], 0);
  EXPECT_EQ(out.samples[1441], -2000);
  EXPECT_EQ(out.samples[1941], 0);
  EXPECT_EQ(out.samples[2382], 3000);
}

TEST(JoinNotes, CrossfadesNeighboursAndNeverTakesMoreThanHalfANote) {
  JoinFixture f;
  ASSERT_EQ(f.join({"--crossfade", "2"}), 0);  // 88 samples
  LoadedWav out = load(f.dir.file("out.wav"));
  ASSERT_TRUE(out.ok);
  ASSERT_EQ(out.samples.size(), 2300u - 2 * 88);
  EXPECT_EQ(out.samples[911], 1000);
  EXPECT_NEAR(out.samples[912], 1000, 40);   // fade starts at the earlier note
  EXPECT_NEAR(out.samples[955], -500, 40);   // halfway
  EXPECT_NEAR(out.samples[999], -2000, 40);  // and ends at the later one
  EXPECT_EQ(out.samples[1000], -2000);

  // 20 ms is 882 samples, but the 500-sample note allows only 250 on each side.
  ASSERT_EQ(f.join({"--crossfade", "20"}), 0);
  out = load(f.dir.file("out.wav"));
  ASSERT_EQ(out.samples.size(), 2300u - 2 * 250);
  EXPECT_EQ(out.samples[749], 1000);
  EXPECT_NEAR(out.samples[999], -2000, 40);  // the short note only at the crossfade ends
  EXPECT_NEAR(out.samples[1000], -2000, 40);
  EXPECT_EQ(out.samples[1250], 3000);
}

TEST(JoinNotes, RefusesInputsThatAreNotMono44100AndContradictoryOptions) {
  JoinFixture f;
  test::write_file_bytes(f.dir.file("b.wav"), constant_wav(5, 500, 2));
  EXPECT_NE(f.join({}), 0);
  EXPECT_FALSE(test::file_exists(f.dir.file("out.wav")));

  test::write_file_bytes(f.dir.file("b.wav"), constant_wav(5, 500, 1, 22050));
  EXPECT_NE(f.join({}), 0);
  EXPECT_FALSE(test::file_exists(f.dir.file("out.wav")));

  test::write_file_bytes(f.dir.file("b.wav"), constant_wav(5, 500));
  EXPECT_NE(f.join({"--gap", "5", "--crossfade", "5"}), 0);
  EXPECT_NE(f.join({"--crossfade", "-3"}), 0);
  EXPECT_FALSE(test::file_exists(f.dir.file("out.wav")));
}

}  // namespace
}  // namespace quillet
