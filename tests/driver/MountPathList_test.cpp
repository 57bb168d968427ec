// Mount path retrieval: when the archive manager is asked, what the cache holds afterwards,
// and the order in which cached paths are offered.
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/AbstractMountingPointDriver.h"
#include "support/CatalogSeams.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/event/EventLog.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/MountCache.h"
#include "support/TempHome.h"

using kxmp::catalog::ScopedArchiveManager;
using namespace kxmp::test;

namespace {

constexpr unsigned long kSubclient = 42;
const std::string kMA1 = "ma1*ma1*0*0";
const std::string kMA2 = "ma2*ma2*0*0";
const std::string kMA3 = "ma3*ma3*0*0";

kxmp::catalog::ArchiveManagerFn Reply(std::vector<MountpathInfo_t> entries, int rc = 0) {
  return [entries, rc](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t& ret) {
    if (rc == 0) ret.mountPaths = entries;
    return rc;
  };
}

std::vector<int> Indexes(const std::vector<MountPathInfo>& list) {
  std::vector<int> out;
  for (const auto& m : list) out.push_back(m.cacheIndex);
  return out;
}

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

class MountPathListTest : public HomeTest {
 protected:
  // Entries 0, 1, 2 on three hosts, refreshed `age` seconds ago.
  void CacheThree(int current, int64_t age) {
    CacheEntry(kSubclient, 0, kMA1, "/p0", 10);
    CacheEntry(kSubclient, 1, kMA2, "/p1", 11);
    CacheEntry(kSubclient, 2, kMA3, "/p2", 12);
    CacheState(kSubclient, 2, current, Now() - age);
  }
  CZoError Get(std::vector<MountPathInfo>& list, bool mountAll = false, bool forFailover = false, bool useCache = true,
               bool refreshCache = false) {
    return AbstractMountingPointDriver::GetSubclientMountpathList(kSubclient, list, mountAll, forFailover, useCache,
                                                                  refreshCache);
  }
};

}  // namespace

// ---- freshness ---------------------------------------------------------------------------

TEST_F(MountPathListTest, CacheIsFreshStrictlyInsideTheRefreshInterval) {
  SetControlServer(true);
  struct Case {
    const char* what;
    const char* refreshHours;  // nullptr: not set (8 hours)
    int64_t age;
    bool asks;
  } cases[] = {
      {"7 h, default interval", nullptr, 7 * 3600, false},
      {"exactly 8 h", nullptr, 8 * 3600, true},
      {"refreshed in the future", nullptr, -600, true},
      {"refreshed this second", nullptr, 0, true},
      {"interval 0", "0", 10, true},
      {"interval 1 h, 2 h old", "1", 2 * 3600, true},
      {"interval too large for an int", "99999999999", 30 * 24 * 3600, false},
      {"negative interval", "-3", 10, true},
  };
  for (const Case& c : cases) {
    KXPlatformInfo platform;
    if (c.refreshHours) {
      ASSERT_TRUE(platform.setRegString("~Tessel/MAMountPoint", "CacheRefreshHour", c.refreshHours));
    } else {
      platform.setRegString("~Tessel/MAMountPoint", "CacheRefreshHour", "");
    }
    CacheThree(0, c.age);
    ScopedArchiveManager am(Reply({ReplyEntry(77, "/fresh", 0, kMA2)}));
    std::vector<MountPathInfo> list;
    ASSERT_FALSE(Get(list).IsError()) << c.what;
    EXPECT_EQ(am.calls(), c.asks ? 1 : 0) << c.what;
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].mountPath, c.asks ? "/fresh" : "/p0") << c.what;
  }
}

TEST_F(MountPathListTest, EveryForcingFlagAsksEvenWhenFresh) {
  SetControlServer(true);
  for (int flag = 0; flag < 3; ++flag) {
    CacheThree(0, 60);
    ScopedArchiveManager am(Reply({ReplyEntry(77, "/fresh", 0, kMA2)}));
    std::vector<MountPathInfo> list;
    ASSERT_FALSE(Get(list, flag == 0, flag == 1, true, flag == 2).IsError());
    EXPECT_EQ(am.calls(), 1) << "flag " << flag;
  }
}

