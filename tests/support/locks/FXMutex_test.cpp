// test-labels: unit
// The library's lock classes: FXMutex, FXNamedMutex, CTimeInterval, GetCurrentThreadId.
#include <pthread.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "kxmp/CTimeInterval.h"
#include "kxmp/FXMutex.h"
#include "kxmp/FXNamedMutex.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using Clock = kxmp::test::SteadyClock;
using kxmp::test::ElapsedMs;
using kxmp::test::kTimingSlackMs;

namespace {
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
  EXPECT_LT(ElapsedMs(start), 4000);  // far below the 5 s it would wait
  m.Unlock();
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
  EXPECT_LT(ElapsedMs(start), 1 + kTimingSlackMs);
  start = Clock::now();
  EXPECT_FALSE(other.TryLock(CTimeInterval::FromMilliseconds(40)));
  long took = ElapsedMs(start);
  EXPECT_GE(took, 39);
  EXPECT_LT(took, 40 + kTimingSlackMs);
  start = Clock::now();
  EXPECT_FALSE(other.TryLock(CTimeInterval(-25000)));
  EXPECT_LT(ElapsedMs(start), kTimingSlackMs);
  EXPECT_EQ(other.GetOwnerThreadId(), 0u);
}

