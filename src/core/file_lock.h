// An advisory lock held on an existing file itself (flock), so that runs
// working on the same file take turns without leaving a lock file behind.
// Waiting is polled with a growing pause and bounded; a holder that dies
// releases the lock with its descriptor.
#pragma once

#include <string>

namespace quillet {

enum class LockState {
  held,         // this process holds the lock until the FileLock goes away
  unavailable,  // the file cannot be opened or its file system gives no locks
  timed_out,    // another holder kept it for the whole wait
};

// How long to wait: pauses start at first_pause_ms, double up to
// longest_pause_ms, and the wait gives up after limit_ms.
struct LockWait {
  int first_pause_ms = 2;
  int longest_pause_ms = 50;
  int limit_ms = 60000;
};

// Owns the descriptor the lock is held through; closing it releases the lock.
struct FileLock {
  FileLock() = default;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  LockState state = LockState::unavailable;
  int fd = -1;
};

// Takes an exclusive lock on the regular file at path, waiting as wait says.
// Whatever the state, the caller goes on; only a held lock keeps others out.
FileLock lock_file_exclusive(const std::string& path, const LockWait& wait = {});

}  // namespace quillet
