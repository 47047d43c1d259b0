#include "analysis/pitch_analysis.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/frequency_files.h"
#include "analysis/pitch_passes.h"
#include "support/process.h"
#include "support/synthetic_voice.h"

namespace quillet {
namespace {

using test::ScratchDir;
using test::SyntheticVoice;

// "周波数表作成中\n"
const std::string kAnalysisStarts = "\x8e\xfc\x94\x67\x90\x94\x95\x5c\x8d\xec\x90\xac\x92\x86\n";

struct Analysed {
  FrequencyList list;
  std::string console;
};

FrequencyGrid grid_for(int sample_rate) {
  FrequencyGrid grid;
  build_frequency_grid(grid, sample_rate, BLOCK_LENGTH);
  return grid;
}

Analysed analyse(const std::string& path, const std::string& flags, const SampleStore& samples,
                 int frames, int sample_rate, int channels = 1) {
  const FrequencyGrid grid = grid_for(sample_rate);
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  FrequencyList list = analyse_pitch(path, flags, samples, frames, sample_rate, channels, grid);
  std::fflush(stdout);
  return {std::move(list), testing::internal::GetCapturedStdout()};
}

SyntheticVoice voice_of(double f0, int sample_rate, double seconds) {
  SyntheticVoice voice;
  voice.f0 = f0;
  voice.sample_rate = sample_rate;
  voice.seconds = seconds;
  voice.tail_frames = BLOCK_LENGTH;
  return voice;
}

Analysed analyse_voice(const std::string& path, const std::string& flags, const SyntheticVoice& voice) {
  return analyse(path, flags, test::synthetic_voice(voice), test::synthetic_voice_frames(voice),
                 voice.sample_rate, voice.channels);
}

double cents(double f, double reference) { return 1200.0 * std::log2(f / reference); }

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Whether the progress lines of steps 0..nsteps appear in order (other lines may come between).
bool lines_in_order(const std::string& text, const char* format, int nsteps) {
  size_t at = 0;
  char line[64];
  for (int i = 0; i <= nsteps; ++i) {
    std::snprintf(line, sizeof line, format, i, nsteps);
    at = text.find(line, at);
    if (at == std::string::npos) return false;
  }
  return true;
}

std::string progress_lines(const char* format, int nsteps) {
  std::string lines;
  char line[64];
  for (int i = 0; i <= nsteps; ++i) {
    std::snprintf(line, sizeof line, format, i, nsteps);
    lines += line;
  }
  return lines;
}

// A hand-made list of count steps stored as the binary side file of path.
void store_frq(const std::string& path, const std::vector<double>& freq, double freq_avg) {
  const std::vector<double> amp(freq.size(), 1000.0);
  ASSERT_TRUE(write_frq(path, freq.data(), amp.data(), static_cast<int>(freq.size()), freq_avg));
}

// Steps whose measuring and refinement blocks lie wholly inside the sound.
bool interior_step(int i, int frames) { return i * BLOCK_STEP >= 1536 && i * BLOCK_STEP + 1536 <= frames; }

TEST(PitchAnalysis, SyntheticVoicesAnalyseWithinAFewCents) {
  for (int rate : {22050, 44100, 48000}) {
    for (double f0 : {110.0, 220.0, 440.0}) {
      SCOPED_TRACE(testing::Message() << f0 << " Hz at " << rate << " Hz");
      ScratchDir dir;
      const SyntheticVoice voice = voice_of(f0, rate, 0.2);
      const int frames = test::synthetic_voice_frames(voice);
      const Analysed result = analyse_voice(dir.file("voice.wav"), "", voice);
      const FrequencyList& list = result.list;
      const int nsteps = frames / 256;
      ASSERT_EQ(list.length, nsteps + 1);
      ASSERT_EQ(list.freq.size(), static_cast<size_t>(nsteps) + 2);
      EXPECT_EQ(list.step, 256);
      EXPECT_NEAR(cents(list.freq_avg, f0), 0.0, 12.0);
      int interior = 0;
      for (int i = 0; i <= nsteps; ++i) {
        if (!interior_step(i, frames)) continue;
        ++interior;
        ASSERT_NE(list.freq[i], UNVOICED_HZ) << "step " << i;
        EXPECT_NEAR(cents(list.freq[i], test::synthetic_voice_f0_at(voice, i * 256.0)), 0.0, 8.0)
            << "step " << i;
        EXPECT_GT(list.amp[i], 0.0);
      }
      EXPECT_GE(interior, 4);
      // Refined frequencies are no longer grid frequencies.
      const FrequencyGrid grid = grid_for(rate);
      const int middle = nsteps / 2;
      EXPECT_NE(list.freq[middle], grid.freq[nearest_grid_index(grid, list.freq[middle])]);
      EXPECT_EQ(list.freq[nsteps + 1], list.freq[nsteps]);
      EXPECT_EQ(list.amp[nsteps + 1], list.amp[nsteps]);
    }
  }
}

TEST(PitchAnalysis, ConsoleShowsEachPassAndTheStereoSecondChannelIsIgnored) {
  ScratchDir dir;
  SyntheticVoice voice = voice_of(220.0, 22050, 0.15);
  const Analysed mono = analyse_voice(dir.file("mono.wav"), "", voice);
  const int nsteps = test::synthetic_voice_frames(voice) / 256;
  const std::string pass1 = progress_lines("(1/3) %d/%d \r", nsteps);
  ASSERT_EQ(mono.console.substr(0, kAnalysisStarts.size() + pass1.size()), kAnalysisStarts + pass1);
  EXPECT_TRUE(lines_in_order(mono.console, "(2/3) %d/%d \r", nsteps));
  EXPECT_LT(mono.console.find("(2/3) 0/"), mono.console.find("(3/3) "));
  int voiced = 0;
  for (int i = 0; i <= nsteps; ++i) voiced += mono.list.freq[i] != UNVOICED_HZ;
  EXPECT_GT(voiced, 0);
  EXPECT_EQ(count_of(mono.console, "(3/3) "), voiced);
  EXPECT_EQ(count_of(mono.console, "\n"), 1);
  char last[32];
  std::snprintf(last, sizeof last, "(3/3) %d/%d\r", nsteps, nsteps);
  EXPECT_EQ(mono.console.substr(mono.console.size() - std::string(last).size()), last);

  // The second channel holds the first negated: read together they would cancel.
  voice.channels = 2;
  const Analysed stereo = analyse_voice(dir.file("stereo.wav"), "", voice);
  EXPECT_EQ(stereo.list.freq, mono.list.freq);
  EXPECT_EQ(stereo.list.amp, mono.list.amp);
  EXPECT_EQ(stereo.list.freq_avg, mono.list.freq_avg);
}

TEST(PitchAnalysis, SoundShorterThanOneStepHasOneStepAndASpare) {
  ScratchDir dir;
  const SyntheticVoice voice = voice_of(220.0, 44100, 200.0 / 44100.0);
  ASSERT_EQ(test::synthetic_voice_frames(voice), 200);
  const Analysed result = analyse_voice(dir.file("short.wav"), "", voice);
  EXPECT_EQ(result.list.length, 1);
  ASSERT_EQ(result.list.freq.size(), 2u);
  ASSERT_EQ(result.list.amp.size(), 2u);
  EXPECT_EQ(result.list.freq[1], result.list.freq[0]);
  EXPECT_EQ(result.list.amp[1], result.list.amp[0]);
  EXPECT_EQ(result.console.substr(0, kAnalysisStarts.size() + 22),
            kAnalysisStarts + "(1/3) 0/0 \r(2/3) 0/0 \r");
  EXPECT_EQ(test::read_file_bytes(dir.file("short_wav.frq")).size(), 40u + 16u);

  // No frames at all: still one (silent) step.
  const Analysed empty = analyse(dir.file("empty.wav"), "G", SampleStore(BLOCK_LENGTH, 0), 0, 44100);
  EXPECT_EQ(empty.list.length, 1);
  EXPECT_EQ(empty.list.freq, (std::vector<double>{55.0, 55.0}));
}

TEST(PitchAnalysis, SilenceAndNoiseAreUnvoiced) {
  ScratchDir dir;
  const int frames = 4000;
  const SampleStore silence(frames + BLOCK_LENGTH, 0);
  const SampleStore noise = test::white_noise(frames, 20000.0, 7, BLOCK_LENGTH);
  for (const SampleStore* samples : {&silence, &noise}) {
    // "A1000" would smooth any voice; an all-unvoiced list stays as it is.
    const Analysed result = analyse(dir.file("quiet.wav"), "GA1000", *samples, frames, 44100);
    EXPECT_EQ(result.list.freq_avg, 55.0);
    EXPECT_EQ(result.list.freq, std::vector<double>(frames / 256 + 2, 55.0));
    EXPECT_EQ(result.console.find("(3/3)"), std::string::npos);
    EXPECT_EQ(result.console.find(kAnalysisStarts), 0u);
  }
  const Analysed quiet = analyse(dir.file("silent.wav"), "", silence, frames, 44100);
  EXPECT_EQ(quiet.list.amp, std::vector<double>(frames / 256 + 2, 0.0));
}

TEST(PitchAnalysis, SideFilesAreReadInsteadOfAnalysing) {
  ScratchDir dir;
  const std::string path = dir.file("voice.wav");
  const SyntheticVoice voice = voice_of(220.0, 22050, 0.1);
  const int frames = test::synthetic_voice_frames(voice);
  const int nsteps = frames / 256;
  const SampleStore silence((frames + BLOCK_LENGTH), 0);

  const Analysed first = analyse_voice(path, "", voice);
  ASSERT_TRUE(test::file_exists(dir.file("voice_wav.frq")));
  EXPECT_FALSE(test::file_exists(dir.file("voice_wav.frt")));
  EXPECT_EQ(test::read_file_bytes(dir.file("voice_wav.frq")).size(), 40u + 16u * (nsteps + 1));

  // The binary file is read: silence now gives the voice's list, silently.
  const Analysed cached = analyse(path, "", silence, frames, 22050);
  EXPECT_EQ(cached.console, "");
  EXPECT_EQ(cached.list.freq, first.list.freq);
  EXPECT_EQ(cached.list.amp, first.list.amp);
  EXPECT_EQ(cached.list.freq_avg, first.list.freq_avg);
  EXPECT_EQ(cached.list.length, nsteps + 1);

  // "T" writes the text file from the list read.
  const Analysed with_text = analyse(path, "T", silence, frames, 22050);
  EXPECT_EQ(with_text.console, "");
  const std::optional<FrequencyList> text = read_frt(path);
  ASSERT_TRUE(text.has_value());
  ASSERT_EQ(text->length, nsteps + 1);
  for (int i = 0; i <= nsteps; ++i) EXPECT_NEAR(text->freq[i], first.list.freq[i], 6e-6);

  // Only the text file: it is read, and the binary file is made from it.
  std::remove(dir.file("voice_wav.frq").c_str());
  const Analysed from_text = analyse(path, "", silence, frames, 22050);
  EXPECT_EQ(from_text.console, "");
  for (int i = 0; i <= nsteps; ++i) EXPECT_NEAR(from_text.list.freq[i], first.list.freq[i], 6e-6);
  const std::optional<FrequencyList> rebuilt = read_frq(path);
  ASSERT_TRUE(rebuilt.has_value());
  EXPECT_EQ(rebuilt->length, nsteps + 1);
  for (int i = 0; i <= nsteps; ++i) EXPECT_EQ(rebuilt->freq[i], from_text.list.freq[i]);

  // "G" analyses again (here the silence) and replaces the binary file.
  const Analysed again = analyse(path, "G", silence, frames, 22050);
  EXPECT_EQ(again.console.find(kAnalysisStarts), 0u);
  EXPECT_EQ(again.list.freq, std::vector<double>(nsteps + 2, 55.0));
  const std::optional<FrequencyList> replaced = read_frq(path);
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->freq_avg, 55.0);
  EXPECT_EQ(replaced->freq[nsteps / 2], 55.0);
}

TEST(PitchAnalysis, StoredListsAreFittedToTheSoundWithoutRewritingTheirFile) {
  ScratchDir dir;
  const std::string path = dir.file("take.wav");
  const int frames = 5 * 256 + 17;  // nsteps = 5
  const SampleStore silence(frames + BLOCK_LENGTH, 0);

  // Shorter: the last stored step repeats.
  store_frq(path, {100.0, 200.0, 300.0}, 150.0);
  const std::string stored = test::read_file_bytes(dir.file("take_wav.frq"));
  const Analysed shorter = analyse(path, "", silence, frames, 44100);
  EXPECT_EQ(shorter.console, "");
  EXPECT_EQ(shorter.list.length, 6);
  EXPECT_EQ(shorter.list.freq, (std::vector<double>{100, 200, 300, 300, 300, 300, 300}));
  EXPECT_EQ(shorter.list.amp, std::vector<double>(7, 1000.0));
  EXPECT_EQ(shorter.list.freq_avg, 150.0);
  EXPECT_EQ(test::read_file_bytes(dir.file("take_wav.frq")), stored);

  // "T" writes the fitted list (six rows) to the text file, not to the binary one.
  analyse(path, "T", silence, frames, 44100);
  EXPECT_EQ(test::read_file_bytes(dir.file("take_wav.frq")), stored);
  const std::optional<FrequencyList> text = read_frt(path);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->length, 6);
  EXPECT_EQ(text->freq[5], 300.0);