TEST_F(MountPathListTest, RequestRecordCarriesSubclientAndMountAllFlags) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/a", 0, kMA1)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, false).IsError());
  GetSubclientMountpathListArgs_t args = am.lastArgs();
  EXPECT_EQ(args.subclientId, kSubclient);
  EXPECT_EQ(args.withDetails, 1);
  EXPECT_EQ(args.forWrite, 1);
  EXPECT_EQ(args.forRead, 0);
  EXPECT_EQ(args.reserved, 0u);
  list.clear();
  ASSERT_FALSE(Get(list, true).IsError());
  args = am.lastArgs();
  EXPECT_EQ(args.forWrite, 0);
  EXPECT_EQ(args.forRead, 1);
}

// ---- order of cached entries --------------------------------------------------------------

TEST_F(MountPathListTest, CachedEntriesStartWithTheOneInUse) {
  SetControlServer(false);
  ScopedArchiveManager am(Reply({}));
  struct Case {
    int current;
    std::vector<int> order;
  } cases[] = {{2, {2, 0, 1}}, {1, {1, 0, 2}}, {0, {0, 1, 2}}, {5, {0, 1, 2}}, {-1, {0, 1, 2}}};
  for (const Case& c : cases) {
    CacheThree(c.current, 60);
    std::vector<MountPathInfo> list;
    ASSERT_FALSE(Get(list).IsError());
    EXPECT_EQ(Indexes(list), c.order) << "nFailoverCurrent " << c.current;
    ASSERT_EQ(list.size(), 3u);
    for (const auto& m : list) EXPECT_EQ(m.mountPath, "/p" + std::to_string(m.cacheIndex));
  }
  EXPECT_EQ(am.calls(), 0);
  EXPECT_TRUE(log_->Has(0, "Read cache for MAHostnameMangled[ma3*ma3*0*0] pathToMount[/p2] mountPathId[12]"));
}

TEST_F(MountPathListTest, DamagedCountNeverWalksBeyondTheCachedValues) {
  SetControlServer(false);
  CacheEntry(kSubclient, 0, kMA1, "/p0", 10);
  CacheState(kSubclient, 2000000000, 0, Now() - 60);
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list).IsError());
  EXPECT_EQ(Indexes(list), std::vector<int>{0});
}

// ---- caching a fresh reply -----------------------------------------------------------------

TEST_F(MountPathListTest, FreshReplyRefillsTheCacheAndListsThePrimaryOnly) {
  SetControlServer(true);
  // An older, longer list: its entry 3 stays behind but is no longer read.
  CacheEntry(kSubclient, 3, "old*old*0*0", "/old", 3);
  CacheState(kSubclient, 3, 3, 0);
  const int64_t bigId = (int64_t{1} << 32) + 5;
  ScopedArchiveManager am(Reply({ReplyEntry(11, "/alt1", -1, kMA2), ReplyEntry(bigId, "/primary", 0, kMA1),
                                 ReplyEntry(12, "/alt2", -1, kMA3)}));
  std::vector<MountPathInfo> list;
  const int64_t before = Now();
  ASSERT_FALSE(Get(list).IsError());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].mountPath, "/primary");
  EXPECT_EQ(list[0].hostName, kMA1);
  EXPECT_EQ(list[0].mountPathId, bigId);
  EXPECT_EQ(list[0].cacheIndex, 0);

  auto v = CacheValues(kSubclient);
  EXPECT_EQ(v["sMAHostnameMangled"], kMA1);
  EXPECT_EQ(v["sMAMountPath"], "/primary");
  EXPECT_EQ(v["iMAMountPathId"], "5");  // cut to 32 bits
  EXPECT_EQ(v["sMAHostnameMangled_1"], kMA2);
  EXPECT_EQ(v["sMAMountPath_1"], "/alt1");
  EXPECT_EQ(v["iMAMountPathId_1"], "11");
  EXPECT_EQ(v["sMAMountPath_2"], "/alt2");
  EXPECT_EQ(v["nFailoverNumber"], "2");
  EXPECT_EQ(v["nFailoverCurrent"], "0");
  EXPECT_EQ(v["sMAMountPath_3"], "/old");
  const int64_t refreshed = std::stoll(v["nLastRefreshTime"]);
  EXPECT_GE(refreshed, before);
  EXPECT_LE(refreshed, Now());
  EXPECT_TRUE(log_->Has(0, "Cached [sMAHostnameMangled_1][ma2*ma2*0*0] [sMAMountPath_1][/alt1] [iMAMountPathId_1][11]"));
  EXPECT_TRUE(log_->Has(
      0, "Cached LastRefreshTime[" + std::to_string(refreshed) + "] nFailoverNumber[2] and reset nFailoverCurrent"));

  // A later request (a refresh of this very second still counts as stale) runs on the cache.
  ASSERT_TRUE(KXPlatformInfo().setRegString(SubclientKey(kSubclient), "nLastRefreshTime", std::to_string(refreshed - 60)));
  list.clear();
  ASSERT_FALSE(Get(list).IsError());
  EXPECT_EQ(am.calls(), 1);
  EXPECT_EQ(Indexes(list), (std::vector<int>{0, 1, 2}));
}

