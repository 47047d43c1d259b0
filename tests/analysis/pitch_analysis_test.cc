#include "analysis/pitch_analysis.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "analysis/frequency_files.h"
#include "analysis/pitch_passes.h"
#include "support/console.h"
#include "support/fixtures.h"
#include "support/pitch_meter.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using namespace test;

// "周波数表作成中\n"
const std::string kAnalysisStarts = "\x8e\xfc\x94\x67\x90\x94\x95\x5c\x8d\xec\x90\xac\x92\x86\n";

struct Analysed {
  FrequencyList list;
  std::string console;
};

Analysed analyse(const std::string& path, const std::string& flags, const SampleStore& samples, int frames,
                 int sample_rate) {
  Analysed result;
  result.console = console_of([&] {
    result.list = analyse_pitch(path, flags, samples, frames, sample_rate, 1, grid_at(sample_rate));
  });
  return result;
}

SyntheticVoice voice_of(double f0, int sample_rate, double seconds) {
  return {.f0 = f0, .sample_rate = sample_rate, .seconds = seconds, .tail_frames = BLOCK_LENGTH};
}

Analysed analyse_voice(const std::string& path, const std::string& flags, const SyntheticVoice& voice) {
  return analyse(path, flags, synthetic_voice(voice), synthetic_voice_frames(voice), voice.sample_rate);
}

// The progress line of format for each step 0..nsteps (only the voiced ones when given a list).
std::string progress_lines(const char* format, int nsteps, const std::vector<double>* voiced = nullptr) {
  std::string lines;
  char line[64];
  for (int i = 0; i <= nsteps; ++i) {
    std::snprintf(line, sizeof line, format, i, nsteps);
    if (voiced == nullptr || (*voiced)[i] != UNVOICED_HZ) lines += line;
  }
  return lines;
}

TEST(PitchAnalysis, SyntheticVoicesAnalyseWithinAFewCents) {
  for (int rate : {22050, 44100, 48000}) {
    for (double f0 : {110.0, 220.0, 440.0}) {
      SCOPED_TRACE(testing::Message() << f0 << " Hz at " << rate << " Hz");
      ScratchDir dir;
      const SyntheticVoice voice = voice_of(f0, rate, 0.2);
      const int frames = synthetic_voice_frames(voice);
      const FrequencyList list = analyse_voice(dir.file("voice.wav"), "", voice).list;
      const int nsteps = frames / 256;
      ASSERT_EQ(list.freq.size(), static_cast<size_t>(nsteps) + 2);
      EXPECT_NEAR(cents_between(list.freq_avg, f0), 0.0, 12.0);
      for (int i = 6; i * 256 + 1536 <= frames; ++i) {  // blocks wholly inside the sound
        ASSERT_NE(list.freq[i], UNVOICED_HZ) << i;
        EXPECT_NEAR(cents_between(list.freq[i], synthetic_voice_f0_at(voice, i * 256.0)), 0.0, 8.0) << i;
      }
    }
  }
}

// The first pass's lines, then the second's (with any repair walk's), then
// "(3/3)" for the voiced steps only.
TEST(PitchAnalysis, ConsoleShowsEachPass) {
  ScratchDir dir;
  const SyntheticVoice voice = voice_of(220.0, 22050, 0.15);
  const Analysed mono = analyse_voice(dir.file("mono.wav"), "", voice);
  const int n = synthetic_voice_frames(voice) / 256;
  const std::string pass1 = kAnalysisStarts + progress_lines("(1/3) %d/%d \r", n);
  const std::string pass3 = progress_lines("(3/3) %d/%d\r", n, &mono.list.freq);
  ASSERT_NE(mono.list.freq[n / 2], UNVOICED_HZ);
  const std::string head = pass1 + "(2/3) 0/" + std::to_string(n) + " \r";
  const std::string tail = "(2/3) " + std::to_string(n) + "/" + std::to_string(n) + " \r" + pass3;
  EXPECT_EQ(mono.console.substr(0, head.size()), head);
  EXPECT_EQ(mono.console.substr(mono.console.size() - tail.size()), tail);
}

