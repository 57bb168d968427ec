// test-labels: unit concurrency
// The library's lock classes: FXMutex, FXNamedMutex, CTimeInterval, GetCurrentThreadId.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/CTimeInterval.h"
#include "kxmp/FXMutex.h"
#include "kxmp/FXNamedMutex.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"

using Clock = std::chrono::steady_clock;
using kxmp::test::ForkChild;

namespace {
long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Runs f on another thread and returns its result.
template <typename F>
auto OnOtherThread(F f) -> decltype(f()) {
  decltype(f()) result{};
  std::thread t([&] { result = f(); });
  t.join();
  return result;
}
}  // namespace

TEST(CTimeInterval, MillisecondsTruncateTowardZero) {
  EXPECT_EQ(CTimeInterval(25000).AsMilliseconds(), 2);
  EXPECT_EQ(CTimeInterval(-25000).AsMilliseconds(), -2);
  EXPECT_EQ(CTimeInterval(9999).AsMilliseconds(), 0);
  EXPECT_EQ(CTimeInterval::FromMilliseconds(7).GetTicks(), 70000);
}

TEST(GetCurrentThreadId, IsTheLow32BitsOfPthreadSelf) {
  EXPECT_EQ(GetCurrentThreadId(), static_cast<uint32_t>((uintptr_t)::pthread_self()));
  uint32_t mine = GetCurrentThreadId();
  EXPECT_NE(OnOtherThread([] { return GetCurrentThreadId(); }), mine);
}

TEST(FXMutex, NestsForItsOwnerAndTracksOwnerAndCount) {
  FXMutex m;
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  m.Lock();
  EXPECT_TRUE(m.TryLock());
  EXPECT_EQ(m.GetLockCount(), 2);
  m.Unlock();
  EXPECT_EQ(m.GetLockCount(), 1);
  EXPECT_EQ(m.GetOwnerThreadId(), GetCurrentThreadId());
  EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));
  m.Unlock();
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  EXPECT_EQ(m.GetLockCount(), 0);
  EXPECT_TRUE(OnOtherThread([&] {
    bool got = m.TryLock();
    if (got) m.Unlock();
    return got;
  }));
}

TEST(FXMutex, UnlockWithoutHoldAndReInitAreHarmless) {
  FXMutex m;
  m.Unlock();
  EXPECT_EQ(m.GetLockCount(), 0);
  m.Init();
  m.Lock();
  m.Init();  // held: the mutex is kept, only the owner is cleared
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  EXPECT_EQ(m.GetLockCount(), 1);
  m.Unlock();
  EXPECT_TRUE(m.TryLock());
  m.Unlock();
}

TEST(FXMutex, DestructionReleasesNestedHolds) {
  auto* m = new FXMutex();
  m->Lock();
  m->Lock();
  m->Lock();
  delete m;  // would leave a locked mutex behind (and fail under the sanitizers) otherwise
  SUCCEED();
}

TEST(FXMutex, TimedTryLockDoesNotWait) {
  FXMutex m;
  m.Lock();
  auto start = Clock::now();
  EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(CTimeInterval::FromMilliseconds(5000)); }));
  EXPECT_LT(ElapsedMs(start), 1000);
  m.Unlock();
}

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

class FXNamedMutexTest : public kxmp::test::HomeTest {};

TEST_F(FXNamedMutexTest, OwnerIsSetOnLockAndClearedOnLastUnlock) {
  FXNamedMutex m("owner");
  m.Lock();
  EXPECT_TRUE(m.TryLock());
  EXPECT_EQ(m.GetLockCount(), 2);
  EXPECT_EQ(m.GetOwnerThreadId(), GetCurrentThreadId());
  m.Unlock();
  EXPECT_EQ(m.GetOwnerThreadId(), GetCurrentThreadId());
  m.Unlock();
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  EXPECT_EQ(m.GetLockCount(), 0);
}

TEST_F(FXNamedMutexTest, TryLockWaitsWithinItsBound) {
  FXNamedMutex holder("try"), other("try");
  holder.Lock();
  auto start = Clock::now();
  EXPECT_FALSE(other.TryLock());
  EXPECT_LT(ElapsedMs(start), 25);
  start = Clock::now();
  EXPECT_FALSE(other.TryLock(CTimeInterval::FromMilliseconds(40)));
  long took = ElapsedMs(start);
  EXPECT_GE(took, 39);
  EXPECT_LT(took, 90);
  start = Clock::now();
  EXPECT_FALSE(other.TryLock(CTimeInterval(-25000)));
  EXPECT_LT(ElapsedMs(start), 25);
  EXPECT_EQ(other.GetOwnerThreadId(), 0u);
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
    if (m.TryLock(CTimeInterval::FromMilliseconds(50))) return 11;
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
