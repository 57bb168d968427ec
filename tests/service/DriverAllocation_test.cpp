// test-labels: concurrency
// Many threads asking for the driver of an empty service at once.
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/KXMAMountingPointSvc.h"
#include "support/TempHome.h"

namespace {
// A service of its own, so that every round starts from an empty driver pointer.
class FreshService : public KXMAMountingPointSvc {};

const char kInitialized[] = "KXMAMountingPointSvc initialized";
const char kByOther[] = "Driver initialized by another thread";
}  // namespace

class ServiceTest : public kxmp::test::HomeTest {};

TEST_F(ServiceTest, ConcurrentFirstAllocationCreatesExactlyOneDriver) {
  for (int round = 0; round < 20; ++round) {
    log_->Clear();
    FreshService svc;
    const int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<std::shared_ptr<AbstractMountingPointDriver>> seen(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        if (svc.AllocateDriverPtr(t % 2 == 0).IsError()) failures[t] = 1;
        seen[t] = svc.GetDriverPtr();
      });
    }
    for (auto& th : threads) th.join();
    std::set<AbstractMountingPointDriver*> distinct;
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(failures[t], 0);
      distinct.insert(seen[t].get());
    }
    ASSERT_EQ(distinct.size(), 1u);
    EXPECT_NE(*distinct.begin(), nullptr);
    // Every creator and every late locker says "initialized"; only late lockers add the other line.
    EXPECT_EQ(log_->Count(7, kInitialized) - log_->Count(7, kByOther), 1) << "round " << round;
  }
}