TEST(PitchAnalysis, ShortSilentAndNoisySounds) {
  ScratchDir dir;
  // 200 frames: nsteps = 0, one step and its spare.
  const Analysed tiny = analyse_voice(dir.file("short.wav"), "", voice_of(220.0, 44100, 200.0 / 44100.0));
  EXPECT_EQ(tiny.list.length, 1);
  ASSERT_EQ(tiny.list.freq.size(), 2u);
  EXPECT_EQ(tiny.list.amp[1], tiny.list.amp[0]);
  EXPECT_EQ(tiny.console.substr(0, kAnalysisStarts.size() + 22),
            kAnalysisStarts + "(1/3) 0/0 \r(2/3) 0/0 \r");
  EXPECT_EQ(read_file_bytes(dir.file("short_wav.frq")).size(), 40u + 16u);
  const Analysed empty = analyse(dir.file("empty.wav"), "G", SampleStore(BLOCK_LENGTH, 0), 0, 44100);
  EXPECT_EQ(empty.list.freq, (std::vector<double>{55.0, 55.0}));

  const int frames = 4000, n = frames / 256;
  const SampleStore silence(frames + BLOCK_LENGTH, 0);
  const SampleStore noise = white_noise(frames, 20000.0, 7, BLOCK_LENGTH);
  for (const SampleStore* samples : {&silence, &noise}) {
    // "A1000" would smooth any voice; an all-unvoiced list stays as it is.
    const Analysed result = analyse(dir.file("quiet.wav"), "GA1000", *samples, frames, 44100);
    EXPECT_EQ(result.list.freq_avg, 55.0);
    EXPECT_EQ(result.list.freq, std::vector<double>(n + 2, 55.0));
    EXPECT_EQ(result.console,
              kAnalysisStarts + progress_lines("(1/3) %d/%d \r", n) + progress_lines("(2/3) %d/%d \r", n));
  }
}

// A stored list is read silently instead of analysing (here silence), fitted
// to the sound's nsteps + 1 steps without rewriting its file.
TEST(PitchAnalysis, SideFilesAreReadAndFittedToTheSound) {
  ScratchDir dir;
  const std::string path = dir.file("take.wav"), frq = dir.file("take_wav.frq");
  const int frames = 5 * 256 + 17;  // nsteps = 5
  const SampleStore silence(frames + BLOCK_LENGTH, 0);
  const auto store = [&](const std::vector<double>& freq) {
    const std::vector<double> amp(freq.size(), 1000.0);
    ASSERT_TRUE(write_frq(path, freq.data(), amp.data(), static_cast<int>(freq.size()), 150.0));
  };
  // Shorter: the last stored step repeats, and "T" writes the fitted six rows.
  store({100.0, 200.0, 300.0});
  const std::string stored = read_file_bytes(frq);
  const Analysed shorter = analyse(path, "T", silence, frames, 44100);
  EXPECT_EQ(shorter.console, "");
  EXPECT_EQ(shorter.list.length, 6);
  EXPECT_EQ(shorter.list.freq, (std::vector<double>{100, 200, 300, 300, 300, 300, 300}));
  EXPECT_EQ(shorter.list.amp, std::vector<double>(7, 1000.0));
  EXPECT_EQ(shorter.list.freq_avg, 150.0);
  EXPECT_EQ(read_file_bytes(frq), stored);
  EXPECT_EQ(read_frt(path)->freq, shorter.list.freq);
  // Longer: cut to the sound's steps.
  store({101, 102, 103, 104, 105, 106, 107, 108, 109});
  EXPECT_EQ(analyse(path, "", silence, frames, 44100).list.freq,
            (std::vector<double>{101, 102, 103, 104, 105, 106, 106}));
  // Only a text file: read, and a binary file holding the fitted list is made from it.
  std::remove(frq.c_str());
  const double three[] = {110.0, 120.0, 130.0}, amps[] = {1.0, 2.0, 3.0};
  ASSERT_TRUE(write_frt(path, three, amps, 3, 120.0, grid_at(44100)));
  const Analysed from_text = analyse(path, "", silence, frames, 44100);
  EXPECT_EQ(from_text.console, "");
  EXPECT_EQ(from_text.list.freq, (std::vector<double>{110, 120, 130, 130, 130, 130, 130}));
  ASSERT_TRUE(read_frq(path).has_value());
  EXPECT_EQ(read_frq(path)->amp, (std::vector<double>{1, 2, 3, 3, 3, 3, 3}));
}

