// The contexts a log backup or restore works through: the cached start of a backup, the
// archive manager's answer written to the cache as a whole, every reachable context of a
// restore, and the failures.

#include <cerrno>
#include <list>

#include <gtest/gtest.h>

#include "driver/ContextFixture.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "support/CatalogSeams.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/MountCache.h"

using kxmp::catalog::ScopedArchiveManager;
using kxmp::test::CacheEntry;
using kxmp::test::CacheKeyExists;
using kxmp::test::CacheValues;
using kxmp::test::ReplyEntry;

namespace {

class FreshService : public KXMAMountingPointSvc {};

class ContextListTest : public kxmp::test::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    ASSERT_FALSE(svc_.AllocateDriverPtr(false).IsError());
  }

  // An archive manager that answers with the given mount paths (ma1..ma3 on mp1..mp3), the
  // first one the primary.
  std::unique_ptr<ScopedArchiveManager> Answer(std::vector<size_t> which, int code = 0) {
    std::vector<MountpathInfo_t> reply;
    for (size_t i : which) {
      reply.push_back(ReplyEntry(static_cast<int64_t>(i + 1), mounts_[i], reply.empty() ? 0 : -1, hosts_[i]));
    }
    return std::make_unique<ScopedArchiveManager>(
        [reply, code](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t& ret) {
          if (code == 0) ret.mountPaths = reply;
          return code;
        });
  }

  CZoError Get(bool forBackup, bool useCache, bool prefixInstanceGuid = false) {
    return svc_.GetDataServerContextList(kSubclient, contexts_, forBackup, useCache, "", prefixInstanceGuid);
  }

  FreshService svc_;
  std::list<DataServerContextPtr> contexts_;
};

TEST_F(ContextListTest, BackupStartsFromTheCachedMountPathWithoutTheArchiveManager) {
  CacheEntry(kSubclient, 0, hosts_[1], mounts_[1], 2);
  auto am = Answer({0});
  CZoError err = Get(true, true, true);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getRootFolder(), RootOn(1, "bs-guid-42"));
  EXPECT_EQ(contexts_.front()->getFSParams().mountPathId, 2);
  EXPECT_EQ(am->calls(), 0);
  EXPECT_TRUE(log_->Has(0, "subclient [42] forBackup =[true] useCache= [true]"));
  EXPECT_TRUE(log_->Has(0, "Read cache for MAHostnameMangled[ma2] pathToMount[" + mounts_[1] +
                               "] mountPathid=[2] prefixInstanceGuid = [true]"));
  EXPECT_EQ(log_->CountContaining("Successfuly Cached"), 0);
}

TEST_F(ContextListTest, IncompleteOrMissingCacheSendsTheBackupToTheArchiveManager) {
  auto am = Answer({2});
  ASSERT_FALSE(Get(true, true).IsError());
  EXPECT_TRUE(log_->Has(-1, "Failed to get values for registry key [~/Tessel/MAMountPoint/42] err[2]"));
  EXPECT_EQ(am->calls(), 1);
  GetSubclientMountpathListArgs_t args = am->lastArgs();
  EXPECT_EQ(args.subclientId, kSubclient);
  EXPECT_EQ(args.withDetails, 1);
  EXPECT_EQ(args.forWrite, 1);
  EXPECT_EQ(args.forRead, 0);
  EXPECT_EQ(args.reserved, 0u);

  // A host name without a mount path is no usable cache.
  contexts_.clear();
  KXPlatformInfo().setRegString(kxmp::test::SubclientKey(kSubclient), "sMAMountPath", "");
  KXPlatformInfo().setRegString(kxmp::test::SubclientKey(kSubclient), "sMAHostnameMangled", "ma1");
  ASSERT_FALSE(Get(true, true).IsError());
  EXPECT_TRUE(log_->Has(2, "Cache does not have MA info"));
  EXPECT_EQ(am->calls(), 2);
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getMountPath(), mounts_[2]);
}