TEST_F(MountPathListTest, FreshReplyWithoutCachingLeavesTheRegistryAlone) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/p", 0, kMA1), ReplyEntry(2, "/q", -1, kMA2)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, false, false, /*useCache=*/false).IsError());
  EXPECT_EQ(list.size(), 1u);
  EXPECT_TRUE(CacheKeyExists(kSubclient));  // made when it was first read
  EXPECT_TRUE(CacheValues(kSubclient).empty());
}

TEST_F(MountPathListTest, ReplyShapesTheArchiveManagerMayNotSend) {
  SetControlServer(true);
  {
    // No primary (the administrator detached it): the old primary leaves the cache, and both
    // the fresh answer and the cache say that the subclient has none.
    CacheThree(0, 9 * 3600);
    ScopedArchiveManager am(Reply({ReplyEntry(9, "/a", -1, kMA2)}));
    std::vector<MountPathInfo> list;
    CZoError err = Get(list);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1168)) << err.AsString();
    EXPECT_TRUE(list.empty());
    auto v = CacheValues(kSubclient);
    EXPECT_EQ(v["sMAHostnameMangled"], "");
    EXPECT_EQ(v["sMAMountPath_1"], "/a");
    EXPECT_EQ(v["nFailoverNumber"], "1");
    ASSERT_TRUE(KXPlatformInfo().setRegString(SubclientKey(kSubclient), "nLastRefreshTime", std::to_string(Now() - 60)));
    err = Get(list);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1168)) << err.AsString();
    EXPECT_EQ(am.calls(), 1);
    // A failover still reaches the alternate.
    ASSERT_FALSE(Get(list, false, /*forFailover=*/true).IsError());
    EXPECT_EQ(Indexes(list), std::vector<int>{1});
  }
  {
    // A later primary replaces an earlier one; an unknown kind is neither listed nor cached;
    // a malformed raw path is skipped.
    MountpathInfo_t broken = ReplyEntry(4, "/x", -1, kMA3);
    broken.rawMountPath = "no pipes here";
    // Stale, so that the answer is asked for whether or not a second passed since the failover.
    ASSERT_TRUE(KXPlatformInfo().setRegString(SubclientKey(kSubclient), "nLastRefreshTime", std::to_string(Now() - 9 * 3600)));
    ScopedArchiveManager am(Reply({ReplyEntry(1, "/first", 0, kMA1), ReplyEntry(3, "/odd", 7, kMA3), broken,
                                   ReplyEntry(2, "/second", 0, kMA2)}));
    std::vector<MountPathInfo> list;
    ASSERT_FALSE(Get(list).IsError());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].mountPath, "/second");
    auto v = CacheValues(kSubclient);
    EXPECT_EQ(v["nFailoverNumber"], "0");
    for (const auto& [name, value] : v) EXPECT_NE(value, "/odd") << name;
    EXPECT_TRUE(log_->Has(-1, "Skip malformed mount path [no pipes here] id[4] of MAHostnameMangled[ma3*ma3*0*0]"));
  }
}