  // Longer: cut to the sound's steps.
  store_frq(path, {101, 102, 103, 104, 105, 106, 107, 108, 109}, 105.0);
  const Analysed longer = analyse(path, "", silence, frames, 44100);
  EXPECT_EQ(longer.list.freq, (std::vector<double>{101, 102, 103, 104, 105, 106, 106}));

  // A binary file made from a text file holds the fitted list.
  std::remove(dir.file("take_wav.frq").c_str());
  const std::vector<double> three = {110.0, 120.0, 130.0};
  const std::vector<double> amps = {1.0, 2.0, 3.0};
  ASSERT_TRUE(write_frt(path, three.data(), amps.data(), 3, 120.0, grid_for(44100)));
  const Analysed from_text = analyse(path, "", silence, frames, 44100);
  EXPECT_EQ(from_text.list.freq, (std::vector<double>{110, 120, 130, 130, 130, 130, 130}));
  const std::optional<FrequencyList> made = read_frq(path);
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(made->length, 6);
  EXPECT_EQ(made->freq[5], 130.0);
  EXPECT_EQ(made->amp[5], 3.0);
}

// Worked by hand: amp 100 gives 100 * 100 / 32768 = 0.30517578125; a step
// with no earlier one multiplies in 1 / (1 + f) for each missing step.
TEST(PitchAnalysis, ContinuityWeightFavoursLoudStepsThatAgreeWithTheirHistory) {
  const double freq[] = {110.0, 220.0, 55.0, 1000.0, 999.0};
  ContinuitySums sums;
  add_continuity_weight(sums, freq, 1, 100.0);
  // 0.30517578125 * 220 / (220 + 110^2) / 221^5
  EXPECT_NEAR(sums.weight_sum, 1.0337146461622445e-14, 1e-26);
  EXPECT_NEAR(sums.sum, 2.2741722215569377e-12, 1e-24);
  ContinuitySums first;
  add_continuity_weight(first, freq + 1, 0, 100.0);  // 0.30517578125 / 221^6
  EXPECT_NEAR(first.weight_sum, 2.619367429189398e-15, 1e-27);
  // 55 and 1000 Hz take no part; 999 Hz does.
  ContinuitySums edges;
  add_continuity_weight(edges, freq, 2, 100.0);
  add_continuity_weight(edges, freq, 3, 100.0);
  EXPECT_EQ(edges.weight_sum, 0.0);
  add_continuity_weight(edges, freq, 4, 100.0);
  EXPECT_GT(edges.weight_sum, 0.0);
  // A step that agrees with the six before it outweighs one that does not.
  const double steady[] = {220, 220, 220, 220, 220, 220, 220};
  const double jumpy[] = {220, 220, 220, 220, 220, 220, 230};
  ContinuitySums agree, disagree;
  add_continuity_weight(agree, steady, 6, 100.0);
  add_continuity_weight(disagree, jumpy, 6, 100.0);
  EXPECT_EQ(agree.weight_sum, 0.30517578125);
  // 10 Hz off its history: 0.30517578125 * (230 / 330)^6
  EXPECT_NEAR(disagree.weight_sum, 0.0349811, 1e-7);
}

