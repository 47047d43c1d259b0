#include "core/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace quillet {

namespace {

// Opens path for locking only when it is a regular file (a FIFO must not
// block the open). Returns the descriptor, or -1.
int open_for_lock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// One attempt: held, busy (another holder) or unavailable.
enum class Attempt { held, busy, unavailable };

Attempt try_lock(int fd) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Attempt::held;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? Attempt::busy : Attempt::unavailable;
  }
}

LockState wait_for_lock(int fd, const LockWait& wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(wait.limit_ms);
  int pause_ms = std::max(wait.first_pause_ms, 1);
  for (;;) {
    const Attempt attempt = try_lock(fd);
    if (attempt == Attempt::held) return LockState::held;
    if (attempt == Attempt::unavailable) return LockState::unavailable;
    if (Clock::now() >= give_up) return LockState::timed_out;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, std::max(wait.longest_pause_ms, 1));
  }
}

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept
    : state(other.state), fd(std::exchange(other.fd, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    state = other.state;
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd >= 0) close(fd);
}

FileLock lock_file_exclusive(const std::string& path, const LockWait& wait) {
  FileLock lock;
  const int fd = open_for_lock(path);
  if (fd < 0) return lock;
  lock.state = wait_for_lock(fd, wait);
  if (lock.state == LockState::held) {
    lock.fd = fd;
  } else {
    close(fd);
  }
  return lock;
}

}  // namespace quillet
