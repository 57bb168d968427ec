// test-labels: concurrency
// Two processes (two administrators' machines) change one subclient at the same moment, on
// SQLite and on PostgreSQL. Each change holds its checks and its write in one transaction, so
// of two primaries exactly one is attached, and of two adds of one id exactly one succeeds
// while the other is told the id exists already.

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "outside/error/FXErrorUtil.h"
#include "support/ForkChild.h"
#include "CatalogFixture.h"

using kxmp::catalog::AttachedMountPath;
using kxmp::catalog::CatalogAdmin;
using kxmp::catalog::CatalogErrc;
using kxmp::test::ForkChild;

namespace {

constexpr int kRounds = 8;

// Child exit codes: the change was made, refused for the expected reason, failed otherwise.
constexpr int kMade = 0;
constexpr int kRefused = 1;
constexpr int kFailed = 2;

// Runs change(0) and change(1) in two processes released at the same moment.
std::pair<int, int> Race(const std::function<int(int)>& change) {
  auto body = [&](int which) {
    return [&change, which](ForkChild::Channel& channel) { return channel.Wait() ? change(which) : kFailed; };
  };
  ForkChild first(body(0));
  ForkChild second(body(1));
  first.channel().Signal();
  second.channel().Signal();
  return {first.Join(), second.Join()};
}

int Outcome(const CZoError& e, int refusal) {
  if (!e.IsError()) return kMade;
  return FXErrorUtil::IsErrNo(e, refusal) ? kRefused : kFailed;
}

class CatalogRace : public kxmp::test::CatalogContract {};

TEST_P(CatalogRace, OfTwoConcurrentPrimariesExactlyOneIsAttached) {
  for (int round = 1; round <= kRounds; ++round) {
    const uint64_t subclient = 100 + round;
    AddSubclient(subclient, "g" + std::to_string(round));
    AddMountPath(2 * round, "ma", "/a" + std::to_string(round));
    AddMountPath(2 * round + 1, "mb", "/b" + std::to_string(round));
    auto [a, b] = Race([&](int which) {
      CatalogAdmin admin;  // each machine its own, as kxmp catalog attach --primary makes it
      return Outcome(admin.Attach(subclient, 2 * round + which, kxmp::catalog::kKindPrimary, 1 + which),
                     CatalogErrc::kConflict);
    });
    EXPECT_TRUE((a == kMade && b == kRefused) || (a == kRefused && b == kMade)) << a << " " << b;
    std::vector<AttachedMountPath> attached;
    ASSERT_FALSE(admin_->ListAttachments(subclient, attached).IsError());
    ASSERT_EQ(attached.size(), 1u) << "round " << round;
    EXPECT_EQ(attached[0].kind, kxmp::catalog::kKindPrimary);
    EXPECT_EQ(attached[0].mountPath.id, a == kMade ? 2 * round : 2 * round + 1);
  }
}

TEST_P(CatalogRace, OfTwoConcurrentAddsOfOneIdExactlyOneSucceeds) {
  for (int round = 1; round <= kRounds; ++round) {
    const uint64_t id = 200 + round;
    auto [a, b] = Race([&](int which) {
      CatalogAdmin::SubclientChange change;
      change.subclient = {id, "guid" + std::to_string(which), "set" + std::to_string(which)};
      change.replace = false;
      return Outcome(CatalogAdmin().PutSubclient(change, nullptr, nullptr), CatalogErrc::kAlreadyExists);
    });
    EXPECT_TRUE((a == kMade && b == kRefused) || (a == kRefused && b == kMade)) << a << " " << b;
    std::vector<kxmp::catalog::SubclientRecord> all;
    ASSERT_FALSE(admin_->ListSubclients(all).IsError());
    ASSERT_EQ(all.size(), static_cast<size_t>(round));
    EXPECT_EQ(all.back().guid, a == kMade ? "guid0" : "guid1");  // the winner's row, whole
    EXPECT_EQ(all.back().backupsetGuid, a == kMade ? "set0" : "set1");
  }
}

KXMP_CATALOG_CONTRACT(CatalogRace);

}  // namespace
