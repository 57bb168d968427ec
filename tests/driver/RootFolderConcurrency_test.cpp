// test-labels: concurrency
// Root-folder checks from several threads: one context is checked and created once, and the
// per-host failure counts stay exact when many contexts fail at once.

#include <cerrno>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ContextFixture.h"
#include "outside/util/CZoFile.h"

using kxmp::test::ContextTest;
using kxmp::test::kEventDataServerNotReady;

namespace {

class RootFolderThreads : public ContextTest {};

TEST_F(RootFolderThreads, ThreadsOpeningOneContextCreateItsRootFolderOnce) {
  constexpr int kRounds = 20;
  constexpr int kThreads = 4;
  DataServerContext ctx(kSubclient, hosts_[0], mounts_[0], 1, false);
  for (int round = 0; round < kRounds; ++round) {
    ctx.setRootFolder("");
    CZoDirectory::Remove(mounts_[0] + "/KX_APP_DUMPS", true, false);
    faulty_->ClearCalls();

    std::atomic<int> ready{0};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        if (AbstractMountingPointDriver::CreateRootFolder(&ctx, "", false, true)) ++succeeded;
      });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(succeeded.load(), kThreads);
    EXPECT_EQ(faulty_->CountCalls("GetFSInterfaceInstance"), 1) << "round " << round;
    EXPECT_EQ(faulty_->CountCalls("CreateFolder"), 1) << "round " << round;
    EXPECT_EQ(ctx.getRootFolder(), RootOn(0));
  }
}

TEST_F(RootFolderThreads, ManyContextsOnManyHostsKeepExactFailureCounts) {
  constexpr int kHosts = 3;
  constexpr int kThreads = 6;
  constexpr int kFailuresPerThread = 25;
  std::vector<std::string> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.push_back("busy" + std::to_string(h) + "*busy" + std::to_string(h) + "*0*0");
    faulty_->FailHost(hosts.back(), "Exists", EHOSTUNREACH);
  }

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Two threads per host, each with a context of its own.
      DataServerContext ctx(kSubclient, hosts[t % kHosts], mounts_[0], 1, false);
      for (int i = 0; i < kFailuresPerThread; ++i) {
        EXPECT_FALSE(AbstractMountingPointDriver::CreateRootFolder(&ctx, "", false, true));
      }
    });
  }
  for (auto& t : threads) t.join();

  const int perHost = kThreads / kHosts * kFailuresPerThread;  // 50: events on the 1st, 11th ... 41st
  for (const auto& host : hosts) {
    EXPECT_EQ(SuppressionCount(host), perHost) << host;
    EXPECT_EQ(EventsFor(kEventDataServerNotReady, host), (perHost + 9) / 10) << host;
  }
}

}  // namespace