// amp 100 gives 100 * 100 / 32768 = 0.30517578125; each missing earlier step
// multiplies in 1 / (1 + f).
TEST(PitchAnalysis, ContinuityWeightByHand) {
  const double freq[] = {110.0, 220.0, 55.0, 1000.0, 999.0};
  ContinuitySums sums;
  add_continuity_weight(sums, freq, 1, 100.0);  // 0.30517578125 * 220 / (220 + 110^2) / 221^5
  EXPECT_NEAR(sums.weight_sum, 1.0337146461622445e-14, 1e-26);
  EXPECT_NEAR(sums.sum, 2.2741722215569377e-12, 1e-24);
  ContinuitySums first, edges, agree, disagree;
  add_continuity_weight(first, freq + 1, 0, 100.0);  // 0.30517578125 / 221^6
  EXPECT_NEAR(first.weight_sum, 2.619367429189398e-15, 1e-27);
  add_continuity_weight(edges, freq, 2, 100.0);  // 55 and 1000 Hz take no part; 999 Hz does
  add_continuity_weight(edges, freq, 3, 100.0);
  EXPECT_EQ(edges.weight_sum, 0.0);
  add_continuity_weight(edges, freq, 4, 100.0);
  EXPECT_GT(edges.weight_sum, 0.0);
  // Six agreeing steps keep the whole weight; 10 Hz off: 0.30517578125 * (230 / 330)^6.
  const double steady[] = {220, 220, 220, 220, 220, 220, 220}, jumpy[] = {220, 220, 220, 220, 220, 220, 230};
  add_continuity_weight(agree, steady, 6, 100.0);
  add_continuity_weight(disagree, jumpy, 6, 100.0);
  EXPECT_EQ(agree.weight_sum, 0.30517578125);
  EXPECT_NEAR(disagree.weight_sum, 0.0349811, 1e-7);
}

// nsteps = 2, freq_avg 90, spare entry copied from entry 2.
TEST(PitchAnalysis, LowVoiceSmoothingByHand) {
  std::vector<double> freq = {55.0, 100.0, 110.0, 0.0};
  smooth_low_voice(freq, 2, 90.0);
  const double near = 0.866025404, wsum = 1.0 + 2.0 * near + 0.5;
  EXPECT_EQ(freq[0], 55.0);
  EXPECT_NEAR(freq[1], 328.2050808 / wsum, 1e-9);    // 100 + .866 * 90 (gap) + .866 * 110 + .5 * 110 (spare)
  EXPECT_NEAR(freq[2], 336.86533484 / wsum, 1e-9);   // 110 + .866 * 100 + .5 * 90 (gap) + .866 * 110 (spare)
  EXPECT_NEAR(freq[3], 255.26279444 / (1.0 + near + 0.5), 1e-9);  // spare: 110 + .866 * 110 + .5 * 100
  // Terms summed in the order i, i-1, i-2, i+1, i+2; any other order ends in ...093.
  std::vector<double> exact = {119.4, 112.6, 102.5, 84.7, 81.4, 0.0};
  smooth_low_voice(exact, 4, 100.0);
  EXPECT_EQ(exact[2], 100.15051547744092);
}

// 120 Hz is smoothed only with a limit above it ("A130"); 80 Hz by default.
TEST(PitchAnalysis, SmoothingDependsOnTheAverageAndFlagA) {
  ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  const SyntheticVoice high = voice_of(120.0, 22050, 0.2), low = voice_of(80.0, 22050, 0.2);
  const FrequencyList raw = analyse_voice(path, "G", high).list;
  const FrequencyList smoothed = analyse_voice(path, "GA130", high).list;
  std::vector<double> expected = raw.freq;
  smooth_low_voice(expected, static_cast<int>(expected.size()) - 2, raw.freq_avg);
  expected.back() = expected[expected.size() - 2];  // the returned spare repeats the last step
  EXPECT_EQ(smoothed.freq, expected);
  EXPECT_NE(smoothed.freq, raw.freq);
  EXPECT_EQ(smoothed.freq_avg, raw.freq_avg);
  EXPECT_EQ(read_frq(path)->freq, smoothed.freq);  // "G" replaced the file with the smoothed list
  EXPECT_EQ(analyse_voice(path, "GAx", high).list.freq, raw.freq);  // unreadable: default limit
  EXPECT_NE(analyse_voice(path, "G", low).list.freq, analyse_voice(path, "GA0", low).list.freq);
}