// Worked by hand: nsteps = 2, freq_avg 90, spare entry copied from entry 2.
TEST(PitchAnalysis, LowVoiceSmoothingWeighsNeighboursAndFillsGapsWithTheAverage) {
  std::vector<double> freq = {55.0, 100.0, 110.0, 0.0};
  smooth_low_voice(freq, 2, 90.0);
  const double near = 0.866025404;
  const double wsum = 1.0 + 2.0 * near + 0.5;
  EXPECT_EQ(freq[0], 55.0);
  // 100 + .866 * 90 (the gap) + .866 * 110 + .5 * 110 (the spare)
  EXPECT_NEAR(freq[1], 328.2050808 / wsum, 1e-9);
  EXPECT_NEAR(freq[1], 101.547005, 1e-6);
  // 110 + .866 * 100 + .5 * 90 (the gap) + .866 * 110 (the spare)
  EXPECT_NEAR(freq[2], 336.86533484 / wsum, 1e-9);
  // the spare: 110 + .866 * 110 + .5 * 100
  EXPECT_NEAR(freq[3], 255.26279444 / (1.0 + near + 0.5), 1e-9);

  // The terms are summed in the order i, i-1, i-2, i+1, i+2: summed in any
  // other order these values end in ...093 instead of ...092.
  std::vector<double> exact = {119.4, 112.6, 102.5, 84.7, 81.4, 0.0};
  smooth_low_voice(exact, 4, 100.0);
  EXPECT_EQ(exact[2], 100.15051547744092);
}

