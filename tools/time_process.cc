// time_process: runs one program as a child process, with its standard output
// and error sent to /dev/null, and prints the wall time from start to exit in
// seconds and the child's peak resident memory (ru_maxrss, KiB), for the
// side-by-side benchmark.
//
// Usage: time_process [-C folder] program [arguments...]
// Prints "<seconds> <peak KiB> <exit status>"; exits 0 when the child ran.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// In the child: the folder, the quiet console, then the program.
[[noreturn]] void run_child(const char* folder, char** command) {
  if (folder && chdir(folder) != 0) _exit(126);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);
  }
  execv(command[0], command);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const char* folder = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "-C") == 0) {
    folder = argv[2];
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: time_process [-C folder] program [arguments...]\n");
    return 2;
  }
  const double start = now_seconds();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("time_process: fork");
    return 1;
  }
  if (child == 0) run_child(folder, argv + first);
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("time_process: wait4");
    return 1;
  }
  const double seconds = now_seconds() - start;
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, exit_status);
  return exit_status == 127 || exit_status == 126 ? 1 : 0;
}
