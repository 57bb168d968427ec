// Opening a mount path: the context, the root folder layout, finding or creating the folder,
// and the throttled event for a storage host that does not answer.

#include <cerrno>

#include <gtest/gtest.h>

#include "driver/ContextFixture.h"
#include "kxmp/RegistryNames.h"
#include "support/CatalogSeams.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXString.h"

using kxmp::test::ContextTest;
using kxmp::test::kEventDataServerNotReady;
using kxmp::test::PathExists;

namespace {

class RootFolderTest : public ContextTest {};

TEST_F(RootFolderTest, BackupCreatesTheRootFolderNamedAfterTheSubclientOrBackupSetGuid) {
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
  EXPECT_EQ(ctx->getInitRootFolder(), RootOn(0));
  EXPECT_TRUE(PathExists(RootOn(0)));
  EXPECT_TRUE(log_->Has(0, "DataServerAPI creating root folder [" + RootOn(0) + "]"));
  EXPECT_TRUE(log_->Has(0, "Initializing DataServerAPI with subclientID [42], server name [ma1], path [" +
                               mounts_[0] + "] prefixInstanceGuid [false]"));

  DataServerContextPtr bs = Open(1, true, "", true);
  ASSERT_TRUE(bs);
  EXPECT_EQ(bs->getRootFolder(), RootOn(1, "bs-guid-42"));
  EXPECT_TRUE(PathExists(RootOn(1, "bs-guid-42")));
}

TEST_F(RootFolderTest, GuidsCachedInTheRegistryWinOverTheIdentityComponent) {
  KXPlatformInfo platform;
  const std::string key = FXString::Format("~%s/%lu", MAMountPointKey, kSubclient);
  ASSERT_TRUE(platform.setRegString(key, SubClientGUIDVal, "cached-guid"));
  kxmp::catalog::ScopedIdentity identity([](uint64_t, kxmp::catalog::SubclientRecord&) { return 2; });

  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0, "cached-guid"));
  EXPECT_EQ(identity.calls(), 0);
}

TEST_F(RootFolderTest, UnknownSubclientGetsNoContextAndNoStorageCheck) {
  faulty_->ClearCalls();
  DataServerContextPtr ctx =
      driver_.InitializeDataServerAPI(7, hosts_[0], mounts_[0], 1, "", false, true);
  EXPECT_FALSE(ctx);
  EXPECT_TRUE(log_->Has(-1, "Failed to get subclientGuid"));
  EXPECT_TRUE(log_->Has(-1, "Failed to CreateRootFolder"));
  EXPECT_EQ(faulty_->CountCalls("Exists"), 0);
  EXPECT_FALSE(PathExists(mounts_[0] + "/KX_APP_DUMPS"));
}

TEST_F(RootFolderTest, RunsOfSeparatorsShrinkToTheirFirstCharacter) {
  const std::string doubled = home_->path() + "//mp1///";
  DataServerContextPtr ctx = driver_.InitializeDataServerAPI(kSubclient, "ma1", doubled, 1, "", false, true);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->getMountPath(), mounts_[0] + "/");
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
  EXPECT_TRUE(log_->Has(0, "Convert mount path from [" + doubled + "] to [" + mounts_[0] + "/]"));

  // Mount paths that lead nowhere: only the clean-up is of interest here.
  driver_.InitializeDataServerAPI(kSubclient, "ma1", "/mnt//disk1///data", 1, "", false, false);
  EXPECT_TRUE(log_->Has(0, "Convert mount path from [/mnt//disk1///data] to [/mnt/disk1/data]"));
  driver_.InitializeDataServerAPI(kSubclient, "ma1", "d:\\\\a\\/\\b/\\c", 1, "", false, false);
  EXPECT_TRUE(log_->Has(0, "Convert mount path from [d:\\\\a\\/\\b/\\c] to [d:\\a\\b/c]"));
}

TEST_F(RootFolderTest, RestoreUsesAnExistingFolderAndNeverCreatesOne) {
  DataServerContextPtr missing = Open(0, false);
  EXPECT_FALSE(missing);
  EXPECT_TRUE(log_->Has(0, "Ignoring Datapath [ma1:" + RootOn(0) +
                               "] during restore as there are no backup/dumps of OSC appid [42]"));
  EXPECT_EQ(faulty_->CountCalls("CreateFolder"), 0);
  EXPECT_FALSE(PathExists(mounts_[0] + "/KX_APP_DUMPS"));

  ASSERT_TRUE(Open(0, true));  // a backup leaves the folder behind
  faulty_->ClearCalls();
  DataServerContextPtr found = Open(0, false);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->getRootFolder(), RootOn(0));
  EXPECT_EQ(faulty_->CountCalls("CreateFolder"), 0);
}

TEST_F(RootFolderTest, FolderThatAppearedMeanwhileCountsAsCreated) {
  faulty_->Fail("CreateFolder", RootOn(0), EEXIST);
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
}

