// test-labels: unit
#include "outside/lock/KxNamedMutex.h"

#include <sys/stat.h>

#include <chrono>
#include <climits>

#include <gtest/gtest.h>

#include "support/TempHome.h"
#include "support/Timing.h"

using kxmp::lock::LockFileName;
using Clock = kxmp::test::SteadyClock;
using kxmp::test::ElapsedMs;
using kxmp::test::kTimingSlackMs;

TEST(LockFileName, NoNameEscapesTheLockFolder) {
  EXPECT_EQ(LockFileName("KXMAMountingPointSvc_DriverInitialize"), "KXMAMountingPointSvc_DriverInitialize.lck");
  EXPECT_EQ(LockFileName("../x"), "%2E%2E%2Fx.lck");
  EXPECT_EQ(LockFileName(".."), "%2E%2E.lck");
  EXPECT_EQ(LockFileName("a\nb\x01"), "a%0Ab%01.lck");
  EXPECT_EQ(LockFileName(""), ".lck");
  EXPECT_EQ(LockFileName(std::string("a\0b", 3)), "a%00b.lck");
  EXPECT_NE(LockFileName("a/b"), LockFileName("a_b"));
}

TEST(LockFileName, LongNamesStayShortAndDistinct) {
  std::string a(300, '/'), b(300, '/');
  b.back() = '.';
  std::string fa = LockFileName(a), fb = LockFileName(b);
  EXPECT_LE(fa.size(), 255u);
  EXPECT_NE(fa, fb);
  EXPECT_EQ(fa.find('/'), std::string::npos);
}

class KxNamedMutexTest : public kxmp::test::HomeTest {};

TEST_F(KxNamedMutexTest, LockFileIsOwnerOnlyAndOutlivesTheObject) {
  {
    KxNamedMutex m("../escape");
    EXPECT_TRUE(m.isCrossProcess());
    EXPECT_TRUE(m.lock());
    m.unlock();
  }
  struct stat st;
  ASSERT_EQ(::stat(home_->sub("locks").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(home_->sub("locks/%2E%2E%2Fescape.lck").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(kxmp::test::PathExists(home_->sub("escape.lck")));
}

TEST_F(KxNamedMutexTest, HoldsNestPerObjectAndExcludeOtherObjects) {
  KxNamedMutex a("nest"), b("nest");
  EXPECT_TRUE(a.lock());
  EXPECT_TRUE(a.lock(0));
  EXPECT_EQ(a.getLockCnt(), 2);
  EXPECT_FALSE(b.lock(0));
  EXPECT_EQ(b.getLockCnt(), 0);
  a.unlock();
  EXPECT_EQ(a.getLockCnt(), 1);
  EXPECT_FALSE(b.lock(0));
  a.unlock();
  EXPECT_EQ(a.getLockCnt(), 0);
  a.unlock();  // without a hold: nothing happens
  EXPECT_EQ(a.getLockCnt(), 0);
  EXPECT_TRUE(b.lock(0));
  b.unlock();
}

TEST_F(KxNamedMutexTest, DifferentNamesDoNotExclude) {
  KxNamedMutex a("one"), b("two");
  EXPECT_TRUE(a.lock());
  EXPECT_TRUE(b.lock(0));
}

TEST_F(KxNamedMutexTest, TimedWaitKeepsItsBound) {
  KxNamedMutex holder("bound"), waiter("bound");
  ASSERT_TRUE(holder.lock());
  for (unsigned long ms : {0UL, 1UL, 40UL}) {
    auto start = Clock::now();
    EXPECT_FALSE(waiter.lock(ms));
    long took = ElapsedMs(start);
    EXPECT_GE(took, static_cast<long>(ms) - 1) << ms;
    EXPECT_LT(took, static_cast<long>(ms) + kTimingSlackMs) << ms;
  }
  // A negative wait handed over as unsigned makes one attempt instead of waiting forever.
  auto start = Clock::now();
  EXPECT_FALSE(waiter.lock(static_cast<unsigned long>(-2L)));
  EXPECT_LT(ElapsedMs(start), kTimingSlackMs);
  EXPECT_FALSE(waiter.lock(ULONG_MAX));
}

TEST_F(KxNamedMutexTest, DestructionReleasesEveryHold) {
  KxNamedMutex other("scope");
  {
    KxNamedMutex m("scope");
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(m.lock());
  }
  EXPECT_TRUE(other.lock(0));
}

TEST_F(KxNamedMutexTest, UnwritableHomeStillExcludesInsideTheProcess) {
  kxmp::test::WriteFile(home_->sub("not-a-folder"), "x");
  ::setenv("KX_HOME", home_->sub("not-a-folder").c_str(), 1);
  KxNamedMutex a("fallback"), b("fallback");
  ::setenv("KX_HOME", home_->path().c_str(), 1);
  EXPECT_FALSE(a.isCrossProcess());
  EXPECT_EQ(log_->Lines().size(), 2u);
  EXPECT_EQ(log_->CountContaining("excludes holders in this process only"), 2);
  EXPECT_TRUE(a.lock());
  EXPECT_FALSE(b.lock(5));
  a.unlock();
  EXPECT_TRUE(b.lock(0));
}