TEST_F(ContextListTest, CachedStartWithoutIdUsesIdZero) {
  KXPlatformInfo platform;
  platform.setRegString(kxmp::test::SubclientKey(kSubclient), "sMAHostnameMangled", "ma1");
  platform.setRegString(kxmp::test::SubclientKey(kSubclient), "sMAMountPath", mounts_[0]);
  ASSERT_FALSE(Get(true, true).IsError());
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getFSParams().mountPathId, 0);
  EXPECT_TRUE(log_->Has(0, "Read cache for MAHostnameMangled[ma1] pathToMount[" + mounts_[0] +
                               "] mountPathid=[0] prefixInstanceGuid = [false]"));
}

TEST_F(ContextListTest, CachedMountPathThatNoLongerOpensIsReplacedFromTheArchiveManager) {
  CacheEntry(kSubclient, 0, hosts_[0], mounts_[0], 1);
  faulty_->FailHost("ma1", "Exists", EHOSTUNREACH);
  auto am = Answer({1});
  ASSERT_FALSE(Get(true, true).IsError());
  EXPECT_TRUE(log_->Has(-1, "Failed to initialize Data Server IP, we will read from CS & refresh registry"));
  EXPECT_EQ(am->calls(), 1);
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getMountPath(), mounts_[1]);
  auto cache = CacheValues(kSubclient);
  EXPECT_EQ(cache["sMAHostnameMangled"], "ma2");
  EXPECT_EQ(cache["sMAMountPath"], mounts_[1]);
  EXPECT_EQ(cache["iMAMountPathId"], "2");
}

TEST_F(ContextListTest, BackupCachesTheCatalogsAnswerAndRecordsTheEntryThatOpens) {
  faulty_->FailHost("ma1", "Exists", EHOSTUNREACH);
  auto am = Answer({0, 1, 2});
  ASSERT_FALSE(Get(true, false).IsError());
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getRootFolder(), RootOn(1));
  EXPECT_TRUE(log_->Has(-1, "Failed to initialize Data Server IP for MA OSC Subclientid [42] [ma1] mountPathId [1], "
                            "MA datapath not accessible"));
  EXPECT_EQ(log_->CountContaining("Read cache for MAHostnameMangled"), 0);  // useCache false: cache not read
  for (const auto& call : faulty_->Calls()) EXPECT_NE(call.host, "ma3");
  // The cache holds the catalog's set as it answered; the entry in use says where backups go.
  auto cache = CacheValues(kSubclient);
  EXPECT_EQ(cache["sMAHostnameMangled"], "ma1");
  EXPECT_EQ(cache["sMAHostnameMangled_1"], "ma2");
  EXPECT_EQ(cache["sMAHostnameMangled_2"], "ma3");
  EXPECT_EQ(cache["nFailoverNumber"], "2");
  EXPECT_EQ(cache["nFailoverCurrent"], "1");

  // The next backup starts on the entry in use without asking the catalog.
  contexts_.clear();
  ASSERT_FALSE(Get(true, true).IsError());
  EXPECT_EQ(am->calls(), 1);
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getMountPath(), mounts_[1]);
}

