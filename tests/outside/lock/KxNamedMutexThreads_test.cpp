// test-labels: concurrency
// Named locks between threads: hand-over within a timed wait, exclusion under contention.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "outside/lock/KxNamedMutex.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using Clock = kxmp::test::SteadyClock;
using kxmp::test::ElapsedMs;

class KxNamedMutexTest : public kxmp::test::HomeTest {};

TEST_F(KxNamedMutexTest, TimedWaitGetsALockReleasedMeanwhile) {
  KxNamedMutex holder("handover"), waiter("handover");
  ASSERT_TRUE(holder.lock());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    holder.unlock();
  });
  auto start = Clock::now();
  EXPECT_TRUE(waiter.lock(5000));
  EXPECT_LT(ElapsedMs(start), 2000);
  releaser.join();
  EXPECT_EQ(waiter.getLockCnt(), 1);
}

TEST_F(KxNamedMutexTest, ThreadsWithOwnObjectsAreExcluded) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  int counter = 0;  // guarded by the named lock only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        KxNamedMutex m("threads");
        bool locked = (i % 2 == 0) ? m.lock() : m.lock(10000);
        if (!locked) {
          overlap = true;
          continue;
        }
        if (inside.fetch_add(1) != 0) overlap = true;
        ++counter;
        inside.fetch_sub(1);
        if (t % 2 == 0) m.unlock();  // the other threads release by destruction
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, 800);
}
