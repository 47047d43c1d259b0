#include "core/parallel.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quillet {
namespace {

struct Item {
  int index = -1;
  std::thread::id maker;
};

// Every item is made exactly once, into the slot that take hands out, in
// every combination of threads and look-ahead; with one thread the taking
// thread makes them all, and with two and room ahead the helper makes the
// next one while the taker holds the current one.
TEST(MadeAhead, EveryItemMadeOnceAndTakenInOrder) {
  for (const int threads : {1, 2}) {
    for (const int ahead : {1, 2, 3, 8}) {
      for (const int count : {0, 1, 2, 7, 40}) {
        std::vector<std::atomic<int>> made(static_cast<std::size_t>(count));
        bool helper_made_one = false;
        {
          MadeAhead<Item> items(count, ahead, threads, [&](int index, Item& slot) {
            made[index]++;
            slot.index = index;
            slot.maker = std::this_thread::get_id();
          });
          for (int i = 0; i < count; ++i) {
            // With room ahead, wait (up to 5 s) for the helper to make the
            // next item while this thread holds the current one.
            const bool room = threads == 2 && ahead >= 2 && i + 1 < count;
            const Item& item = items.take(i);
            ASSERT_EQ(item.index, i) << threads << " " << ahead << " " << count;
            if (item.maker != std::this_thread::get_id()) helper_made_one = true;
            for (int wait = 0; room && i == 0 && made[1].load() == 0 && wait < 5000; ++wait) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
          }
        }
        for (int i = 0; i < count; ++i) EXPECT_EQ(made[i].load(), 1) << i;
        if (threads == 1) {
          EXPECT_FALSE(helper_made_one);
        } else if (count >= 2 && ahead >= 2) {  // ahead 1: the one slot is the taker's
          EXPECT_TRUE(helper_made_one) << ahead << " " << count;
        }
      }
    }
  }
}

// A consumer that stops early (the object going out of scope with items not
// taken) ends the helper without waiting for the rest.
TEST(MadeAhead, LeavingEarlyStopsTheHelper) {
  std::atomic<int> made{0};
  {
    MadeAhead<Item> items(1000, 2, 2, [&](int index, Item& slot) {
      made++;
      slot.index = index;
    });
    EXPECT_EQ(items.take(0).index, 0);
  }
  EXPECT_LE(made.load(), 3);
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

// What a make throws reaches the taker of that item, whichever thread made
// it, and the helper ends without taking the process down; the items before
// it are taken as usual.
TEST(MadeAhead, AFailedMakeIsThrownToItsTaker) {
  for (const int threads : {1, 2}) {
    MadeAhead<Item> items(6, 3, threads, [&](int index, Item& slot) {
      if (index == 2) throw std::runtime_error("no room");
      slot.index = index;
    });
    EXPECT_EQ(items.take(0).index, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for the helper to reach item 2
    EXPECT_EQ(items.take(1).index, 1);
    EXPECT_THROW(items.take(2), std::runtime_error) << threads;
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
