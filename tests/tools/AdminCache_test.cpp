// test-labels: integration
// kxmp cache, failover and events against a home with a catalog of three storage hosts:
// what they print, their exit statuses, and what they leave in the registry and on the
// mount paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/event/EventLog.h"
#include "outside/util/CZoFile.h"
#include "support/MountCache.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

using kxmp::catalog::CatalogAdmin;
using kxmp::test::CacheKeyExists;
using kxmp::test::CacheValues;
using kxmp::test::JsonLines;
using kxmp::test::Kxmp;
using kxmp::test::PathExists;
using kxmp::test::RunResult;
using kxmp::test::Summary;
using nlohmann::json;

namespace {

constexpr uint64_t kSubclient = 42;
constexpr uint64_t kBareSubclient = 43;  // no mount paths

class AdminCacheTest : public kxmp::test::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    CatalogAdmin admin;
    ASSERT_FALSE(admin.CreateSchema().IsError());
    ASSERT_FALSE(admin.PutSubclient({kSubclient, "g42", "b42"}).IsError());
    ASSERT_FALSE(admin.PutSubclient({kBareSubclient, "g43", ""}).IsError());
    for (int i = 1; i <= 3; ++i) {
      ASSERT_EQ(::mkdir(home_->sub("storage").c_str(), 0700) == 0 || errno == EEXIST, true);
      ASSERT_EQ(::mkdir(home_->sub("storage/ma" + std::to_string(i)).c_str(), 0700), 0);
      ASSERT_EQ(::mkdir(Path(i).c_str(), 0700), 0);
      ASSERT_FALSE(admin.PutMountPath({100 + i, Host(i), Path(i), "lib"}).IsError());
      ASSERT_FALSE(admin
                       .Attach(kSubclient, 100 + i,
                               i == 1 ? kxmp::catalog::kKindPrimary : kxmp::catalog::kKindAlternate, i)
                       .IsError());
    }
    ControlServer(true);
  }

  static std::string Host(int i) { return "ma" + std::to_string(i) + "*ma" + std::to_string(i) + "*1*2"; }
  std::string Path(int i) const { return home_->sub("storage/ma" + std::to_string(i) + "/disk"); }
  void ControlServer(bool online) { kxmp::test::WriteFile(home_->sub("registry/Runtime/nCSONLINE"), online ? "1" : "0"); }
  std::string Cached(const std::string& value) { return CacheValues(kSubclient)[value]; }

  void Refresh() {
    RunResult r = Kxmp({"cache", "refresh", "--subclient", "42", "--local"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

TEST_F(AdminCacheTest, RefreshShowAndDropTheCacheOfASubclient) {
  RunResult r = Kxmp({"cache", "show", "--subclient", "42"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "kxmp cache: nothing is cached for subclient 42 in " + home_->sub("registry") + "\n");

  r = Kxmp({"cache", "refresh", "--subclient", "42", "--local", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<json> lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0]["type"], "status");
  EXPECT_EQ(lines[1]["type"], "summary");
  EXPECT_EQ(lines[1]["refreshedBy"], "tool");
  EXPECT_EQ(Cached("sMAMountPath"), Path(1));
  EXPECT_EQ(Cached("sMAMountPath_2"), Path(3));
  EXPECT_EQ(Cached("nFailoverNumber"), "2");

  r = Kxmp({"cache", "show", "--subclient", "42", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  json shown = Summary(r);
  EXPECT_EQ(shown["failoverNumber"], 2);
  EXPECT_EQ(shown["failoverCurrent"], 0);
  EXPECT_EQ(shown["lastRefreshTime"], std::stoll(Cached("nLastRefreshTime")));
  ASSERT_EQ(shown["entries"].size(), 3u);
  EXPECT_EQ(shown["entries"][0],
            json({{"index", 0}, {"host", Host(1)}, {"mountPath", Path(1)}, {"mountPathId", 101}, {"inUse", true}}));
  EXPECT_EQ(shown["entries"][2]["mountPath"], Path(3));
  EXPECT_EQ(shown["entries"][2]["inUse"], false);

  r = Kxmp({"cache", "show", "--subclient", "42"});
  EXPECT_NE(r.out.find("0 (primary)  *       " + Host(1) + "  101  " + Path(1)), std::string::npos) << r.out;

  r = Kxmp({"cache", "drop", "--subclient", "42"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(CacheKeyExists(kSubclient));
  EXPECT_EQ(Kxmp({"cache", "drop", "--subclient", "42"}).status, 3);
}

TEST_F(AdminCacheTest, ARefreshThatCannotReachTheCatalogSaysSoAndKeepsTheCache) {
  Refresh();
  kxmp::test::WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/sMAMountPath_1"), "/kept");
  ControlServer(false);
  RunResult r = Kxmp({"cache", "refresh", "--subclient", "42", "--local"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the cache of subclient 42 was not refreshed"), std::string::npos) << r.err;
  EXPECT_EQ(Cached("sMAMountPath_1"), "/kept");

  // A subclient the catalog has no mount path for is "not found", and gets no cache.
  ControlServer(true);
  r = Kxmp({"cache", "refresh", "--subclient", "43", "--local"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("no usable mount path for subclient 43"), std::string::npos) << r.err;
  EXPECT_FALSE(CacheKeyExists(kBareSubclient));
}

TEST_F(AdminCacheTest, RefreshGoesThroughTheHostWhileOneServes) {
  const std::string socket = home_->sub("run/mountpoint.sock");
  {
    kxmp::test::ServerProcess host;
    ASSERT_TRUE(host.Start({KXMP_BINARY_DIR "/tools/host/kxmp-host", "--home", home_->path()}));
    ASSERT_TRUE(host.WaitForLine("kxmp-host: serving " + socket, 60000)) << host.Output();
    RunResult r = Kxmp({"cache", "refresh", "--subclient", "42", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Summary(r)["refreshedBy"], "host");
    EXPECT_EQ(Cached("sMAMountPath"), Path(1));
    EXPECT_NE(kxmp::test::ReadFile(home_->sub("log/kxmp-host.log")).find("refreshed cache"), std::string::npos);
    EXPECT_EQ(host.Stop(SIGTERM), 0);
  }
  // Without a host the tool refreshes by itself.
  RunResult r = Kxmp({"cache", "refresh", "--subclient", "42", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["refreshedBy"], "tool");
}

TEST_F(AdminCacheTest, FailoverMovesTheBackupContextToTheNextCachedMountPath) {
  Refresh();
  // The mount path answers: nothing to do unless forced.
  RunResult r = Kxmp({"failover", "--subclient", "42", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["failedOver"], false);
  EXPECT_EQ(Summary(r)["from"]["mountPath"], Path(1));

  // Online the catalog is asked, and its alternates are where a failover goes.
  r = Kxmp({"failover", "--subclient", "42", "--force", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Summary(r)["to"]["mountPath"], Path(2));
  EXPECT_EQ(Cached("nFailoverCurrent"), "1");
  EXPECT_EQ(Cached("sMAMountPath"), Path(1));  // the primary stays cached

  // Offline, from the alternate in use: the next alternate, then back to the primary.
  ControlServer(false);
  for (int to : {3, 1}) {
    r = Kxmp({"failover", "--subclient", "42", "--force", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> lines = JsonLines(r.out);
    ASSERT_GE(lines.size(), 2u);
    for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i]["type"], "status") << lines[i];
    json summary = lines.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["failedOver"], true);
    EXPECT_EQ(summary["to"]["host"], Host(to));
    EXPECT_EQ(summary["to"]["mountPath"], Path(to));
    EXPECT_EQ(summary["failoverCurrent"], to - 1);
    EXPECT_EQ(Cached("nFailoverCurrent"), std::to_string(to - 1));
    // The root folder that backups use: the backup set's GUID.
    EXPECT_TRUE(PathExists(Path(to) + "/KX_APP_DUMPS/b42"));
  }
}

TEST_F(AdminCacheTest, FailoverWithNoUsableAlternativeFailsAndSaysWhy) {
  Refresh();
  ControlServer(false);
  for (int i : {2, 3}) ASSERT_FALSE(CZoDirectory::Remove(Path(i), true, false).IsError());
  RunResult r = Kxmp({"failover", "--subclient", "42", "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no other mount path of subclient 42 could be used; the last tried was " + Path(3)),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Cached("nFailoverCurrent"), "0");

  // A subclient with nothing to open is "not found".
  r = Kxmp({"failover", "--subclient", "43"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("subclient 43 has no usable mount path"), std::string::npos) << r.err;
  // Offline with nothing cached, the service raises its event, which the operator sees.
  r = Kxmp({"cache", "refresh", "--subclient", "43", "--local"});
  EXPECT_EQ(r.status, 3) << r.err;
  r = Kxmp({"events", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  bool seen = false;
  for (const json& e : JsonLines(r.out)) {
    if (e["id"] == "0x4A000574" && e["subclient"] == "43") {
      seen = true;
      EXPECT_EQ(e["meaning"], "no usable mount path for subclient 43");
    }
  }
  EXPECT_TRUE(seen) << r.out;
}

kxmp::events::EventRecord Event(unsigned int id, std::string arg, int64_t ms) {
  kxmp::events::EventRecord e;
  e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
  e.id = id;
  e.args = {std::move(arg)};
  return e;
}

TEST_F(AdminCacheTest, EventsAreShownWithTheirMeaningAndFollowed) {
  RunResult r = Kxmp({"events"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no events in " + home_->sub("log/events.log") + "\n");

  ASSERT_FALSE(kxmp::events::Append(Event(0x4A000574, "4711", 1714564800123)).IsError());
  ASSERT_FALSE(kxmp::events::Append(Event(0x4A000569, "ma1*ma1*1*2", 1714564801000)).IsError());
  ASSERT_FALSE(kxmp::events::Append(Event(0x12345678, "x\x1b]0;t\x07", 1714564802000)).IsError());
  r = Kxmp({"events"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "2024-05-01T12:00:00.123Z  0x4A000574  no usable mount path for subclient 4711\n"
            "2024-05-01T12:00:01.000Z  0x4A000569  the data server of storage host ma1*ma1*1*2 is not ready\n"
            "2024-05-01T12:00:02.000Z  0x12345678  event 0x12345678 x\\x1b]0;t\\x07\n");  // no escape reaches the terminal
  r = Kxmp({"events", "--json"});
  std::vector<json> lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], json({{"type", "event"},
                            {"time", "2024-05-01T12:00:01.000Z"},
                            {"id", "0x4A000569"},
                            {"meaning", "the data server of storage host ma1*ma1*1*2 is not ready"},
                            {"host", "ma1*ma1*1*2"},
                            {"args", {"ma1*ma1*1*2"}}}));

  // Followed until stopped, which ends it as every subcommand ends when stopped.
  struct Stop {
    int signal;
    int status;
    int64_t ms;
    std::string line;
  };
  for (const Stop& stop : {Stop{SIGINT, 130, 1714564803000, "2024-05-01T12:00:03.000Z"},
                           Stop{SIGTERM, 143, 1714564804000, "2024-05-01T12:00:04.000Z"}}) {
    kxmp::test::ServerProcess follow;
    ASSERT_TRUE(follow.Start({kxmp::test::kKxmpTool, "events", "--follow"}));
    ASSERT_TRUE(follow.WaitForLine("2024-05-01T12:00:02.000Z", 30000)) << follow.Output();
    ASSERT_FALSE(kxmp::events::Append(Event(0x4A000574, "42", stop.ms)).IsError());
    EXPECT_TRUE(follow.WaitForLine(stop.line + "  0x4A000574  no usable mount path for subclient 42", 30000))
        << follow.Output();
    EXPECT_EQ(follow.Stop(stop.signal), stop.status);
  }
}

}  // namespace
