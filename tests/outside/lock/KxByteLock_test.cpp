// test-labels: unit concurrency
// Byte locks: threads and processes of one name never hold at once, a forked child neither
// shares nor releases its parent's locks, a dead holder's lock is free, and names cost no files.
#include "outside/lock/KxByteLock.h"

#include <dirent.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ForkChild.h"
#include "support/TempHome.h"

using kxmp::test::ForkChild;

namespace {

class KxByteLockTest : public kxmp::test::HomeTest {
 protected:
  std::vector<std::string> LockFolder() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(home_->sub("locks").c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
      }
      ::closedir(d);
    }
    return names;
  }

  // A child that tries `name`, reports 1 (held) or 0 (not) as its exit code after the parent's
  // go; holds until then.
  static std::unique_ptr<ForkChild> TryInChild(const std::string& name) {
    return std::make_unique<ForkChild>([name](ForkChild::Channel& channel) {
      KxByteLock lock;
      if (lock.TryLock(name).IsError()) return 2;
      channel.Signal();
      if (!channel.Wait()) return 3;
      return lock.held() ? 1 : 0;
    });
  }
};

TEST_F(KxByteLockTest, ThreadsWithOwnObjectsNeverHoldOneNameAtOnce) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        KxByteLock lock;
        if (lock.TryLock("one name").IsError()) overlap = true;
        if (!lock.held()) continue;
        if (inside.fetch_add(1) != 0) overlap = true;
        ++taken;
        inside.fetch_sub(1);
        if (i % 2 == 0) lock.Release();  // the others release by destruction
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap);
  EXPECT_GT(taken.load(), 0);

  // Other names are independent, and a thousand names leave one lock file.
  KxByteLock a, b;
  ASSERT_FALSE(a.TryLock("one name").IsError());
  ASSERT_TRUE(a.held());
  EXPECT_TRUE(a.isCrossProcess());
  for (int i = 0; i < 1000; ++i) {
    ASSERT_FALSE(b.TryLock("name " + std::to_string(i)).IsError());
    ASSERT_TRUE(b.held()) << i;
  }
  EXPECT_EQ(LockFolder(), std::vector<std::string>{"byte-locks.lock"});
}

TEST_F(KxByteLockTest, ProcessesExcludeEachOtherAndAForkedCopyReleasesNothing) {
  // The parent holds "a" and has the lock file open before it forks.
  KxByteLock a;
  ASSERT_FALSE(a.TryLock("a").IsError());
  ASSERT_TRUE(a.held());

  auto child = std::make_unique<ForkChild>([&a](ForkChild::Channel& channel) {
    KxByteLock mine;
    if (mine.TryLock("a").IsError()) return 2;
    const bool gotParents = mine.held();
    a.Release();  // the child's copy of the parent's hold: must not free the parent's lock
    if (mine.TryLock("b").IsError() || !mine.held()) return 3;
    channel.Signal();
    if (!channel.Wait()) return 4;
    return gotParents ? 5 : 0;  // ends without releasing "b": its death must
  });
  ASSERT_TRUE(child->channel().Wait());
  KxByteLock b;
  ASSERT_FALSE(b.TryLock("b").IsError());
  EXPECT_FALSE(b.held()) << "the child holds b";
  auto other = TryInChild("a");
  ASSERT_TRUE(other->channel().Wait());
  other->channel().Signal();
  EXPECT_EQ(other->Join(), 0) << "a is still the parent's";
  child->channel().Signal();
  EXPECT_EQ(child->Join(), 0);
  ASSERT_FALSE(b.TryLock("b").IsError());
  EXPECT_TRUE(b.held()) << "a dead holder's lock is free";

  a.Release();
  auto last = TryInChild("a");
  ASSERT_TRUE(last->channel().Wait());
  last->channel().Signal();
  EXPECT_EQ(last->Join(), 1);
}

TEST_F(KxByteLockTest, UnwritableHomeStillExcludesThreads) {
  kxmp::test::WriteFile(home_->sub("not-a-folder"), "x");
  ::setenv("KX_HOME", home_->sub("not-a-folder").c_str(), 1);
  KxByteLock a, b;
  ASSERT_FALSE(a.TryLock("fallback").IsError());
  ASSERT_FALSE(b.TryLock("fallback").IsError());
  ::setenv("KX_HOME", home_->path().c_str(), 1);
  EXPECT_TRUE(a.held());
  EXPECT_FALSE(a.isCrossProcess());
  EXPECT_FALSE(b.held());
  // b was refused by the table before it needed the file.
  EXPECT_EQ(log_->CountContaining("excludes holders in this process only"), 1);
}

}  // namespace
