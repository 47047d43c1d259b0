#include "core/parallel.h"

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

namespace quillet {

namespace {

// Helper threads keep their buffers on the heap and need little stack; a
// small reservation lets a process under an address-space limit
// (ulimit -v) still start them.
constexpr std::size_t HELPER_STACK_BYTES = std::size_t{2} << 20;

// What a new thread is handed: its work, and the processors it may run on
// once it runs (it starts on a narrower set).
struct ThreadStart {
  std::unique_ptr<std::function<void()>> work;
  cpu_set_t allowed;
  bool narrowed = false;
};

void* run_thread(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  if (start->narrowed) sched_setaffinity(0, sizeof start->allowed, &start->allowed);
  (*start->work)();
  return nullptr;
}

// The processors allowed to the caller except the one it runs on; false
// when there are none (or they cannot be told).
bool other_processors(const cpu_set_t& allowed, cpu_set_t& others) {
  const int here = sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE) return false;
  others = allowed;
  CPU_CLR(here, &others);
  return CPU_COUNT(&others) > 0;
}

// pthread_create with a small stack, and with the start set when given.
bool create_thread(pthread_t& handle, ThreadStart* start, const cpu_set_t* start_set) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  bool ok = pthread_attr_setstacksize(&attr, HELPER_STACK_BYTES) == 0;
  if (ok && start_set != nullptr) ok = pthread_attr_setaffinity_np(&attr, sizeof *start_set, start_set) == 0;
  ok = ok && pthread_create(&handle, &attr, run_thread, start) == 0;
  pthread_attr_destroy(&attr);
  return ok;
}

}  // namespace

HelperThread::HelperThread(HelperThread&& other) noexcept
    : handle_(other.handle_), running_(std::exchange(other.running_, false)) {}

HelperThread& HelperThread::operator=(HelperThread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = other.handle_;
    running_ = std::exchange(other.running_, false);
  }
  return *this;
}

void HelperThread::join() {
  if (!running_) return;
  pthread_join(handle_, nullptr);
  running_ = false;
}

void HelperThread::detach() {
  if (!running_) return;
  pthread_detach(handle_);
  running_ = false;
}

bool WithdrawableHelper::launch() {
  std::shared_ptr<Ticket> ticket = ticket_;
  const bool started = start_thread(thread_, [ticket] {
    int waiting = WAITING;
    if (!ticket->state.compare_exchange_strong(waiting, TAKEN)) return;
    ticket->work();
    ticket->state.store(DONE);
    ticket->state.notify_all();
  });
  if (!started) ticket_.reset();
  return started;
}

bool WithdrawableHelper::finish() {
  if (!ticket_) return false;
  int waiting = WAITING;
  const bool withdrawn = ticket_->state.compare_exchange_strong(waiting, WITHDRAWN);
  if (!withdrawn) {
    if (!spin_while_unchanged(ticket_->state, TAKEN)) ticket_->state.wait(TAKEN);
  }
  thread_.detach();
  ticket_.reset();
  return !withdrawn;
}

bool launch_thread(HelperThread& thread, std::unique_ptr<std::function<void()>> work) {
  thread.join();
  ThreadStart* start = new (std::nothrow) ThreadStart{};
  if (start == nullptr) return false;
  start->work = std::move(work);
  cpu_set_t others;
  const bool have_others = sched_getaffinity(0, sizeof start->allowed, &start->allowed) == 0 &&
                           other_processors(start->allowed, others);
  start->narrowed = have_others;
  bool started = create_thread(thread.handle_, start, have_others ? &others : nullptr);
  if (!started && have_others) {
    start->narrowed = false;  // the start set refused: start it anywhere
    started = create_thread(thread.handle_, start, nullptr);
  }
  if (!started) {
    delete start;
    return false;
  }
  thread.running_ = true;
  return true;
}

int later_start(int claimed, int end, LaterShare share) {
  const int64_t scaled = (static_cast<int64_t>(end) + claimed) * share.numerator;
  return share.denominator > 0 ? static_cast<int>(scaled / share.denominator) : end;
}

int SplitBoundary::claim(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  int run_end = std::min(n + claim_run_, boundary_);
  if (fixed_split_ >= 0) run_end = std::min(run_end, fixed_split_);
  claimed_ = std::max(n, run_end);
  return claimed_;
}

int SplitBoundary::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int start = fixed_split_ >= 0 ? fixed_split_ : later_start(claimed_, end_, share_);
  boundary_ = std::clamp(start, claimed_, end_);
  return boundary_;
}

SplitBoundary::Offer SplitBoundary::offer(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (claimed_ >= end_) return Offer{true, end_};
  int start = fixed_split_ >= 0 ? fixed_split_ : std::max(later_start(claimed_, end_, share_), claimed_);
  start = std::min(start, end_);
  if (n >= start) {
    boundary_ = n;  // never below claimed_: start is not
    return Offer{true, n};
  }
  return Offer{false, start};
}

void SplitBoundary::go_alone() {
  std::lock_guard<std::mutex> lock(mutex_);
  fixed_split_ = -1;
  boundary_ = end_;
}

SplitBoundary::Progress SplitBoundary::progress() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Progress{claimed_, boundary_};
}

int SplitBoundary::take_back(int at) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (at < claimed_ || at >= boundary_) return -1;
  const int replaced = boundary_;
  boundary_ = at;
  return replaced;
}

}  // namespace quillet