TEST_F(MountPathListTest, MountAllListsTheWholeReplyInOrderAndCachesNothing) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({ReplyEntry(3, "/c", -1, kMA3), ReplyEntry(1, "/a", 0, kMA1),
                                 ReplyEntry(2, "/b", -1, kMA2)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, /*mountAll=*/true, false, /*useCache=*/true).IsError());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].mountPath, "/c");
  EXPECT_EQ(list[1].mountPath, "/a");
  EXPECT_EQ(list[2].mountPath, "/b");
  EXPECT_EQ(list[0].mountPathId, 3);
  EXPECT_TRUE(CacheValues(kSubclient).empty());
}

// ---- control server offline and failover ----------------------------------------------------

TEST_F(MountPathListTest, OfflineControlServerNeverAsksAndSkipsItsOwnMachine) {
  SetControlServer(false, "ma2*ma2*0*0");
  CacheThree(0, 99 * 3600);  // stale, but the only source
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/fresh", 0, kMA1)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, false, false, false, /*refreshCache=*/true).IsError());
  EXPECT_EQ(am.calls(), 0);
  EXPECT_EQ(Indexes(list), (std::vector<int>{0, 2}));
  EXPECT_TRUE(log_->Has(0, "Skip cache for MAHostnameMangled[ma2*ma2*0*0] pathToMount[/p1] mountPathId[11]"));

  // Mount-all needs the archive manager: nothing can be offered.
  list.clear();
  CZoError err = Get(list, /*mountAll=*/true);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 50));
  EXPECT_EQ(am.calls(), 0);
}

TEST_F(MountPathListTest, PlatformTypeBitMarksTheControlServerOnline) {
  SetControlServer(false);
  ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", "nPlatformType", "3"));
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/fresh", 0, kMA1)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list).IsError());
  EXPECT_EQ(am.calls(), 1);
}

TEST_F(MountPathListTest, FailoverListsTheAlternatesThenThePrimary) {
  SetControlServer(false, "ma3");
  CacheThree(1, 60);
  CacheEntry(kSubclient, 3, "", "/nohost", 13);
  CacheState(kSubclient, 3, 1, Now() - 60);
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, false, /*forFailover=*/true).IsError());
  // Entry 2 is on the control server's machine; entry 3 has no host and is offered anyway;
  // the primary comes last, so that a context on an alternate can fail back.
  EXPECT_EQ(Indexes(list), (std::vector<int>{1, 3, 0}));
  EXPECT_TRUE(log_->Has(0, "Read failover [sMAHostnameMangled_1][ma2*ma2*0*0] [sMAMountPath_1][/p1] [iMAMountPathId_1][11]"));
  EXPECT_TRUE(log_->Has(0,
                        "Skip failover [sMAHostnameMangled_2][ma3*ma3*0*0] [sMAMountPath_2][/p2] [iMAMountPathId_2][12] "
                        "for CS/MA Combo and CS is offline"));
}

TEST_F(MountPathListTest, FailoverWithOnlineControlServerAsksAndListsTheFreshAlternates) {
  SetControlServer(true);
  CacheThree(0, 60);
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/fresh", 0, kMA1), ReplyEntry(2, "/alt", -1, kMA2)}));
  std::vector<MountPathInfo> list;
  ASSERT_FALSE(Get(list, false, /*forFailover=*/true).IsError());
  EXPECT_EQ(am.calls(), 1);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].mountPath, "/alt");
  EXPECT_EQ(list[0].cacheIndex, 1);
  EXPECT_EQ(list[1].mountPath, "/fresh");
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverNumber"], "1");
}