TEST(PitchAnalysis, SmoothingDependsOnTheAverageAndFlagA) {
  ScratchDir dir;
  const std::string path = dir.file("low.wav");
  const SyntheticVoice low = voice_of(80.0, 22050, 0.2);
  const Analysed raw = analyse_voice(path, "GA0", low);
  ASSERT_LT(raw.list.freq_avg, 86.1328125);
  const Analysed smoothed = analyse_voice(path, "G", low);
  std::vector<double> expected = raw.list.freq;
  smooth_low_voice(expected, static_cast<int>(expected.size()) - 2, raw.list.freq_avg);
  expected.back() = expected[expected.size() - 2];  // the returned spare repeats the last step
  EXPECT_EQ(smoothed.list.freq, expected);
  EXPECT_NE(smoothed.list.freq, raw.list.freq);
  EXPECT_EQ(smoothed.list.freq_avg, raw.list.freq_avg);
  // What was written is the smoothed list.
  EXPECT_EQ(read_frq(path)->freq[3], smoothed.list.freq[3]);

  const SyntheticVoice high = voice_of(120.0, 22050, 0.2);
  const Analysed plain = analyse_voice(path, "G", high);
  const Analysed unsmoothed = analyse_voice(path, "GA0", high);
  EXPECT_EQ(plain.list.freq, unsmoothed.list.freq);
  const Analysed raised = analyse_voice(path, "GA130", high);
  EXPECT_NE(raised.list.freq, plain.list.freq);
  const Analysed unreadable = analyse_voice(path, "GAx", high);  // keeps the default limit
  EXPECT_EQ(unreadable.list.freq, plain.list.freq);
}

