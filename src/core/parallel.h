// Work shared with helper threads where no sum changes its order: the
// starting of helper threads (on another processor than their creator's,
// with a small stack, falling back to no helper when the system has none
// to give); a run of items cut in two parts, the cut settled as the two
// threads run (SplitBoundary); and small jobs split in two halves done side
// by side (SplitHelper). Each item or half is made by one call into memory
// of its own, so what it holds never depends on which thread made it or
// when; what a helper's work throws is thrown again on the thread that
// waits for it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace quillet {

// A helper thread, joined when it goes (or when it is moved onto).
class HelperThread {
 public:
  HelperThread() = default;
  HelperThread(HelperThread&& other) noexcept;
  HelperThread& operator=(HelperThread&& other) noexcept;
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread() { join(); }

  bool joinable() const { return running_; }
  void join();
  // Lets the thread run on and end by itself; it must touch nothing of the
  // caller's from then on.
  void detach();

 private:
  friend bool launch_thread(HelperThread& thread, std::unique_ptr<std::function<void()>> work);
  pthread_t handle_{};
  bool running_ = false;
};

// Starts thread on work, with a small stack
// and on another processor than the caller's when it may run elsewhere:
// a new thread queued behind its creator waits for the creator's next
// timer tick, up to 4 ms, while another processor idles. Once running it
// may run on every processor it was allowed. False, with work dropped and
// thread left empty, when the system has no thread to give.
bool launch_thread(HelperThread& thread, std::unique_ptr<std::function<void()>> work);