// The cache's rules on the registry alone, as an administrator changes the catalog and the
// machine then works offline: a refresh holds exactly the answer (a primary turned into an
// alternate, a detached one gone), a subclient left without a primary is said so, and
// failovers reach every cached mount path in turn without changing the cached set.
TEST_F(ContextListTest, TheCacheHoldsTheCatalogsSetThroughChangesAndFailovers) {
  kxmp::test::SetControlServer(true);
  auto answer = [&](std::vector<std::pair<size_t, int64_t>> entries) {
    std::vector<MountpathInfo_t> reply;
    for (const auto& [i, kind] : entries) reply.push_back(ReplyEntry(static_cast<int64_t>(i + 1), mounts_[i], kind, hosts_[i]));
    return std::make_unique<ScopedArchiveManager>([reply](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t& ret) {
      ret.mountPaths = reply;
      return 0;
    });
  };
  auto refresh = [&] {
    std::vector<MountPathInfo> list;
    return AbstractMountingPointDriver::GetSubclientMountpathList(kSubclient, list, false, false, true, true);
  };
  auto hostsCached = [&] {
    auto v = CacheValues(kSubclient);
    std::vector<std::string> out{v["sMAHostnameMangled"]};
    for (int i = 1; i <= std::stoi(v["nFailoverNumber"]); ++i) out.push_back(v["sMAHostnameMangled_" + std::to_string(i)]);
    return out;
  };
  {
    auto am = answer({{0, 0}, {1, -1}, {2, -1}});
    ASSERT_FALSE(refresh().IsError());
  }
  EXPECT_EQ(hostsCached(), (std::vector<std::string>{"ma1", "ma2", "ma3"}));
  {
    // The primary turned into an alternate: no primary, and both a mount and a backup say so.
    auto am = answer({{1, -1}, {0, -1}});
    EXPECT_TRUE(FXErrorUtil::IsWin32(refresh(), 1168));
    EXPECT_EQ(hostsCached(), (std::vector<std::string>{"", "ma2", "ma1"}));
    std::vector<MountPathInfo> list;
    EXPECT_TRUE(FXErrorUtil::IsWin32(AbstractMountingPointDriver::GetSubclientMountpathList(kSubclient, list, false, false, true, false), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(Get(true, true), 1168));
    EXPECT_TRUE(contexts_.empty());
  }
  {
    // ma1 detached, ma2 primary: ma1 leaves the cache, and backups go to ma2.
    auto am = answer({{1, 0}, {2, -1}});
    ASSERT_FALSE(refresh().IsError());
    EXPECT_EQ(hostsCached(), (std::vector<std::string>{"ma2", "ma3"}));
    ASSERT_FALSE(Get(true, true).IsError());
    ASSERT_EQ(contexts_.size(), 1u);
    EXPECT_EQ(contexts_.front()->getMountPath(), mounts_[1]);
  }
  // Offline, failover after failover: ma3, back to ma2, ma3 again; the set never changes.
  kxmp::test::SetControlServer(false);
  ScopedArchiveManager unreachable([](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t&) { return 113; });
  DataServerContextPtr context = contexts_.front();
  for (const std::string current : {"1", "0", "1"}) {
    AbstractMountingPointDriver::Failover(context.get());
    EXPECT_EQ(context->getServerName(), current == "1" ? "ma3" : "ma2");
    EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], current);
    EXPECT_EQ(hostsCached(), (std::vector<std::string>{"ma2", "ma3"}));
    contexts_.clear();
    ASSERT_FALSE(Get(true, true).IsError());  // the next backup starts on the entry in use
    EXPECT_EQ(contexts_.front()->getServerName(), context->getServerName());
  }
  EXPECT_EQ(unreachable.calls(), 0);
}

TEST_F(ContextListTest, RestoreGetsEveryMountPathThatHoldsTheRootFolderInListOrder) {
  ASSERT_TRUE(Open(0, true));
  ASSERT_TRUE(Open(2, true));
  faulty_->ClearCalls();
  auto am = Answer({2, 1, 0});
  ASSERT_FALSE(Get(false, true).IsError());
  ASSERT_EQ(contexts_.size(), 2u);
  EXPECT_EQ(contexts_.front()->getRootFolder(), RootOn(2));
  EXPECT_EQ(contexts_.back()->getRootFolder(), RootOn(0));
  EXPECT_EQ(faulty_->CountCalls("CreateFolder"), 0);
  EXPECT_FALSE(kxmp::test::PathExists(RootOn(1)));
  GetSubclientMountpathListArgs_t args = am->lastArgs();
  EXPECT_EQ(args.forWrite, 0);
  EXPECT_EQ(args.forRead, 1);
  // Neither read nor written: the only values of the key are the context's GUIDs.
  EXPECT_EQ(log_->CountContaining("Failed to get values for registry key [~/"), 0);
  EXPECT_EQ(CacheValues(kSubclient).count("sMAHostnameMangled"), 0u);
}