TEST_F(RootFolderTest, FailedCreationRefusesTheContext) {
  faulty_->Fail("CreateFolder", RootOn(0), EROFS);
  EXPECT_FALSE(Open(0, true));
  EXPECT_EQ(log_->CountContaining("Failed to call Create error code = ["), 1);
  EXPECT_TRUE(log_->Has(-1, "Failed to CreateRootFolder"));
  EXPECT_FALSE(PathExists(RootOn(0)));
}

TEST_F(RootFolderTest, NoInterfaceObjectNoRootFolder) {
  faulty_->FailFSFactory();
  EXPECT_FALSE(Open(0, true));
  EXPECT_TRUE(log_->Has(-1, "Failed to create CFSInterface"));
  EXPECT_FALSE(PathExists(RootOn(0)));
}

TEST_F(RootFolderTest, SecondCallTrustsTheKnownRootFolderWithoutAskingTheStorage) {
  DataServerContextPtr ctx = Open(0, true);
  ASSERT_TRUE(ctx);
  faulty_->ClearCalls();
  faulty_->FailHost("ma1", "", EHOSTUNREACH);
  EXPECT_TRUE(AbstractMountingPointDriver::CreateRootFolder(ctx, "", false, true));
  EXPECT_TRUE(AbstractMountingPointDriver::CreateRootFolder(ctx.get(), "other", false, false));
  EXPECT_TRUE(faulty_->Calls().empty());
  EXPECT_EQ(log_->Count(0, "Root folder already initialized [" + RootOn(0) + "]"), 2);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0));
}

TEST_F(RootFolderTest, AppendPathIsAddedOnceBelowTheRoot) {
  DataServerContextPtr ctx = Open(0, true, "logs/db1");
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->getRootFolder(), RootOn(0) + "/logs/db1");
  EXPECT_TRUE(PathExists(RootOn(0) + "/logs/db1"));
  EXPECT_TRUE(log_->Has(0, "DataServerAPI checking root folder [" + RootOn(0) + "/logs/db1] appendPath[logs/db1]"));

  // A sub path the initial root folder ends with, in whole components, is not added again.
  for (const char* held : {"sc-guid-42", "/KX_APP_DUMPS/sc-guid-42/", "KX_APP_DUMPS//sc-guid-42"}) {
    DataServerContextPtr same = Open(1, true, held);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->getRootFolder(), RootOn(1)) << held;
  }
  // Anything else is a folder of its own below the root, so backups never mix: a component
  // higher up, a mount path's folder name, the tail of the GUID, a partial component.
  struct Case {
    const char* append;
    std::string root;
  } below[] = {{"KX_APP_DUMPS", RootOn(2) + "/KX_APP_DUMPS"},
               {"mp3", RootOn(2) + "/mp3"},
               {"42", RootOn(2) + "/42"},
               {"guid-42", RootOn(2) + "/guid-42"},
               {"mp3/42/", RootOn(2) + "/mp3/42"}};
  for (const Case& c : below) {
    DataServerContextPtr own = Open(2, true, c.append);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->getRootFolder(), c.root) << c.append;
    EXPECT_TRUE(PathExists(c.root)) << c.append;
  }
}

TEST_F(RootFolderTest, NullContextIsRefused) {
  EXPECT_FALSE(AbstractMountingPointDriver::CreateRootFolder(static_cast<DataServerContext*>(nullptr), "", false,
                                                             true));
  DataServerContextPtr empty;
  EXPECT_FALSE(AbstractMountingPointDriver::CreateRootFolder(empty, "", false, true));
  EXPECT_EQ(log_->Count(-1, "context should not be null"), 2);
}

TEST_F(RootFolderTest, UnreachableHostRaisesOneEventPerTenFailures) {
  // Hosts of their own: the counts live as long as the process.
  const std::string slow = "throttle-a*throttle-a*0*0";
  const std::string other = "throttle-b*throttle-b*0*0";
  faulty_->FailHost(slow, "Exists", EHOSTUNREACH);
  faulty_->FailHost(other, "Exists", ETIMEDOUT);

  DataServerContext ctx(kSubclient, slow, mounts_[0], 1, false);
  for (int i = 0; i < 11; ++i) EXPECT_FALSE(AbstractMountingPointDriver::CreateRootFolder(&ctx, "", false, true));
  EXPECT_EQ(EventsFor(kEventDataServerNotReady, slow), 2);
  EXPECT_EQ(log_->Count(-1, "Sending event for DataServerIP is not ready"), 2);
  EXPECT_EQ(log_->CountContaining("Failed to call Exists, DataServerIP is not ready error code = ["), 11);
  EXPECT_EQ(SuppressionCount(slow), 11);
  EXPECT_TRUE(ctx.getRootFolder().empty());

  EXPECT_FALSE(driver_.InitializeDataServerAPI(kSubclient, other, mounts_[1], 2, "", false, true));
  EXPECT_EQ(EventsFor(kEventDataServerNotReady, other), 1);
  EXPECT_EQ(SuppressionCount(other), 1);
  EXPECT_EQ(EventsFor(kEventDataServerNotReady, slow), 2);

  // A host that answers but lacks the folder (restore) is no failure of the data server.
  DataServerContextPtr restore = Open(2, false);
  EXPECT_FALSE(restore);
  EXPECT_EQ(SuppressionCount("ma3"), 0);
}

}  // namespace