// Second pass on hand-set candidates over a 220 Hz voice (grid index 240).
TEST(PitchAnalysis, RepairWalkReestimatesBackwardsFromAnAgreeingStep) {
  const SyntheticVoice voice = voice_of(220.0, 22050, 0.25);
  const SampleStore samples = test::synthetic_voice(voice);
  const FrequencyGrid grid = grid_for(22050);
  const int nsteps = test::synthetic_voice_frames(voice) / 256;
  const SoundView sound{samples, 1, 22050, nsteps, grid};
  PitchWork work;
  work.cand.assign(nsteps + 2, 240);
  work.cand[nsteps + 1] = 0;
  work.cand[0] = 0;    // i = 0 with next = 0: unvoiced, revived later by the walk
  work.cand[1] = 0;    // neither neighbour in range: unvoiced, revived later
  work.cand[2] = 120;  // out of range, next in range: the walk starts here
  work.cand[6] = 600;  // out of range, prev in range, next out: global re-estimate
  work.cand[7] = 700;  // out of range, next in range: a walk that stops at step 6
  std::vector<double> freq(nsteps + 2, 0.0);
  const std::vector<double> amp(nsteps + 2, 1000.0);
  const GridRange global = grid_range_around(240, GLOBAL_HALF_RANGE);
  EXPECT_EQ(global.lo, 190);
  EXPECT_EQ(global.hi, 290);
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  const double average = consistency_pass(sound, work, global, freq.data(), amp.data());
  const std::string console = testing::internal::GetCapturedStdout();
  char walk[64];
  std::snprintf(walk, sizeof walk, "2/%d \r1/%d \r0/%d \r(2/3) 2/%d \r", nsteps, nsteps, nsteps, nsteps);
  EXPECT_NE(console.find(walk), std::string::npos) << console;
  std::snprintf(walk, sizeof walk, "(2/3) 6/%d \r7/%d \r(2/3) 7/%d \r", nsteps, nsteps, nsteps);
  EXPECT_NE(console.find(walk), std::string::npos) << console;
  for (int i = 0; i <= nsteps; ++i) {
    EXPECT_GE(work.cand[i], 230) << i;
    EXPECT_LE(work.cand[i], 250) << i;
    EXPECT_EQ(freq[i], grid.freq[work.cand[i]]);
  }
  EXPECT_NEAR(cents(average, 220.0), 0.0, 20.0);
}