TEST(PitchAnalysis, GridRangesClipAtTheEnds) {
  const struct {
    int centre, half, lo, hi;
  } cases[] = {{8, 8, 1, 16},   {9, 8, 1, 17},       {893, 8, 885, 901},  {894, 8, 886, 901},
               {0, 50, 1, 50},  {51, 50, 1, 101},    {851, 50, 801, 901}, {872, 30, 842, 901}};
  for (const auto& c : cases) {
    const GridRange range = grid_range_around(c.centre, c.half);
    EXPECT_EQ(std::pair(range.lo, range.hi), std::pair(c.lo, c.hi)) << c.centre << " +- " << c.half;
  }
}

// Second pass on hand-set candidates over a 220 Hz voice (grid index 240).
TEST(PitchAnalysis, RepairWalkReestimatesBackwardsFromAnAgreeingStep) {
  const SyntheticVoice voice = voice_of(220.0, 22050, 0.25);
  const SampleStore samples = synthetic_voice(voice);
  const FrequencyGrid& grid = grid_at(22050);
  const int nsteps = synthetic_voice_frames(voice) / 256;
  PitchWork work;
  work.cand.assign(nsteps + 2, 240);
  work.cand[nsteps + 1] = 0;
  work.cand[0] = 0;     // i = 0 with next = 0: unvoiced, revived later by the walk
  work.cand[1] = 0;     // neither neighbour in range: unvoiced, revived later
  work.cand[2] = 120;   // out of range, next in range: the walk starts here
  work.cand[6] = 600;   // out of range, prev in range, next out: global re-estimate
  work.cand[7] = 700;   // out of range, next in range: a walk that stops at step 6
  work.cand[10] = 190;  // the ends of the global range 190..290 are in range
  work.cand[11] = 290;
  std::vector<double> freq(nsteps + 2, 0.0);
  const std::vector<double> amp(nsteps + 2, 1000.0);
  double average = 0.0;
  const std::string console = console_of([&] {
    average = consistency_pass(SoundView{samples, 1, 22050, nsteps, grid}, work, grid_range_around(240, 50),
                               freq.data(), amp.data());
  });
  const std::string of = "/" + std::to_string(nsteps) + " \r";
  EXPECT_NE(console.find("(2/3) 1" + of + "2" + of + "1" + of + "0" + of + "(2/3) 2" + of), console.npos);
  EXPECT_NE(console.find("(2/3) 6" + of + "7" + of + "(2/3) 7" + of), console.npos) << console;
  EXPECT_EQ(work.cand[10], 190);
  EXPECT_EQ(work.cand[11], 290);
  for (int i = 0; i <= nsteps; ++i) {
    if (i != 10 && i != 11) {
      EXPECT_NEAR(work.cand[i], 240, 10) << i;
    }
    EXPECT_EQ(freq[i], grid.freq[work.cand[i]]) << i;
  }
  EXPECT_NEAR(cents_between(average, 220.0), 0.0, 30.0);
}

// Refines step 8, of second-pass frequency step_hz, of 0.1 s of a sine;
// returns the new frequency.
double refine_sine(int rate, double step_hz, double period, double amplitude, std::string& console) {
  SampleStore samples(rate / 10 + BLOCK_LENGTH, 0);
  for (int n = 0; n < rate / 10; ++n) {
    samples[n] = static_cast<int16_t>(std::lround(amplitude * std::sin(TWO_PI * n / period)));
  }
  PitchWork work;
  std::vector<double> freq(rate / 2560 + 2, UNVOICED_HZ);
  freq[8] = step_hz;
  console = console_of([&] { refine_pass(SoundView{samples, 1, rate, rate / 2560, grid_at(rate)}, work, freq.data()); });
  return freq[8];
}