TEST_F(ContextListTest, ListThatAlreadyHoldsAContextNeedsNothingMore) {
  DataServerContextPtr mine = Open(0, true);
  ASSERT_TRUE(mine);
  contexts_.push_back(mine);
  auto am = Answer({1});
  ASSERT_FALSE(Get(false, true).IsError());
  EXPECT_EQ(am->calls(), 0);
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front(), mine);
}

TEST_F(ContextListTest, MalformedEntriesAreSkippedAndLargeIdsTravelAsTheirLowBits) {
  const int64_t bigId = (int64_t{1} << 32) + 5;
  std::vector<MountpathInfo_t> reply;
  MountpathInfo_t none = ReplyEntry(9, "", -1, "ma1");
  none.rawMountPath = "no delimiters";
  reply.push_back(none);
  MountpathInfo_t one = ReplyEntry(8, "", -1, "ma1");
  one.rawMountPath = "lib|[" + mounts_[0];
  reply.push_back(one);
  reply.push_back(ReplyEntry(bigId, mounts_[1], 0, "ma2"));
  reply.back().rawMountPath = "x| " + mounts_[1] + " |y";
  ScopedArchiveManager am([reply](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t& ret) {
    ret.mountPaths = reply;
    return 0;
  });
  ASSERT_FALSE(Get(true, false).IsError());
  ASSERT_EQ(contexts_.size(), 1u);
  EXPECT_EQ(contexts_.front()->getMountPath(), mounts_[1]);
  EXPECT_EQ(contexts_.front()->getFSParams().mountPathId, 5);
  EXPECT_EQ(log_->CountContaining("Skipping mount path ["), 2);
  EXPECT_EQ(CacheValues(kSubclient)["iMAMountPathId"], "5");
}

TEST_F(ContextListTest, ArchiveManagerFailuresAndUnreachableStorageAreReported) {
  {
    auto am = Answer({0}, 16);
    CZoError err = Get(true, false);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1359)) << err.AsString();
    EXPECT_EQ(err.Message(), "Failed to getSubclientMountpathList with error [16]\n");
  }
  {
    auto am = Answer({});
    CZoError err = Get(false, false);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1359)) << err.AsString();
    EXPECT_EQ(err.Message(), "getSubclientMountpathList return no library path\n");
    EXPECT_TRUE(log_->Has(-1, "getSubclientMountpathList return no library path"));
  }
  {
    faulty_->FailHost("ma1", "Exists", EHOSTUNREACH).FailHost("ma2", "Exists", EHOSTUNREACH);
    auto am = Answer({0, 1});
    CZoError err = Get(true, false);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774)) << err.AsString();
    EXPECT_EQ(err.Message(), "Failed to access all the MA data paths, backup/restore from disk not possible");
    EXPECT_TRUE(log_->Has(-1, "None of the MA datapaths for Storage policy belonging to subclientid [42]  accesible "));
    auto cache = CacheValues(kSubclient);  // the catalog's set, nothing else
    EXPECT_EQ(cache["sMAHostnameMangled"], "ma1");
    EXPECT_EQ(cache["sMAHostnameMangled_1"], "ma2");
    EXPECT_EQ(cache["nFailoverCurrent"], "0");
  }
  EXPECT_TRUE(contexts_.empty());
}

TEST_F(ContextListTest, NoDriverNoContexts) {
  FreshService bare;
  auto am = Answer({0});
  CZoError err = bare.GetDataServerContextList(kSubclient, contexts_, true, false, "", false);
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(am->calls(), 0);
  EXPECT_TRUE(contexts_.empty());
}

}  // namespace