TEST(PitchAnalysis, RefinementSkipsPeriodsTooLongForTheBlock) {
  // At 192000 Hz a step at 99 Hz has a longest trial period of 2054.7
  // samples; one at 100 Hz 2034.2.
  const SyntheticVoice voice = voice_of(100.0, 192000, 0.05);
  const SampleStore samples = test::synthetic_voice(voice);
  const FrequencyGrid grid = grid_for(192000);
  const int nsteps = test::synthetic_voice_frames(voice) / 256;
  const SoundView sound{samples, 1, 192000, nsteps, grid};
  PitchWork work;
  std::vector<double> freq(nsteps + 2, 55.0);
  freq[15] = 99.0;
  freq[17] = 100.0;
  freq[18] = 102.0;
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  refine_pass(sound, work, freq.data());
  const std::string console = testing::internal::GetCapturedStdout();
  char expected[64];
  std::snprintf(expected, sizeof expected, "(3/3) 17/%d\r(3/3) 18/%d\r", nsteps, nsteps);
  EXPECT_EQ(console, expected);
  EXPECT_EQ(freq[15], 99.0);
  EXPECT_NEAR(cents(freq[17], test::synthetic_voice_f0_at(voice, 17 * 256.0)), 0.0, 8.0);
  EXPECT_NEAR(cents(freq[18], test::synthetic_voice_f0_at(voice, 18 * 256.0)), 0.0, 8.0);
  EXPECT_EQ(freq[16], 55.0);
}

