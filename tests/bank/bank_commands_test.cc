// quillet-bank as a person runs it: the side files it writes, its summaries,
// exit statuses and the problems check finds.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "analysis/frequency_files.h"
#include "bank_voices.h"
#include "support/process.h"

namespace quillet {
namespace {

using namespace test;
namespace fs = std::filesystem;

CommandResult run_bank(const std::vector<std::string>& args) {
  return run_program(QUILLET_BANK_BINARY, args);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Makes the side file older than its sound.
void make_stale(const std::string& path) {
  fs::last_write_time(side_file_name(path, ".frq"), fs::last_write_time(path) - std::chrono::seconds(5));
}

// Makes the sound older than its side file.
void make_fresh(const std::string& path) {
  fs::last_write_time(path, fs::last_write_time(side_file_name(path, ".frq")) - std::chrono::seconds(5));
}

TEST(BankAnalyse, WrittenSideFilesAreTheRenderers) {
  ScratchDir dir;
  fs::create_directories(dir.file("bank"));
  fs::create_directories(dir.file("renderer"));
  const std::vector<std::pair<std::string, glottal::VoiceDesign>> voices{
      {"a220.wav", bank_voice(220.0, 44100, glottal::kVowelA)},
      {"i440.wav", bank_voice(440.0, 44100, glottal::kVowelI)},
      {"u150.wav", bank_voice(150.0, 22050, glottal::kVowelU)}};
  for (const auto& [name, design] : voices) {
    write_bank_voice(dir.file("bank/" + name), design);
    write_bank_voice(dir.file("renderer/" + name), design);
    const CommandResult rendered = run_quillet_binary(
        {dir.file("renderer/" + name), dir.file("renderer/out.wav"), "A4", "100", "G"});
    ASSERT_EQ(rendered.exit_code, 0) << name;
  }
  const CommandResult result = run_bank({"analyse", "--jobs", "2", dir.file("bank")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, "analysed 3, skipped 0, refused 0\n");
  for (const auto& [name, design] : voices) {
    const std::string ours = read_file_bytes(side_file_name(dir.file("bank/" + name), ".frq"));
    EXPECT_FALSE(ours.empty()) << name;
    EXPECT_EQ(ours, read_file_bytes(side_file_name(dir.file("renderer/" + name), ".frq"))) << name;
  }
}

// Share of voiced steps more than 20 % and more than 600 cents off f0.
struct Miss {
  double gross = 0.0;
  int octave = 0;
  double voiced = 0.0;
};
Miss misses(const FrequencyList& list, double f0) {
  Miss miss;
  int voiced = 0;
  int gross = 0;
  for (int i = 8; i < list.length - 12; ++i) {  // away from the onset and release
    if (list.freq[i] == UNVOICED_HZ) continue;
    ++voiced;
    gross += std::fabs(list.freq[i] / f0 - 1.0) > 0.2 ? 1 : 0;
    miss.octave += std::fabs(1200.0 * std::log2(list.freq[i] / f0)) > 600.0 ? 1 : 0;
  }
  miss.gross = voiced ? static_cast<double>(gross) / voiced : 1.0;
  miss.voiced = static_cast<double>(voiced) / (list.length - 20);
  return miss;
}

TEST(BankAnalyse, AccurateMethodOnVoicesTheWrittenOneGetsWrong) {
  ScratchDir dir;
  const std::vector<std::tuple<std::string, glottal::VoiceDesign, double>> voices{
      {"i440.wav", bank_voice(440.0, 44100, glottal::kVowelI), 440.0},
      {"a300_22k.wav", bank_voice(300.0, 22050, glottal::kVowelA), 300.0},
      {"u110_22k.wav", bank_voice(110.0, 22050, glottal::kVowelU), 110.0}};
  for (const auto& [name, design, f0] : voices) write_bank_voice(dir.file(name), design);
  const CommandResult result = run_bank({"analyse", "--method", "accurate", dir.path});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  for (const auto& [name, design, f0] : voices) {
    const std::optional<FrequencyList> list = read_frq(dir.file(name));
    ASSERT_TRUE(list) << name;
    const Miss miss = misses(*list, f0);
    EXPECT_EQ(miss.octave, 0) << name;
    EXPECT_LE(miss.gross, 0.01) << name;
    EXPECT_GE(miss.voiced, 0.95) << name;
  }
}

TEST(BankAnalyse, AFolderOfGoodRefusedAndAnalysedSamples) {
  ScratchDir dir;
  fs::create_directories(dir.file("v/sub"));
  write_bank_voice(dir.file("v/good.wav"), bank_voice(220.0, 44100, glottal::kVowelA, 0.4));
  write_bank_voice(dir.file("v/sub/done.wav"), bank_voice(180.0, 44100, glottal::kVowelA, 0.4));
  write_file_bytes(dir.file("v/noise.wav"), "this is not a sound file at all");
  write_file_bytes(dir.file("v/eight.wav"), riff_file(riff_chunk("fmt ", fmt_body(1, 44100, 8)) +
                                                      riff_chunk("data", std::string(400, '\x80'))));
  write_file_bytes(side_file_name(dir.file("v/sub/done.wav"), ".frq"), "kept as it is");
  make_fresh(dir.file("v/sub/done.wav"));

  const CommandResult first = run_bank({"analyse", dir.file("v")});
  EXPECT_EQ(first.exit_code, 1);
  EXPECT_EQ(first.output, "analysed 1, skipped 1, refused 2\n"
                          "refused " + dir.file("v/eight.wav") + ": not 16-bit samples in whole frames\n"
                          "refused " + dir.file("v/noise.wav") + ": not a RIFF file\n");
  EXPECT_EQ(list_folder(dir.file("v")),
            (std::vector<std::string>{"eight.wav", "good.wav", "good_wav.frq", "noise.wav", "sub"}));
  EXPECT_EQ(read_file_bytes(side_file_name(dir.file("v/sub/done.wav"), ".frq")), "kept as it is");

  const CommandResult forced = run_bank({"analyse", "--force", "--jobs", "1", dir.file("v/sub")});
  EXPECT_EQ(forced.exit_code, 0);
  EXPECT_EQ(forced.output, "analysed 1, skipped 0, refused 0\n");
  EXPECT_TRUE(read_frq(dir.file("v/sub/done.wav")));
  EXPECT_EQ(list_folder(dir.file("v/sub")), (std::vector<std::string>{"done.wav", "done_wav.frq"}));
}

TEST(BankUsage, HelpAndBadUsage) {
  const CommandResult help = run_bank({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(contains(help.output, "quillet-bank analyse [--method written|accurate]"));
  EXPECT_EQ(run_bank({}).exit_code, 2);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"sing"}, {"analyse"}, {"analyse", "--method", "best", "x.wav"},
                                             {"analyse", "--jobs", "0", "x.wav"}, {"check", "--quick", "x"},
                                             {"plot"}, {"plot", "a.wav", "b.wav"}, {"plot", "a.wav", "-o"}}) {
    const CommandResult result = run_bank(args);
    EXPECT_EQ(result.exit_code, 2) << args[0];
    EXPECT_EQ(result.output, "") << args[0];  // the reason goes to standard error
  }
}

TEST(BankCheck, FindsPlantedProblemsAndFixesThem) {
  ScratchDir dir;
  for (const char* name : {"fine", "missing", "stale", "short", "octave"}) {
    write_bank_voice(dir.file(std::string(name) + ".wav"), bank_voice(220.0, 44100, glottal::kVowelA, 0.6));
  }
  ASSERT_EQ(run_bank({"analyse", "--method", "accurate", dir.path}).exit_code, 0);
  fs::remove(side_file_name(dir.file("missing.wav"), ".frq"));
  make_stale(dir.file("stale.wav"));
  FrequencyList list = *read_frq(dir.file("short.wav"));
  ASSERT_TRUE(write_frq(dir.file("short.wav"), list.freq.data(), list.amp.data(), list.length - 10, list.freq_avg));
  list = *read_frq(dir.file("octave.wav"));
  for (int i = 40; i < 50; ++i) list.freq[i] *= 2.0;
  ASSERT_TRUE(write_frq(dir.file("octave.wav"), list.freq.data(), list.amp.data(), list.length, list.freq_avg));

  const CommandResult check = run_bank({"check", dir.path});
  EXPECT_EQ(check.exit_code, 1);
  const std::string& out = check.output;
  EXPECT_FALSE(contains(out, "fine.wav"));
  EXPECT_TRUE(contains(out, dir.file("missing.wav") + ": no side file\n"));
  EXPECT_TRUE(contains(out, dir.file("stale.wav") + ": side file older than the sound\n"));
  EXPECT_TRUE(contains(out, dir.file("short.wav") + ": side file lists 94 steps, the sound has 104\n"));
  EXPECT_TRUE(contains(out, dir.file("octave.wav") + ": octave jump and back at 0.23 s\n"));
  EXPECT_TRUE(contains(out, "checked 5 samples: 4 with problems\n"));

  const CommandResult fix = run_bank({"check", "--fix", dir.path});
  EXPECT_TRUE(contains(fix.output, "fixed 4 of 4 samples by the accurate analysis\n"));
  const CommandResult after = run_bank({"check", dir.path});
  EXPECT_EQ(after.exit_code, 0) << after.output;
  EXPECT_EQ(after.output, "checked 5 samples: 0 with problems\n");
}

TEST(BankCheck, AListFarFromTheAccurateAnalysisAndAnUnvoicedSample) {
  ScratchDir dir;
  write_bank_voice(dir.file("fifth.wav"), bank_voice(220.0, 44100, glottal::kVowelA, 0.6));
  write_file_bytes(dir.file("quiet.wav"), wav16(std::vector<int16_t>(44100, 0), 1, 44100));
  ASSERT_EQ(run_bank({"analyse", dir.path}).exit_code, 0);
  FrequencyList list = *read_frq(dir.file("fifth.wav"));
  for (int i = 0; i < list.length; ++i) {
    if (list.freq[i] != UNVOICED_HZ) list.freq[i] *= 1.5;  // 702 cents off throughout
  }
  ASSERT_TRUE(write_frq(dir.file("fifth.wav"), list.freq.data(), list.amp.data(), list.length, list.freq_avg));
  const CommandResult check = run_bank({"check", dir.path});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_TRUE(contains(check.output, dir.file("fifth.wav") + ": more than 300 cents from the accurate analysis on 100.0 % of voiced steps\n"))
      << check.output;
  EXPECT_TRUE(contains(check.output, dir.file("quiet.wav") + ": almost all unvoiced (0.0 % of steps voiced)\n"))
      << check.output;
}

TEST(BankPlot, DrawsBesideTheSampleOrWhereAsked) {
  ScratchDir dir;
  write_bank_voice(dir.file("v.wav"), bank_voice(220.0, 44100, glottal::kVowelA, 0.5));
  EXPECT_EQ(run_bank({"plot", dir.file("v.wav")}).exit_code, 1);  // no side file yet
  EXPECT_FALSE(file_exists(dir.file("v_wav.png")));
  ASSERT_EQ(run_bank({"analyse", dir.file("v.wav")}).exit_code, 0);
  const CommandResult plot = run_bank({"plot", dir.file("v.wav")});
  EXPECT_EQ(plot.exit_code, 0);
  EXPECT_EQ(plot.output, dir.file("v_wav.png") + "\n");
  EXPECT_EQ(read_file_bytes(dir.file("v_wav.png")).substr(1, 3), "PNG");
  const CommandResult svg = run_bank({"plot", dir.file("v.wav"), "--compare", "-o", dir.file("v.svg")});
  EXPECT_EQ(svg.exit_code, 0);
  EXPECT_TRUE(contains(read_file_bytes(dir.file("v.svg")), "<svg"));
  EXPECT_EQ(run_bank({"plot", dir.file("v.wav"), "-o", dir.file("no/such/folder/v.png")}).exit_code, 1);
}

}  // namespace
}  // namespace quillet
