#include "core/parallel.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quillet {
namespace {

// The first thread's claims from 0 on, with the second thread taking its
// part after first_claims of them: the items each one gets.
struct Parts {
  int first_end = 0;  // the first thread has 0 .. first_end - 1
  int second_start = 0;  // the second has second_start .. end - 1
};

Parts split_after(int end, int fixed_split, int run, LaterShare share, int first_claims) {
  SplitBoundary boundary(end, fixed_split, run, share);
  int n = 0;
  for (int i = 0; i < first_claims; ++i) n = boundary.claim(n);
  Parts parts;
  parts.second_start = boundary.take();
  for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) n = next;
  parts.first_end = n;
  return parts;
}

// The second part starts at (end + claimed) x share, never inside what the
// first has claimed nor past the end, or at the fixed split; the first
// thread stops right there, so every item falls to exactly one of them.
TEST(SplitBoundary, EveryItemFallsToOnePart) {
  EXPECT_EQ(later_start(20, 100, LaterShare{27, 50}), 64);  // 120 x 27 / 50 = 64.8
  EXPECT_EQ(later_start(0, 100, LaterShare{}), 50);
  struct Case {
    int end, fixed, run, claims, second_start;
  };
  const Case cases[] = {
      {100, -1, 10, 0, 50},   // the second starts first: half of all
      {100, -1, 10, 2, 60},   // 20 claimed: half of the rest beyond them
      {100, -1, 10, 10, 100}, // all claimed: nothing is left for the second
      {100, -1, 64, 1, 82},   // (100 + 64) / 2
      {100, 30, 10, 1, 30},   // a fixed split, whenever the second comes
      {100, 30, 10, 9, 30},
      {0, -1, 10, 1, 0},
  };
  for (const Case& c : cases) {
    const Parts parts = split_after(c.end, c.fixed, c.run, LaterShare{}, c.claims);
    EXPECT_EQ(parts.second_start, c.second_start) << c.end << " " << c.fixed << " " << c.claims;
    EXPECT_EQ(parts.first_end, parts.second_start) << c.end << " " << c.fixed << " " << c.claims;
  }
}

// Without a second thread the first claims everything, fixed split or not.
TEST(SplitBoundary, GoingAloneGivesTheFirstEveryItem) {
  for (const int fixed : {-1, 0, 40}) {
    SplitBoundary boundary(100, fixed, 16, LaterShare{});
    boundary.go_alone();
    int n = 0;
    for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) n = next;
    EXPECT_EQ(n, 100) << fixed;
  }
}

// Two real threads over 5000 items, 20 times: the first claims runs of 7
// from 0 on, the second does the items from the start second_start finds
// (while the first claims); each item must be done exactly once.
template <typename SecondStart>
void expect_each_item_once(LaterShare share, SecondStart second_start) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int end = 5000;
    std::vector<std::atomic<int>> done(end);
    SplitBoundary boundary(end, -1, 7, share);
    HelperThread second;
    ASSERT_TRUE(start_thread(second, [&] {
      for (int i = second_start(boundary, end); i < end; ++i) done[i]++;
    }));
    int n = 0;
    for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) {
      for (; n < next; ++n) done[n]++;
    }
    second.join();
    for (int i = 0; i < end; ++i) ASSERT_EQ(done[i].load(), 1) << attempt << " " << i;
  }
}

TEST(SplitBoundary, TwoThreadsDoEachItemOnce) {
  expect_each_item_once(LaterShare{27, 50}, [](SplitBoundary& boundary, int) { return boundary.take(); });
}

// A second part reached by walking: it settles only where the walk stands
// at a start it may take, the start moving on with the first thread's
// claims; the first stops right there.
TEST(SplitBoundary, WalkedOfferSettlesWhereTheWalkStands) {
  SplitBoundary boundary(100, -1, 16, LaterShare{});
  EXPECT_EQ(boundary.claim(0), 16);
  SplitBoundary::Offer offer = boundary.offer(0);
  EXPECT_FALSE(offer.settled);
  EXPECT_EQ(offer.next, 58);  // (100 + 16) / 2
  EXPECT_EQ(boundary.claim(16), 32);
  offer = boundary.offer(58);  // the first moved on meanwhile
  EXPECT_FALSE(offer.settled);
  EXPECT_EQ(offer.next, 66);
  offer = boundary.offer(66);
  EXPECT_TRUE(offer.settled);
  EXPECT_EQ(offer.next, 66);
  int n = 32;
  for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) n = next;
  EXPECT_EQ(n, 66);
  boundary.go_alone();  // a second that settled and then cannot start hands its part back
  for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) n = next;
  EXPECT_EQ(n, 100);

  SplitBoundary fixed(100, 30, 16, LaterShare{});
  EXPECT_EQ(fixed.offer(0).next, 30);
  EXPECT_FALSE(fixed.offer(29).settled);
  EXPECT_TRUE(fixed.offer(30).settled);

  SplitBoundary all_claimed(40, -1, 64, LaterShare{});
  EXPECT_EQ(all_claimed.claim(0), 40);
  offer = all_claimed.offer(3);  // nothing is left: no need to walk on
  EXPECT_TRUE(offer.settled);
  EXPECT_EQ(offer.next, 40);
}