// Trials run evenly from a semitone below the period to a semitone above it;
// a sine whose period is trial s peaks there, found from trial 128 upward or
// downward. Outside the trials a climb to 256 sets nothing and a climb to 0
// leaves the upward search's 128; silence ties everywhere and sets nothing.
TEST(PitchAnalysis, RefinementFindsTheTrialNearestTheMiddle) {
  const double f = grid_at(44100).freq[360], period = 44100.0 / f;
  const double low = period * 0.9438743126817, high = period * 1.0594630943593;
  const double unit = (high - low) / 256.0;
  const auto trial = [&](int s) { return low + s * unit; };
  const struct {
    double sine_period, amplitude, refined;
  } cases[] = {{trial(100), 1e4, 44100.0 / trial(100)}, {trial(200), 1e4, 44100.0 / trial(200)},
               {trial(128), 1e4, 44100.0 / trial(128)}, {high * 1.03, 1e4, f},
               {low * 0.97, 1e4, 44100.0 / trial(128)}, {period, 0.0, f}};
  std::string console;
  for (const auto& c : cases) {
    EXPECT_EQ(refine_sine(44100, f, c.sine_period, c.amplitude, console), c.refined) << c.sine_period;
    EXPECT_EQ(console, "(3/3) 8/17\r");
  }
  EXPECT_NEAR(44100.0 / trial(128), 439.267, 1e-3);  // 440 / 1.0016687
  // At 192000 Hz the longest trial period at 99 Hz is 2054.7 samples: skipped
  // silently; at 100 Hz it is 2034.2.
  EXPECT_EQ(refine_sine(192000, 99.0, 1940.0, 1e4, console), 99.0);
  EXPECT_EQ(console, "");
  EXPECT_NEAR(refine_sine(192000, 100.0, 1940.0, 1e4, console), 192000.0 / 1940.0, 0.05);
  EXPECT_EQ(console, "(3/3) 8/75\r");
}

bool exited_cleanly(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Twelve processes analyse four voices of one length into one side file while
// three others read it: every read is one whole list, and nothing is left over.
TEST(PitchAnalysis, ConcurrentAnalysesNeverShowATornSideFile) {
  std::vector<SyntheticVoice> voices;
  std::vector<std::string> wholes;
  ScratchDir alone, dir;
  for (int v = 0; v < 4; ++v) {
    voices.push_back(voice_of(150.0 + 40.0 * v, 22050, 0.08));
    voices.back().seed = 10 + v;
    analyse_voice(alone.file("v.wav"), "G", voices.back());
    wholes.push_back(read_file_bytes(alone.file("v_wav.frq")));
  }
  const std::string path = dir.file("shared.wav"), frq = dir.file("shared_wav.frq");
  const std::string stop = alone.file("stop");
  const auto whole = [&](const std::string& bytes) {
    return std::find(wholes.begin(), wholes.end(), bytes) != wholes.end();
  };
  std::fflush(stdout);
  std::vector<pid_t> children;
  for (int c = 0; c < 15; ++c) {
    const pid_t pid = fork();
    if (pid == 0 && c < 3) {  // a reader, until told to stop
      int status = 0;
      while (!file_exists(stop)) {
        std::ifstream in(frq, std::ios::binary);
        if (in && !whole(std::string(std::istreambuf_iterator<char>(in), {}))) status = 1;
      }
      _exit(status);
    }
    if (pid == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(2);
      const SyntheticVoice& voice = voices[c % 4];
      analyse_pitch(path, "G", synthetic_voice(voice), synthetic_voice_frames(voice),
                    voice.sample_rate, 1, grid_at(voice.sample_rate));
      _exit(0);
    }
    children.push_back(pid);
  }
  for (int c = 3; c < 15; ++c) EXPECT_TRUE(exited_cleanly(children[c]));
  write_file_bytes(stop, "");
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(exited_cleanly(children[c])) << "a reader saw a torn side file";
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{"shared_wav.frq"});
  EXPECT_TRUE(whole(read_file_bytes(frq)));
}

}  // namespace
}  // namespace quillet