// Reads the whole file, or reports that it could not be opened.
bool read_whole(const std::string& path, std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes.clear();
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  return true;
}

bool is_one_of(const std::string& bytes, const std::vector<std::string>& choices) {
  for (const std::string& choice : choices)
    if (bytes == choice) return true;
  return false;
}

void silence_stdout() {
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
}

// Reader process: reads the side file until the pipe closes; exits 1 on any
// read that is not one whole list.
[[noreturn]] void read_until_closed(const std::string& frq, const std::vector<std::string>& wholes,
                                    int done_fd) {
  silence_stdout();
  std::string bytes;
  int status = 0;
  for (;;) {
    pollfd waiting{done_fd, POLLIN, 0};
    const bool closed = poll(&waiting, 1, 0) > 0;
    if (read_whole(frq, bytes) && !is_one_of(bytes, wholes)) status = 1;
    if (closed) break;
  }
  _exit(status);
}

// Writer process: analyses its own voice into the shared side file.
[[noreturn]] void analyse_and_exit(const std::string& path, const SyntheticVoice& voice) {
  silence_stdout();
  const SampleStore samples = test::synthetic_voice(voice);
  const FrequencyGrid grid = grid_for(voice.sample_rate);
  analyse_pitch(path, "G", samples, test::synthetic_voice_frames(voice), voice.sample_rate, 1, grid);
  _exit(0);
}

bool exited_cleanly(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PitchAnalysis, ConcurrentAnalysesNeverShowATornSideFile) {
  // Four different voices of the same length, each analysed alone first: the
  // side file must only ever hold one of their lists, whole.
  std::vector<SyntheticVoice> voices;
  std::vector<std::string> wholes;
  ScratchDir alone;
  for (int v = 0; v < 4; ++v) {
    SyntheticVoice voice = voice_of(150.0 + 40.0 * v, 22050, 0.08);
    voice.seed = 10 + v;
    analyse_voice(alone.file("v.wav"), "G", voice);
    wholes.push_back(test::read_file_bytes(alone.file("v_wav.frq")));
    ASSERT_FALSE(wholes.back().empty());
    voices.push_back(voice);
  }
  ScratchDir dir;
  const std::string path = dir.file("shared.wav");
  const std::string frq = dir.file("shared_wav.frq");
  int done[2];
  ASSERT_EQ(pipe(done), 0);
  std::fflush(stdout);
  std::vector<pid_t> readers;
  for (int r = 0; r < 3; ++r) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(done[1]);
      read_until_closed(frq, wholes, done[0]);
    }
    readers.push_back(pid);
  }
  close(done[0]);
  std::vector<pid_t> writers;
  for (int w = 0; w < 12; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(done[1]);
      analyse_and_exit(path, voices[w % voices.size()]);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) EXPECT_TRUE(exited_cleanly(pid));
  close(done[1]);
  for (pid_t pid : readers) EXPECT_TRUE(exited_cleanly(pid)) << "a reader saw a torn side file";
  EXPECT_EQ(test::list_folder(dir.path), std::vector<std::string>{"shared_wav.frq"});
  EXPECT_TRUE(is_one_of(test::read_file_bytes(frq), wholes));
}

}  // namespace
}  // namespace quillet
