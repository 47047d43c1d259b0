// Work shared with a second thread where no sum changes its order: items
// that a consumer takes one by one in rising order, made ahead of it by a
// helper thread while the consumer does its own part. Each item is made by
// one call into a slot of its own, so what it holds never depends on which
// thread made it or when.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quillet {

// Starts thread on work; false, with thread left empty, when the system has
// no thread to give (the caller then does the work itself).
template <typename Work>
bool start_thread(std::jthread& thread, Work&& work) {
  try {
    thread = std::jthread(std::forward<Work>(work));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

// Threads that may share one run's work: 2 when the processor has two cores
// or more, else 1.
inline int worker_threads() { return std::thread::hardware_concurrency() >= 2 ? 2 : 1; }

// Items 0 .. count - 1, made by make(index, slot) and handed out by take in
// rising index order. With threads >= 2 a helper thread makes items up to
// ahead - 1 beyond the one last taken; the taking thread makes the next
// unclaimed item itself rather than wait idle. With threads 1 every item is
// made inside take. A slot stays valid until the next take.
template <typename Slot>
class MadeAhead {
 public:
  using Make = std::function<void(int, Slot&)>;

  MadeAhead(int count, int ahead, int threads, Make make)
      : count_(count), ahead_(ahead < 1 ? 1 : ahead), make_(std::move(make)),
        slots_(static_cast<std::size_t>(ahead_)), made_(static_cast<std::size_t>(ahead_), -1) {
    if (threads >= 2 && count_ > 1) start_thread(helper_, [this] { help(); });
  }

  MadeAhead(const MadeAhead&) = delete;
  MadeAhead& operator=(const MadeAhead&) = delete;

  ~MadeAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
  }

  // Item index, made by now; index is the last one taken plus one (0 first).
  const Slot& take(int index) {
    std::unique_lock<std::mutex> lock(mutex_);
    released_ = index;  // the slot of the item taken before is free again
    changed_.notify_all();
    while (made_[slot_of(index)] != index) {
      if (claimable()) {
        make_claimed(lock);
      } else {
        changed_.wait(lock);
      }
    }
    return slots_[slot_of(index)];
  }

 private:
  std::size_t slot_of(int index) const { return static_cast<std::size_t>(index % ahead_); }

  bool claimable() const { return next_ < count_ && next_ < released_ + ahead_; }

  // Makes the next unclaimed item with the lock let go meanwhile.
  void make_claimed(std::unique_lock<std::mutex>& lock) {
    const int index = next_++;
    lock.unlock();
    make_(index, slots_[slot_of(index)]);
    lock.lock();
    made_[slot_of(index)] = index;
    changed_.notify_all();
  }

  void help() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return stop_ || next_ >= count_ || claimable(); });
      if (stop_ || next_ >= count_) return;
      make_claimed(lock);
    }
  }

  const int count_;
  const int ahead_;
  const Make make_;
  std::vector<Slot> slots_;
  std::vector<int> made_;  // per slot: the item it holds, -1 for none
  int next_ = 0;           // the first item not claimed yet
  int released_ = 0;       // items before this one are taken and their slots free
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::jthread helper_;  // last: started after, and joined before, everything above
};

}  // namespace quillet