// A second thread through with its part takes back the first's items from
// a point the first has not claimed: the first stops there, a point it has
// claimed or one at or past the boundary is refused, and a fixed split
// only fixes where the second's own part starts.
TEST(SplitBoundary, TakingBackLeavesTheFirstItsClaimedItems) {
  for (const int fixed : {-1, 60}) {
    SplitBoundary boundary(100, fixed, 10, LaterShare{});
    EXPECT_EQ(boundary.claim(0), 10);
    const int start = boundary.take();
    EXPECT_EQ(start, fixed < 0 ? 55 : 60);  // (100 + 10) / 2
    EXPECT_EQ(boundary.take_back(9), -1);        // claimed already
    EXPECT_EQ(boundary.take_back(start), -1);    // not below the boundary
    EXPECT_EQ(boundary.take_back(30), start);    // 30 .. start - 1 are the second's
    const SplitBoundary::Progress progress = boundary.progress();
    EXPECT_EQ(progress.claimed, 10);
    EXPECT_EQ(progress.boundary, 30);
    int n = 10;
    for (int next = boundary.claim(n); next > n; next = boundary.claim(n)) n = next;
    EXPECT_EQ(n, 30) << fixed;
    EXPECT_EQ(boundary.take_back(20), -1);  // the first has claimed up to 30
  }
}

// The second walking to its start, looking again every 100 items.
TEST(SplitBoundary, WalkedOfferDoesEachItemOnce) {
  expect_each_item_once(LaterShare{}, [](SplitBoundary& boundary, int end) {
    int n = 0;
    SplitBoundary::Offer offer = boundary.offer(n);
    for (; !offer.settled; offer = boundary.offer(n)) {
      EXPECT_GT(offer.next, n);
      if (offer.next <= n) return end;
      n = std::min(offer.next, n + 100);
    }
    EXPECT_TRUE(offer.next == n || offer.next == end);
    return offer.next;
  });
}

