// Running the built programs from tests, files, and scratch folders that clean up.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quillet::test {

struct CommandResult {
  int exit_code = -1;   // 0..255, or -1 when the program did not exit normally
  std::string output;   // everything written to standard output
};

// Runs program with args (no shell involved); captures standard output.
// in_child, when given, runs in the child just before the program starts
// (to set a resource limit, say).
CommandResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::function<void()>& in_child = {});

// Starts program with args, its standard output discarded, and returns its
// process id (or -1) without waiting for it.
pid_t start_program(const std::string& program, const std::vector<std::string>& args);

// Waits for a started program: its exit status 0..255, or -1 when it did not
// exit normally (killed by a signal, say).
int wait_program(pid_t pid);

// A program built next to the quillet executable ("quillet" itself included).
std::string built_program(const std::string& name);
CommandResult run_quillet_binary(const std::vector<std::string>& args);

// Standard output sent to /dev/null while the object lives (the analysis's
// progress lines would flood a benchmark's report).
struct SilencedStdout {
  SilencedStdout();
  ~SilencedStdout();
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;
  int saved = -1;
};

// A fresh folder under the system temporary folder, removed with its content
// when the object goes away.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file_bytes(const std::string& path);
void write_file_bytes(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
std::vector<std::string> list_folder(const std::string& path);  // sorted names

}  // namespace quillet::test
