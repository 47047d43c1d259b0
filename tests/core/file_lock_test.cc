// The advisory lock on a file: it keeps a second taker out until released,
// a wait is bounded, a holder that dies releases it, files without locks are
// reported, and the folder holds nothing new.
#include "core/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace quillet {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

constexpr LockWait kShortWait{2, 50, 150};

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct LockedFile {
  LockedFile() { write_file_bytes(path, "sound"); }
  ScratchDir dir;
  std::string path = dir.file("voice.wav");
};

TEST(FileLockTest, SecondTakerTimesOutWhileHeldAndGetsItOnceReleased) {
  LockedFile file;
  FileLock first = lock_file_exclusive(file.path, kShortWait);
  ASSERT_EQ(first.state, LockState::held);
  const Clock::time_point start = Clock::now();
  FileLock second = lock_file_exclusive(file.path, kShortWait);
  EXPECT_EQ(second.state, LockState::timed_out);
  EXPECT_GE(elapsed_ms(start), kShortWait.limit_ms);
  EXPECT_LT(elapsed_ms(start), 5000);
  EXPECT_LT(second.fd, 0);
  first = FileLock();  // released
  EXPECT_EQ(lock_file_exclusive(file.path, kShortWait).state, LockState::held);
  EXPECT_EQ(list_folder(file.dir.path), std::vector<std::string>{"voice.wav"});
  EXPECT_EQ(read_file_bytes(file.path), "sound");
}

TEST(FileLockTest, WaiterGetsTheLockWhenTheHolderReleasesItDuringTheWait) {
  LockedFile file;
  FileLock first = lock_file_exclusive(file.path, kShortWait);
  ASSERT_EQ(first.state, LockState::held);
  std::thread releaser([&first] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first = FileLock();
  });
  const Clock::time_point start = Clock::now();
  const FileLock second = lock_file_exclusive(file.path, LockWait{2, 50, 10000});
  releaser.join();
  EXPECT_EQ(second.state, LockState::held);
  EXPECT_GE(elapsed_ms(start), 90);
  EXPECT_LT(elapsed_ms(start), 5000);
}

TEST(FileLockTest, HolderThatIsKilledReleasesTheLock) {
  LockedFile file;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const FileLock lock = lock_file_exclusive(file.path, kShortWait);
    const char state = lock.state == LockState::held ? 'h' : 'x';
    if (write(ready[1], &state, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char state = 0;
  ASSERT_EQ(read(ready[0], &state, 1), 1);
  close(ready[0]);
  ASSERT_EQ(state, 'h');
  EXPECT_EQ(lock_file_exclusive(file.path, kShortWait).state, LockState::timed_out);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(lock_file_exclusive(file.path, kShortWait).state, LockState::held);
}

TEST(FileLockTest, MissingFileAndNonRegularFilesAreUnavailableWithoutWaiting) {
  ScratchDir dir;
  const std::string fifo = dir.file("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lock_file_exclusive(dir.file("absent.wav")).state, LockState::unavailable);
  EXPECT_EQ(lock_file_exclusive(fifo).state, LockState::unavailable);
  EXPECT_EQ(lock_file_exclusive(dir.path).state, LockState::unavailable);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{"fifo.wav"});
}

TEST(FileLockTest, MovedLockKeepsHoldingAndReleasesOnce) {
  LockedFile file;
  FileLock moved;
  {
    FileLock first = lock_file_exclusive(file.path, kShortWait);
    ASSERT_EQ(first.state, LockState::held);
    moved = std::move(first);
  }
  EXPECT_EQ(moved.state, LockState::held);
  EXPECT_EQ(lock_file_exclusive(file.path, kShortWait).state, LockState::timed_out);
  moved = FileLock();
  EXPECT_EQ(lock_file_exclusive(file.path, kShortWait).state, LockState::held);
}

}  // namespace
}  // namespace quillet
