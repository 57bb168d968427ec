// Moving a context to another cached mount path of its subclient, and the whole road on real
// folders: a backup context loses its mount path and carries on on the alternate.

#include <fcntl.h>

#include <cerrno>
#include <list>

#include <gtest/gtest.h>

#include "driver/ContextFixture.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/dataserver/CFileInterface.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"
#include "support/MountCache.h"

using kxmp::test::CacheEntry;
using kxmp::test::CacheState;
using kxmp::test::CacheValues;
using kxmp::test::PathExists;
using kxmp::test::SetControlServer;

namespace {

class FailoverTest : public kxmp::test::ContextTest {
 protected:
  // Control server offline; the cache holds ma1..ma3 as alternates 1..3 (and ma1 as primary).
  void SeedOfflineCache() {
    SetControlServer(false);
    CacheEntry(kSubclient, 0, hosts_[0], mounts_[0], 1);
    for (int i = 1; i <= 3; ++i) CacheEntry(kSubclient, i, hosts_[i - 1], mounts_[i - 1], i);
    CacheState(kSubclient, 3, 0, 0);
  }
};

TEST_F(FailoverTest, DisabledContextStaysWhereItIs) {
  SeedOfflineCache();
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  ctx->disableFailover();
  faulty_->ClearCalls();
  AbstractMountingPointDriver::Failover(ctx.get());
  EXPECT_TRUE(log_->Has(0, "No need to do failover"));
  EXPECT_FALSE(log_->Has(0, "Doing failover"));
  EXPECT_EQ(ctx->getMountPath(), mounts_[0]);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
  EXPECT_FALSE(ctx->needFailover());
  EXPECT_TRUE(faulty_->Calls().empty());
}

TEST_F(FailoverTest, SkipsTheCurrentMountPathAndStopsAtTheFirstUsableAlternate) {
  SeedOfflineCache();
  DataServerContextPtr ctx = Open(0, true);  // a backup context on entry 1's mount path
  ASSERT_TRUE(ctx);
  AbstractMountingPointDriver::Failover(ctx.get());

  EXPECT_TRUE(log_->Has(0, "Doing failover"));
  EXPECT_TRUE(log_->Has(0, "update new mount path [" + mounts_[1] + "] in failover for subclient[42]"));
  EXPECT_EQ(ctx->getMountPath(), mounts_[1]);
  EXPECT_EQ(ctx->getFSParams().host.hostName, "ma2");
  EXPECT_EQ(ctx->getFSParams().mountPathId, 2);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(1));
  EXPECT_TRUE(PathExists(RootOn(1)));
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "2");
  for (const auto& call : faulty_->Calls()) EXPECT_NE(call.host, "ma3");
}

TEST_F(FailoverTest, RestoreContextGetsTheRootFolderCreatedOnTheAlternate) {
  SeedOfflineCache();
  ASSERT_TRUE(Open(1, true));  // the folder exists on entry 2 only
  DataServerContextPtr ctx = Open(1, false);
  ASSERT_TRUE(ctx);
  // The entries after the one in use come first: entry 3 (mp3), which lacks the folder.
  AbstractMountingPointDriver::Failover(ctx.get());
  EXPECT_EQ(ctx->getMountPath(), mounts_[2]);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(2));
  EXPECT_TRUE(PathExists(RootOn(2)));
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "3");
}

TEST_F(FailoverTest, EveryAlternativeFailingLeavesTheContextOnTheLastWithoutRootFolder) {
  SeedOfflineCache();
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  faulty_->FailHost("ma2", "Exists", EHOSTUNREACH).FailHost("ma3", "CreateFolder", EROFS);
  AbstractMountingPointDriver::Failover(ctx.get());
  EXPECT_EQ(log_->Count(-1, "Failed to create or make sure root folder exists."), 2);
  EXPECT_EQ(ctx->getMountPath(), mounts_[2]);
  EXPECT_TRUE(ctx->getRootFolder().empty());
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "0");
  EXPECT_FALSE(log_->Has(0, "update new mount path [" + mounts_[2] + "] in failover for subclient[42]"));

  // A later failover goes on from where the context is: the primary comes next.
  faulty_->ClearFaults();
  AbstractMountingPointDriver::Failover(ctx.get());
  EXPECT_EQ(ctx->getMountPath(), mounts_[0]);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "0");
}

TEST_F(FailoverTest, NothingToFailOverToLeavesTheContextUnchanged) {
  SetControlServer(false);
  CacheEntry(kSubclient, 0, hosts_[0], mounts_[0], 1);
  CacheState(kSubclient, 0, 0, 0);
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  AbstractMountingPointDriver::Failover(ctx.get());
  EXPECT_TRUE(log_->Has(0, "No new mount path to update in failover for subclient [42]"));
  EXPECT_EQ(ctx->getMountPath(), mounts_[0]);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));

  AbstractMountingPointDriver::Failover(nullptr);
  EXPECT_TRUE(log_->Has(-1, "context should not be null"));
}

// Real folders and the default data server: the mount path of a backup context disappears,
// the context moves to the cached alternate and a file written through it lands there.
TEST_F(FailoverTest, BackupCarriesOnOnTheAlternateAfterItsDiskVanished) {
  scope_.reset();  // the default backend only
  ASSERT_FALSE(admin_->Attach(kSubclient, 1, kxmp::catalog::kKindPrimary, 0).IsError());
  ASSERT_FALSE(admin_->Attach(kSubclient, 2, kxmp::catalog::kKindAlternate, 1).IsError());

  // While the control server is online a refresh fills the cache with the alternate.
  SetControlServer(true);
  std::vector<MountPathInfo> primary;
  ASSERT_FALSE(AbstractMountingPointDriver::GetSubclientMountpathList(kSubclient, primary, false, false, true, true)
                   .IsError());

  struct Svc : KXMAMountingPointSvc {} svc;
  ASSERT_FALSE(svc.AllocateDriverPtr(false).IsError());
  std::list<DataServerContextPtr> contexts;
  CZoError err = svc.GetDataServerContextList(kSubclient, contexts, true, false, "", false);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  ASSERT_EQ(contexts.size(), 1u);
  DataServerContextPtr ctx = contexts.front();
  ASSERT_EQ(ctx->getRootFolder(), RootOn(0));

  // The first disk goes away together with the control server.
  SetControlServer(false);
  ASSERT_FALSE(CZoDirectory::Remove(mounts_[0], true, false).IsError());
  {
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(ctx->getFSParams()));
    ASSERT_TRUE(fs);
    bool exists = true;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->Exists(ctx->getRootFolder(), exists), ENODEV));
  }

  AbstractMountingPointDriver::Failover(ctx.get());
  ASSERT_EQ(ctx->getMountPath(), mounts_[1]);
  ASSERT_EQ(ctx->getRootFolder(), RootOn(1));
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "1");

  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(ctx->getFSParams()));
  ASSERT_TRUE(file);
  const std::string name = ctx->getRootFolder() + "/log1.trn";
  ASSERT_FALSE(file->Open(name, O_WRONLY | O_CREAT, 0640, 0).IsError());
  unsigned int written = 0;
  ASSERT_FALSE(file->Write("after failover", 14, &written).IsError());
  ASSERT_FALSE(file->Close().IsError());
  EXPECT_EQ(kxmp::test::ReadFile(RootOn(1) + "/log1.trn"), "after failover");
  EXPECT_FALSE(PathExists(mounts_[0]));
}

}  // namespace
