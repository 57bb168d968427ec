// test-labels: concurrency
// The lock classes between threads and between processes.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/FXMutex.h"
#include "kxmp/FXNamedMutex.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using Clock = kxmp::test::SteadyClock;
using kxmp::test::ElapsedMs;
using kxmp::test::kTimingSlackMs;
using kxmp::test::ForkChild;

class FXNamedMutexTest : public kxmp::test::HomeTest {};

TEST(FXMutex, ExcludesThreads) {
  FXMutex m;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        m.Lock();
        m.Lock();
        ++counter;
        m.Unlock();
        m.Unlock();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(m.GetLockCount(), 0);
}

TEST_F(FXNamedMutexTest, GoingOutOfScopeHandsTheLockToAWaiter) {
  std::atomic<bool> waiterGotIt{false};
  auto holder = std::make_unique<FXNamedMutex>("scope");
  holder->Lock();
  holder->Lock();
  std::thread waiter([&] {
    FXNamedMutex m("scope");
    m.Lock();
    waiterGotIt = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(waiterGotIt);
  holder.reset();  // never unlocked: destruction releases both holds
  waiter.join();
  EXPECT_TRUE(waiterGotIt);
}

TEST_F(FXNamedMutexTest, ExcludesAnotherProcessBothWays) {
  // The child waits until the parent holds the lock, then tries for 50 ms (exit 1 on
  // failure), then takes it and holds it until told to release.
  ForkChild child([](ForkChild::Channel& ch) {
    if (!ch.Wait()) return 10;
    FXNamedMutex m("xproc");
    auto start = Clock::now();
    if (m.TryLock(CTimeInterval::FromMilliseconds(50))) return 11;
    long took = ElapsedMs(start);
    if (took < 49 || took >= 50 + kTimingSlackMs) return 12;
    ch.Signal();
    m.Lock();
    ch.Signal();
    ch.Wait();
    m.Unlock();
    return 0;
  });
  {
    FXNamedMutex m("xproc");
    m.Lock();
    child.channel().Signal();
    ASSERT_TRUE(child.channel().Wait());  // the child's timed attempt failed
    m.Unlock();
  }
  ASSERT_TRUE(child.channel().Wait());  // the child holds it now
  FXNamedMutex m("xproc");
  EXPECT_FALSE(m.TryLock(CTimeInterval::FromMilliseconds(20)));
  child.channel().Signal();
  EXPECT_EQ(child.Join(), 0);
  EXPECT_TRUE(m.TryLock());
}

TEST_F(FXNamedMutexTest, DeathOfTheHoldingProcessReleasesTheLock) {
  for (bool kill : {false, true}) {
    ForkChild child([kill](ForkChild::Channel& ch) -> int {
      FXNamedMutex m("death");
      m.Lock();
      ch.Signal();
      ch.Wait();  // killed while waiting here, or told to exit
      ::_exit(3);  // no destructor runs
    });
    ASSERT_TRUE(child.channel().Wait());
    FXNamedMutex m("death");
    EXPECT_FALSE(m.TryLock(CTimeInterval::FromMilliseconds(10)));
    if (kill) {
      child.Kill();
    } else {
      child.channel().Signal();
    }
    EXPECT_EQ(child.Join(), kill ? 128 + SIGKILL : 3);
    EXPECT_TRUE(m.TryLock(CTimeInterval::FromMilliseconds(1000))) << "kill=" << kill;
  }
}
