// Runs as a host starts them: many at once on one sample, killed at random
// moments, or writing into a folder whose disk or file-size limit is too
// small. Checks the number of analyses, what is left in the folder and that
// every file in it is the old one or a complete new one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/console.h"
#include "support/process.h"
#include "support/synthetic_voice.h"
#include "support/wav_builder.h"

namespace quillet {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

const std::string kWriteError = "file write error.\n";

std::string voice_bytes(double seconds) {
  return wav16(synthetic_voice({.seconds = seconds}), 1, 44100);
}

// A folder holding the sample voice.wav.
struct SampleFolder {
  explicit SampleFolder(const std::string& voice) { write_file_bytes(sample, voice); }
  ScratchDir dir;
  std::string sample = dir.file("voice.wav");
  std::string side_file = dir.file("voice_wav.frq");
};

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The console from the timing lines on, with the folder's path taken out.
std::string console_after_analysis(const std::string& console, const std::string& folder) {
  std::string rest = console.substr(std::min(console.find("fixed:"), console.size()));
  for (std::size_t at = rest.find(folder); at != std::string::npos; at = rest.find(folder))
    rest.replace(at, folder.size(), "<folder>");
  return rest;
}

TEST(ParallelRunsTest, EightRunsAtOnceAnalyseOnceAndMatchSerialRenders) {
  const std::string voice = voice_bytes(3.0);
  const std::vector<std::string> pitches = {"A4", "C4", "E4", "G3", "100", "120", "n300", "B3"};
  const int runs = static_cast<int>(pitches.size());
  auto args_of = [&](const SampleFolder& folder, int i) {
    return std::vector<std::string>{folder.sample, folder.dir.file("out" + std::to_string(i) + ".wav"),
                                    pitches[i], "100", "B50"};
  };

  SampleFolder serial(voice);
  std::vector<CommandResult> serial_results;
  for (int i = 0; i < runs; ++i) serial_results.push_back(run_quillet_binary(args_of(serial, i)));

  SampleFolder parallel(voice);
  std::vector<CommandResult> results(runs);
  std::vector<std::thread> starters;
  for (int i = 0; i < runs; ++i)
    starters.emplace_back([&, i] { results[i] = run_quillet_binary(args_of(parallel, i)); });
  for (std::thread& starter : starters) starter.join();

  int analyses = 0;
  for (int i = 0; i < runs; ++i) {
    SCOPED_TRACE("note " + pitches[i]);
    ASSERT_EQ(serial_results[i].exit_code, 0);
    ASSERT_EQ(results[i].exit_code, 0);
    analyses += count_of(results[i].output, kAnalysing);
    // A run that waited prints what a run reading the side file prints.
    const std::string before_timing = results[i].output.substr(0, results[i].output.find("fixed:"));
    EXPECT_TRUE(before_timing.empty() || before_timing.rfind(kAnalysing, 0) == 0);
    EXPECT_EQ(console_after_analysis(results[i].output, parallel.dir.path),
              console_after_analysis(serial_results[i].output, serial.dir.path));
    EXPECT_EQ(read_file_bytes(args_of(parallel, i)[1]), read_file_bytes(args_of(serial, i)[1]));
  }
  EXPECT_EQ(analyses, 1);
  EXPECT_EQ(count_of(serial_results[0].output, kAnalysing), 1);
  EXPECT_EQ(read_file_bytes(parallel.side_file), read_file_bytes(serial.side_file));
  EXPECT_EQ(list_folder(parallel.dir.path), list_folder(serial.dir.path));
}

// Kill delays spread over a whole analysing run, half of them over its later
// part (side-file and output writes); each attempt uses one of two notes, so
// a complete output is one of two known files.
TEST(ParallelRunsTest, KilledRunsLeaveNoStrayFileAndOnlyOldOrCompleteFiles) {
  const std::string voice = voice_bytes(0.6);
  SampleFolder reference(voice);
  const std::vector<std::string> pitches = {"A4", "D4"};
  std::vector<std::string> outputs;
  const Clock::time_point start = Clock::now();
  for (const std::string& pitch : pitches) {
    const std::string out = reference.dir.file("out" + pitch + ".wav");
    ASSERT_EQ(run_quillet_binary({reference.sample, out, pitch, "100", "B50"}).exit_code, 0);
    outputs.push_back(read_file_bytes(out));
  }
  const std::string side_file = read_file_bytes(reference.side_file);
  ASSERT_FALSE(side_file.empty());
  const double run_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count() / 2.0;

  SampleFolder folder(voice);
  const std::string out = folder.dir.file("out.wav");
  std::mt19937 random(12);
  // Every other kill aims at the late part of a run, where the files are written.
  std::uniform_real_distribution<double> any_moment(0.0, run_ms * 1.2);
  std::uniform_real_distribution<double> late_moment(run_ms * 0.5, run_ms * 1.1);
  int kills = 0;
  int killed_without_side_file = 0;
  for (int attempt = 0; attempt < 140 && kills < 55; ++attempt) {
    const bool fresh = attempt % 3 != 0;  // two runs in three must analyse
    if (fresh) unlink(folder.side_file.c_str());
    const pid_t pid = start_program(QUILLET_BINARY, {folder.sample, out, pitches[attempt % 2], "100", "B50"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(
        attempt % 2 == 0 ? any_moment(random) : late_moment(random)));
    kill(pid, SIGKILL);
    if (wait_program(pid) == -1) {
      ++kills;
      if (fresh) ++killed_without_side_file;
    }
    const std::vector<std::string> names = list_folder(folder.dir.path);
    for (const std::string& name : names)
      EXPECT_TRUE(name == "voice.wav" || name == "voice_wav.frq" || name == "out.wav") << "stray " << name;
    if (file_exists(folder.side_file)) {
      EXPECT_EQ(read_file_bytes(folder.side_file), side_file);
    }
    if (file_exists(out)) {
      const std::string written = read_file_bytes(out);
      EXPECT_TRUE(written == outputs[0] || written == outputs[1]) << "torn output, " << written.size() << " bytes";
    }
    if (HasFailure()) break;
  }
  EXPECT_GE(kills, 50);
  EXPECT_GE(killed_without_side_file, 25);
  EXPECT_EQ(read_file_bytes(folder.sample), voice);
}

// Renders into a folder whose output already exists, in a child whose files
// may not grow beyond limit bytes.
CommandResult run_with_size_limit(const SampleFolder& folder, const std::string& out, rlim_t limit) {
  return run_program(QUILLET_BINARY, {folder.sample, out, "A4", "100", "B50"}, [limit] {
    const rlimit size_limit{limit, limit};
    setrlimit(RLIMIT_FSIZE, &size_limit);
  });
}

TEST(ParallelRunsTest, FileSizeLimitGivesWriteErrorAndKeepsTheOldOutput) {
  SampleFolder folder(voice_bytes(1.0));
  const std::string out = folder.dir.file("out.wav");
  write_file_bytes(out, "old output");

  // The side file is written, the output is too large.
  const CommandResult first = run_with_size_limit(folder, out, 20000);
  EXPECT_EQ(first.exit_code, 255);
  EXPECT_EQ(count_of(first.output, kAnalysing), 1);
  EXPECT_NE(first.output.find(kWriteError), std::string::npos) << first.output;
  EXPECT_EQ(read_file_bytes(out), "old output");
  EXPECT_EQ(list_folder(folder.dir.path), (std::vector<std::string>{"out.wav", "voice.wav", "voice_wav.frq"}));

  // Neither fits: the side file is left out, the run still ends with the write error.
  unlink(folder.side_file.c_str());
  const CommandResult second = run_with_size_limit(folder, out, 1000);
  EXPECT_EQ(second.exit_code, 255);
  EXPECT_EQ(count_of(second.output, kAnalysing), 1);
  EXPECT_NE(second.output.find(kWriteError), std::string::npos);
  EXPECT_EQ(read_file_bytes(out), "old output");
  EXPECT_EQ(list_folder(folder.dir.path), (std::vector<std::string>{"out.wav", "voice.wav"}));
}

// Under an address-space limit a run either renders the note whole or ends
// with "out of memory.", status 255 and the old output in place; it is never
// killed by a signal (a helper thread that ran out of memory used to abort
// the process). Large enough a limit renders, two threads and all.
TEST(ParallelRunsTest, AddressSpaceLimitGivesOutOfMemoryOrTheWholeNote) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than any limit tried";
#endif
  SampleFolder folder(voice_bytes(1.0));
  const std::string out = folder.dir.file("out.wav");
  const std::vector<std::string> args = {folder.sample, out, "A4", "100", "B50", "0", "3000", "100"};
  ASSERT_EQ(run_program(QUILLET_BINARY, args).exit_code, 0);  // the side file, and the note to expect
  const std::string whole = read_file_bytes(out);
  // Fine steps: where an allocation fails shifts with every step, and a
  // failure on the wrong thread shows only in a narrow window.
  int rendered = 0;
  for (rlim_t kib = 6 << 10; kib <= 20 << 10; kib += 256) {
    write_file_bytes(out, "old output");
    const rlim_t limit = kib << 10;
    const CommandResult run = run_program(QUILLET_BINARY, args, [limit] {
      const rlimit space{limit, limit};
      setrlimit(RLIMIT_AS, &space);
    });
    if (run.exit_code == 0) {
      ++rendered;
      EXPECT_EQ(read_file_bytes(out), whole) << kib << " KiB";
    } else {
      EXPECT_EQ(run.exit_code, 255) << kib << " KiB";
      EXPECT_NE(run.output.find("out of memory.\n"), std::string::npos) << kib << " KiB: " << run.output;
      EXPECT_EQ(read_file_bytes(out), "old output") << kib << " KiB";
    }
  }
  EXPECT_GT(rendered, 0);
}

// A full disk: a small file system mounted in a user and mount namespace of
// its own, holding the sample and an old output. What the run left is listed
// from inside, as the file system goes away with the namespace.
TEST(ParallelRunsTest, FullDiskGivesWriteErrorAndKeepsTheOldOutput) {
  const std::string unshare = "/usr/bin/unshare";
  if (access(unshare.c_str(), X_OK) != 0 || run_program(unshare, {"-r", "-m", "true"}).exit_code != 0)
    GTEST_SKIP() << "no user and mount namespaces here";
  SampleFolder source(voice_bytes(1.0));
  const std::string disk = source.dir.file("disk");
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  const std::string script =
      "set -e; mount -t tmpfs -o size=128k tmpfs \"$1\"; cp \"$2\" \"$1/voice.wav\";"
      " printf 'old output' > \"$1/out.wav\"; set +e;"
      " \"$3\" \"$1/voice.wav\" \"$1/out.wav\" A4 100 B50; echo \"status=$?\";"
      " echo \"old=$(cat \"$1/out.wav\")\"; echo \"files=$(ls \"$1\" | tr '\\n' ' ')\"";
  const CommandResult run =
      run_program(unshare, {"-r", "-m", "sh", "-c", script, "sh", disk, source.sample, QUILLET_BINARY});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(count_of(run.output, kAnalysing), 1);
  EXPECT_NE(run.output.find(kWriteError + "status=255\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("old=old output\n"), std::string::npos);
  EXPECT_NE(run.output.find("files=out.wav voice.wav voice_wav.frq \n"), std::string::npos) << run.output;
}

TEST(ParallelRunsTest, SideFileThatCannotBeWrittenIsIgnored) {
  const std::string voice = voice_bytes(1.0);
  SampleFolder reference(voice);
  const std::string expected = reference.dir.file("out.wav");
  ASSERT_EQ(run_quillet_binary({reference.sample, expected, "A4", "100", "B50"}).exit_code, 0);

  // A folder in the side file's place: nothing can be renamed over it.
  SampleFolder folder(voice);
  ASSERT_EQ(mkdir(folder.side_file.c_str(), 0755), 0);
  write_file_bytes(folder.side_file + "/kept", "kept");
  const std::string out = folder.dir.file("out.wav");
  const CommandResult run = run_quillet_binary({folder.sample, out, "A4", "100", "B50"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(count_of(run.output, kAnalysing), 1);
  EXPECT_EQ(read_file_bytes(out), read_file_bytes(expected));
  EXPECT_EQ(read_file_bytes(folder.side_file + "/kept"), "kept");
  EXPECT_EQ(list_folder(folder.dir.path), (std::vector<std::string>{"out.wav", "voice.wav", "voice_wav.frq"}));
}

}  // namespace
}  // namespace quillet