// A latch made ready, or given up on, before or after the wait begins.
TEST(ReadyLatch, WaitSeesTheOutcome) {
  for (const bool ready : {true, false}) {
    ReadyLatch early;
    early.settle(ready);
    early.settle(!ready);  // only the first call counts
    EXPECT_EQ(early.wait(), ready);
    ReadyLatch late;
    std::atomic<int> seen{-1};
    HelperThread waiter;
    ASSERT_TRUE(start_thread(waiter, [&] { seen = late.wait() ? 1 : 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // past the spin: asleep
    late.settle(ready);
    waiter.join();
    EXPECT_EQ(seen.load(), ready ? 1 : 0);
  }
}

// Work handed to a helper runs exactly when finish says the helper took it,
// never after finish took it back; the poster then does it itself.
TEST(WithdrawableHelper, WorkRunsOnceByOneThread) {
  int taken = 0;
  int withdrawn = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::atomic<int> runs{0};
    bool helper_did = false;
    {
      WithdrawableHelper helper;
      ASSERT_TRUE(helper.start([&runs] { runs++; }));
      if (attempt % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(300));
      helper_did = helper.finish();
      EXPECT_EQ(runs.load(), helper_did ? 1 : 0) << attempt;
      EXPECT_FALSE(helper.finish());  // nothing is left to finish
    }
    if (!helper_did) runs++;  // the poster's own share
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    EXPECT_EQ(runs.load(), 1) << attempt;
    (helper_did ? taken : withdrawn)++;
  }
  EXPECT_GT(taken, 0);
  std::printf("taken by the helper %d times, withdrawn %d times\n", taken, withdrawn);
}

// Every job's two halves run exactly once, and both are done when run
// returns: for jobs posted back to back, and for jobs posted after pauses
// long enough for the helper to fall asleep. With one thread both halves run
// on the caller; with two, the helper takes a first half when the caller's
// second half waits for it (up to 5 s).
TEST(SplitHelper, EveryHalfRunsOnceBeforeRunReturns) {
  for (const int threads : {1, 2}) {
    for (const bool pauses : {false, true}) {
      const int jobs = pauses ? 40 : 2000;
      std::vector<int> halves(2 * static_cast<std::size_t>(jobs), 0);
      auto split_holder = std::make_unique<SplitHelper>(threads);
      SplitHelper& split = *split_holder;
      for (int job = 0; job < jobs; ++job) {
        const bool wait_for_helper = threads == 2 && job == 0;
        std::atomic<bool> first_half_begun{false};
        std::thread::id first_half_thread;
        split.run([&](int half) {
          if (half == 0) {
            first_half_thread = std::this_thread::get_id();
            first_half_begun = true;
          }
          const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (half == 1 && wait_for_helper && !first_half_begun && std::chrono::steady_clock::now() < until) {
          }
          ++halves[2 * static_cast<std::size_t>(job) + half];
        });
        ASSERT_EQ(halves[2 * static_cast<std::size_t>(job)], 1) << threads << " " << job;
        ASSERT_EQ(halves[2 * static_cast<std::size_t>(job) + 1], 1) << threads << " " << job;
        if (threads == 1 || wait_for_helper) {
          EXPECT_EQ(first_half_thread != std::this_thread::get_id(), wait_for_helper) << threads;
        }
        if (pauses) std::this_thread::sleep_for(std::chrono::milliseconds(job % 4 == 0 ? 5 : 0));
      }
      split_holder.reset();  // the helper is gone: no half can run late
      for (std::size_t h = 0; h < halves.size(); ++h) ASSERT_EQ(halves[h], 1) << threads << " " << h;
    }
  }
}

// What either half throws is thrown by run, once both halves are over; the
// helper goes on serving the jobs after.
TEST(SplitHelper, AFailedHalfIsThrownByRun) {
  for (const int threads : {1, 2}) {
    SplitHelper split(threads);
    for (const int failing : {0, 1}) {
      std::atomic<bool> first_half_begun{false};
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      EXPECT_THROW(split.run([&](int half) {
        if (half == 0) first_half_begun = true;
        // The second half waits for the helper to begin the first one.
        while (threads == 2 && half == 1 && !first_half_begun && std::chrono::steady_clock::now() < until) {
        }
        if (half == failing) throw std::runtime_error("no room");
      }),
                   std::runtime_error)
          << threads << " " << failing;
    }
    std::atomic<int> halves{0};
    split.run([&](int) { ++halves; });
    EXPECT_EQ(halves.load(), 2);
  }
}

// Where a started thread runs when its work begins, and on which processors
// it may run then.
struct ThreadPlace {
  int creator = -1;
  int helper = -1;
  cpu_set_t allowed;
};

ThreadPlace start_and_look() {
  ThreadPlace place;
  place.creator = sched_getcpu();
  HelperThread thread;
  EXPECT_TRUE(start_thread(thread, [&] {
    place.helper = sched_getcpu();
    sched_getaffinity(0, sizeof place.allowed, &place.allowed);
  }));
  thread.join();
  return place;
}

// A started thread begins on another processor than its creator's when the
// creator may use more than one (the scheduler may move either of them at
// any time, so a few tries are allowed), and may then run on every processor
// its creator may. With one processor allowed it runs there.
TEST(StartThread, BeginsOffTheCreatorsProcessorWithTheWholeAllowedSet) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  bool moved = false;
  for (int attempt = 0; attempt < 5 && !moved; ++attempt) {
    const ThreadPlace place = start_and_look();
    moved = place.helper != place.creator;
    ASSERT_TRUE(CPU_EQUAL(&before, &place.allowed));
  }
  EXPECT_EQ(moved, CPU_COUNT(&before) >= 2);

  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const ThreadPlace alone = start_and_look();
  sched_setaffinity(0, sizeof before, &before);
  EXPECT_TRUE(CPU_EQUAL(&one, &alone.allowed));
  EXPECT_TRUE(CPU_ISSET(alone.helper, &one));
}

// A moved-from thread is empty; the one moved onto is joined first.
TEST(StartThread, MovedThreadsAreJoinedOnce) {
  std::atomic<int> runs{0};
  HelperThread first;
  ASSERT_TRUE(start_thread(first, [&] { ++runs; }));
  HelperThread second = std::move(first);
  EXPECT_FALSE(first.joinable());
  EXPECT_TRUE(second.joinable());
  ASSERT_TRUE(start_thread(first, [&] { ++runs; }));
  second = std::move(first);  // joins the thread second held
  second.join();
  EXPECT_FALSE(second.joinable());
  EXPECT_EQ(runs.load(), 2);
}

}  // namespace
}  // namespace quillet