// ---- failures ------------------------------------------------------------------------------

TEST_F(MountPathListTest, EmptyReplyDeletesTheSubclientKey) {
  SetControlServer(true);
  CacheThree(0, 9 * 3600);
  ScopedArchiveManager am(Reply({}));
  std::vector<MountPathInfo> list;
  CZoError err = Get(list);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 4306));
  EXPECT_EQ(err.Message(), "getSubclientMountpathList return no library path for subclient[42]\n");
  EXPECT_EQ(err.Frames().at(0).file, "AbstractMountingPointDriver.cpp");
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(CacheKeyExists(kSubclient));
  EXPECT_TRUE(kxmp::events::ReadAll().empty());
}

TEST_F(MountPathListTest, ArchiveManagerFailureFallsBackToTheCacheOnlyWhenAllowed) {
  SetControlServer(true);
  CacheThree(2, 9 * 3600);
  ScopedArchiveManager am(Reply({}, 5));
  std::vector<MountPathInfo> list;
  CZoError err = Get(list, false, false, /*useCache=*/false);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1359));
  EXPECT_EQ(err.Message(), "Failed to getSubclientMountpathList with error [5]\n");
  EXPECT_TRUE(log_->Has(-1, "Failed to getSubclientMountpathList with error [5]\n"));
  EXPECT_TRUE(list.empty());

  ASSERT_FALSE(Get(list, false, false, /*useCache=*/true).IsError());
  EXPECT_TRUE(log_->Has(0, "Failed to getSubclientMountpathList with error [5], proceed with cache\n"));
  EXPECT_EQ(Indexes(list), (std::vector<int>{2, 0, 1}));
  EXPECT_TRUE(CacheKeyExists(kSubclient));
}

TEST_F(MountPathListTest, NothingUsableRaisesTheEventOnce) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({}, 16));
  std::vector<MountPathInfo> list;
  CZoError err = Get(list);  // empty cache
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 50));
  EXPECT_EQ(err.Message(), "No mount path is ready to use.");
  EXPECT_TRUE(log_->Has(-1, "Failed to find usable mount path"));
  EXPECT_TRUE(log_->Has(0, "Cache is empty"));
  auto events = kxmp::events::ReadAll();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, 0x4A000574u);
  EXPECT_EQ(events[0].args, std::vector<std::string>{"42"});
}

// ---- the raw mount path ---------------------------------------------------------------------

TEST(ParseMountPath, CutsThePathBetweenTheBrackets) {
  MountpathInfo_t entry;
  entry.mountPathId = -3;
  entry.rawMountPath = "lib|[/mnt/disk1]|x";
  entry.hostNameMangled = "ma*ma*0*0";
  MountPathInfo record;
  record.cacheIndex = 9;
  AbstractMountingPointDriver::parseMountPath(entry, record);
  EXPECT_EQ(record.mountPath, "/mnt/disk1");
  EXPECT_EQ(record.hostName, "ma*ma*0*0");
  EXPECT_EQ(record.mountPathId, -3);
  EXPECT_EQ(record.cacheIndex, 9);
  entry.rawMountPath = "a|b|[/p|q]|c";  // first and last "|" count
  AbstractMountingPointDriver::parseMountPath(entry, record);
  EXPECT_EQ(record.mountPath, "|[/p|q");
}

TEST(ParseMountPath, MalformedRawTextNeverReadsOutOfBounds) {
  for (const char* raw : {"", "no pipe", "one|pipe", "||", "|x|", "a|[]|b", "|[|"}) {
    MountpathInfo_t entry;
    entry.rawMountPath = raw;
    MountPathInfo record;
    record.mountPath = "untouched";
    EXPECT_FALSE(AbstractMountingPointDriver::tryParseMountPath(entry, record)) << raw;
    EXPECT_EQ(record.mountPath, "untouched");
    AbstractMountingPointDriver::parseMountPath(entry, record);
    EXPECT_EQ(record.mountPath, "") << raw;
  }
}
