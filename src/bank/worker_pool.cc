#include "bank/worker_pool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace quillet {
namespace {

constexpr size_t kMaxText = 4000;  // below a pipe's atomic write size

struct Worker {
  int index = 0;
  int pipe_read = -1;
};

void send_and_exit(int pipe_write, const JobOutcome& outcome) {
  std::string message = std::to_string(outcome.status) + "\n" + outcome.text.substr(0, kMaxText);
  size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = write(pipe_write, message.data() + sent, message.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::fflush(nullptr);
  _exit(0);
}

std::string read_all(int fd) {
  std::string bytes;
  char buffer[1024];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

JobOutcome outcome_of(const std::string& message, int wait_status) {
  const size_t line_end = message.find('\n');
  if (line_end == std::string::npos) {
    std::string why = WIFSIGNALED(wait_status)
                          ? std::string("analysis crashed (") + strsignal(WTERMSIG(wait_status)) + ")"
                          : "analysis ended without a result";
    return {-1, why};
  }
  return {std::atoi(message.substr(0, line_end).c_str()), message.substr(line_end + 1)};
}

// Starts job(index) in a child; false when no child could be made.
bool start_worker(int index, const Job& job, std::map<pid_t, Worker>& running) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    close(ends[0]);
    send_and_exit(ends[1], job(index));
  }
  close(ends[1]);
  running[pid] = {index, ends[0]};
  return true;
}

void finish_one(std::map<pid_t, Worker>& running, const JobDone& done) {
  int wait_status = 0;
  pid_t pid;
  do {
    pid = waitpid(-1, &wait_status, 0);
  } while (pid < 0 && errno == EINTR);
  auto found = running.find(pid);
  if (found == running.end()) return;
  const Worker worker = found->second;
  running.erase(found);
  const std::string message = read_all(worker.pipe_read);
  close(worker.pipe_read);
  done(worker.index, outcome_of(message, wait_status));
}

}  // namespace

void run_jobs(int count, int jobs, const Job& job, const JobDone& done) {
  std::map<pid_t, Worker> running;
  if (jobs < 1) jobs = 1;
  for (int index = 0; index < count; ++index) {
    while (static_cast<int>(running.size()) >= jobs) finish_one(running, done);
    if (!start_worker(index, job, running)) done(index, job(index));
  }
  while (!running.empty()) finish_one(running, done);
}

int machine_cores() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

}  // namespace quillet