// start_thread for any callable: false, with thread left empty, when the
// system has no thread or no memory to give (the caller then does the work
// itself).
template <typename Work>
bool start_thread(HelperThread& thread, Work&& work) {
  std::unique_ptr<std::function<void()>> owned;
  try {
    owned = std::make_unique<std::function<void()>>(std::forward<Work>(work));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return launch_thread(thread, std::move(owned));
}

// A part of the work handed to a helper thread that the poster takes back
// when the helper has not begun it by the time the poster is through with
// its own part: a helper whose processor is busy elsewhere (other renders
// running at once) may start milliseconds late, and nobody waits for that.
// The helper does the work only after winning it from the poster, so a
// helper that starts after the poster took the work back (and went on)
// touches nothing of the poster's. The poster waits for the work, not for
// the thread: what the work owns (its captures) goes with the thread once
// it is done.
class WithdrawableHelper {
 public:
  WithdrawableHelper() = default;
  WithdrawableHelper(const WithdrawableHelper&) = delete;
  WithdrawableHelper& operator=(const WithdrawableHelper&) = delete;
  ~WithdrawableHelper() { finish(); }

  // Starts a helper on work; false, with nothing started, when the system
  // has no thread or no memory to give.
  template <typename Work>
  bool start(Work&& work) {
    try {
      ticket_ = std::make_shared<Ticket>();
      ticket_->work = std::forward<Work>(work);
    } catch (const std::bad_alloc&) {
      ticket_.reset();
      return false;
    }
    return launch();
  }

  // Takes the work back if the helper has not begun it, else waits until
  // the helper is through with it; true when the helper did it.
  bool finish();

 private:
  static constexpr int WAITING = 0;
  static constexpr int TAKEN = 1;
  static constexpr int WITHDRAWN = 2;
  static constexpr int DONE = 3;
  struct Ticket {
    std::atomic<int> state{WAITING};
    std::function<void()> work;
  };
  bool launch();
  std::shared_ptr<Ticket> ticket_;
  HelperThread thread_;
};

// Threads that may share one run's work: 2 when the processor has two cores
// or more, else 1.
inline int worker_threads() { return std::thread::hardware_concurrency() >= 2 ? 2 : 1; }

// One pause of a spin-wait loop.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins until value no longer holds seen, for at most SPIN_LIMIT; true when
// it changed. A thread that expects work again soon spins before it sleeps:
// waking a thread whose processor has gone idle costs a tenth of a
// millisecond and more in a virtual machine.
inline constexpr std::chrono::microseconds SPIN_LIMIT{200};

template <typename T>
bool spin_while_unchanged(const std::atomic<T>& value, T seen) {
  const auto until = std::chrono::steady_clock::now() + SPIN_LIMIT;
  while (value.load() == seen) {
    for (int i = 0; i < 16; ++i) spin_pause();
    if (std::chrono::steady_clock::now() >= until) return value.load() != seen;
  }
  return true;
}

// Where a second thread's part of items begins once the first has claimed
// the items before claimed: at (end + claimed) x numerator / denominator.
struct LaterShare {
  int numerator = 1;
  int denominator = 2;
};

int later_start(int claimed, int end, LaterShare share);

// The boundary between two threads' parts of items 0 .. end - 1. The first
// thread claims its items a run at a time from 0 on; the second, once it
// runs, sets the boundary at later_start beyond what the first has claimed,
// or at a fixed split. However late the second thread starts, every item
// falls to exactly one of them.
class SplitBoundary {
 public:
  // fixed_split: where the second part starts, or a negative number to
  // settle that as the threads run.
  SplitBoundary(int end, int fixed_split, int claim_run, LaterShare share)
      : end_(end), fixed_split_(fixed_split), claim_run_(claim_run < 1 ? 1 : claim_run), share_(share),
        boundary_(end) {}

  // First thread: the end of its next run from n on, n when its part is done.
  int claim(int n);

  // Second thread: where its part starts (end: nothing is left for it).
  int take();

  // Second thread, for a part whose start it reaches by walking the items
  // before it: settles the boundary at n when n is where the part may start
  // now (the fixed split; or at least later_start beyond what the first has
  // claimed; or the end), and at the end at once when the first has claimed
  // every item. Otherwise leaves it unsettled and tells where the part may
  // start as things stand (always beyond n): the walker asks again on its way.
  struct Offer {
    bool settled = false;
    int next = 0;  // settled: where the part starts (n or the end); else where it may
  };
  Offer offer(int n);

  // There is no second thread: the first does every item.
  void go_alone();

  // Where the claiming thread stands: the items it has claimed, and the
  // boundary its part ends at.
  struct Progress {
    int claimed = 0;
    int boundary = 0;
  };
  Progress progress();

  // The other thread, through with its own part while the claiming one is
  // not: takes the claiming thread's items from at on, when it has not
  // claimed at yet and at lies below the boundary (a fixed split only fixes
  // where the second's first part starts); at becomes the boundary. Returns
  // the boundary it replaced (the items at .. that - 1 are the taker's now),
  // or -1 when nothing was taken.
  int take_back(int at);

 private:
  std::mutex mutex_;
  const int end_;
  int fixed_split_;
  const int claim_run_;
  const LaterShare share_;
  int boundary_;
  int claimed_ = 0;
};

// Something one thread makes ready for another, or gives up on: the other
// waits for either outcome, spinning a short while before it sleeps.
class ReadyLatch {
 public:
  // ready: made; false: given up. Only the first call counts.
  void settle(bool ready) {
    int pending = PENDING;
    if (state_.compare_exchange_strong(pending, ready ? READY : ABANDONED)) state_.notify_all();
  }

  // Waits for settle; true when it was made ready.
  bool wait() const {
    if (!spin_while_unchanged(state_, PENDING)) state_.wait(PENDING);
    return state_.load() == READY;
  }

 private:
  static constexpr int PENDING = 0;
  static constexpr int READY = 1;
  static constexpr int ABANDONED = 2;
  std::atomic<int> state_{PENDING};
};

// A helper thread for a run of small jobs that each split in two halves:
// the caller posts a job and does its second half while the helper does the
// first. Between jobs the helper spins a short while before it sleeps, so a
// job posted soon after the last one starts at once; a first half that the
// helper has not begun when the caller is through with the second is done
// by the caller itself, so a sleeping helper never holds a job up.
class SplitHelper {
 public:
  using Half = std::function<void(int)>;

  // threads < 2 (or no thread to be had): no helper, run does both halves.
  explicit SplitHelper(int threads) {
    if (threads >= 2) start_thread(helper_, [this] { serve(); });
  }

  SplitHelper(const SplitHelper&) = delete;
  SplitHelper& operator=(const SplitHelper&) = delete;

  ~SplitHelper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_.store(true);
    }
    wake_.notify_all();
  }

  // Runs half(0) and half(1), the first on the helper when it gets to it in
  // time; returns when both are done, throwing what either threw.
  void run(const Half& half) {
    if (!helper_.joinable()) {
      half(0);
      half(1);
      return;
    }
    const int job = posted_.load() + 1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      half_ = &half;
      posted_.store(job);
    }
    wake_.notify_one();
    std::exception_ptr failure;
    try {
      half(1);
    } catch (...) {
      failure = std::current_exception();
    }
    int unclaimed = job - 1;
    if (claimed_.compare_exchange_strong(unclaimed, job)) {
      if (!failure) half(0);
    } else {
      while (finished_.load() < job) spin_pause();  // the helper still reads half
      if (!failure) failure = helper_failure_;
      helper_failure_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
  }

 private:
  void serve() {
    int seen = 0;
    while (true) {
      spin_while_unchanged(posted_, seen);
      const Half* half = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return posted_.load() != seen || stop_.load(); });
        if (posted_.load() == seen) return;  // stopped with nothing posted
        seen = posted_.load();
        half = half_;
      }
      int unclaimed = seen - 1;
      if (claimed_.compare_exchange_strong(unclaimed, seen)) {
        try {
          (*half)(0);
        } catch (...) {
          helper_failure_ = std::current_exception();  // thrown again by run
        }
        finished_.store(seen);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  const Half* half_ = nullptr;     // the job last posted
  std::atomic<int> posted_{0};     // jobs posted so far
  std::atomic<int> claimed_{0};    // the last job whose first half has been claimed
  std::atomic<int> finished_{0};   // the last job whose first half the helper finished
  std::exception_ptr helper_failure_;  // what the helper's first half threw
  std::atomic<bool> stop_{false};
  HelperThread helper_;  // last: started after, and joined before, everything above
};

}  // namespace quillet
