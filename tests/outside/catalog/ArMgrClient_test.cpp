#include <cstdio>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "outside/catalog/ArMgrClientAPI.h"
#include "support/CatalogSeams.h"
#include "outside/catalog/sqlite/CatalogDb.h"
#include "CatalogFixture.h"

using kxmp::catalog::kKindAlternate;
using kxmp::catalog::kKindPrimary;

namespace {

class ArMgrClient : public kxmp::test::CatalogTest {
 protected:
  int Ask(uint64_t subclientId, GetSubclientMountpathListRet_t& ret) {
    GetSubclientMountpathListArgs_t args{};
    args.subclientId = subclientId;
    args.withDetails = 1;
    args.forWrite = 1;
    ArMgrClientAPI client;
    return client.getSubclientMountpathList(&args, &ret);
  }
};

TEST_F(ArMgrClient, ListsMountPathsInPositionOrderWithRawFormat) {
  AddSubclient(7, "guid-7");
  AddMountPath(11, "ma1*ma1*2*0", "/mnt/disk1", "libA");
  AddMountPath(12, "ma2", "/mnt/disk 2", "libB");
  AddMountPath(13, "ma3", "/mnt/disk3", "");
  // Attached out of order: the list follows the positions, not ids or insertion.
  Attach(7, 13, kKindAlternate, 30);
  Attach(7, 11, kKindPrimary, 20);
  Attach(7, 12, kKindAlternate, 10);

  GetSubclientMountpathListRet_t ret;
  ASSERT_EQ(Ask(7, ret), 0);
  EXPECT_EQ(ret.subclientId, 7u);
  ASSERT_EQ(ret.mountPaths.size(), 3u);
  EXPECT_EQ(ret.mountPaths[0].mountPathId, 12);
  EXPECT_EQ(ret.mountPaths[0].rawMountPath, "libB|[/mnt/disk 2]|12");
  EXPECT_EQ(ret.mountPaths[0].kind, kKindAlternate);
  EXPECT_EQ(ret.mountPaths[0].hostNameMangled, "ma2");
  EXPECT_EQ(ret.mountPaths[1].rawMountPath, "libA|[/mnt/disk1]|11");
  EXPECT_EQ(ret.mountPaths[1].kind, kKindPrimary);
  EXPECT_EQ(ret.mountPaths[1].hostNameMangled, "ma1*ma1*2*0");
  EXPECT_EQ(ret.mountPaths[1].position, 20);
  EXPECT_EQ(ret.mountPaths[2].rawMountPath, "|[/mnt/disk3]|13");

  // The path is what lies between the first and the last "|", one character in from each.
  for (const auto& m : ret.mountPaths) {
    size_t f = m.rawMountPath.find('|'), l = m.rawMountPath.rfind('|');
    EXPECT_EQ(m.rawMountPath.substr(f + 2, l - f - 3).front(), '/');
  }
}

TEST_F(ArMgrClient, SubclientWithoutMountPathsGivesAnEmptyList) {
  AddSubclient(7, "guid-7");
  GetSubclientMountpathListRet_t ret;
  EXPECT_EQ(Ask(7, ret), 0);
  EXPECT_TRUE(ret.mountPaths.empty());
  EXPECT_EQ(Ask(99, ret), 0);  // unknown subclient: nothing attached either
  EXPECT_TRUE(ret.mountPaths.empty());
}

TEST_F(ArMgrClient, MissingOrBrokenCatalogFailsWithoutCreatingOrTouchingTheReply) {
  GetSubclientMountpathListRet_t ret;
  ret.mountPaths.resize(1);
  ASSERT_EQ(std::remove(CatalogPath().c_str()), 0);
  EXPECT_EQ(Ask(7, ret), kArMgrNoCatalog);
  EXPECT_FALSE(kxmp::test::PathExists(CatalogPath()));  // the reader never creates it
  EXPECT_EQ(ret.mountPaths.size(), 1u);

  kxmp::test::WriteFile(CatalogPath(), "this is not a database, just some text that is long enough");
  EXPECT_EQ(Ask(7, ret), kArMgrUnreadable);
  EXPECT_EQ(ret.mountPaths.size(), 1u);

  kxmp::test::WriteFile(CatalogPath(), "");  // an empty file is a database without tables
  EXPECT_EQ(Ask(7, ret), kArMgrUnreadable);

  ArMgrClientAPI client;
  EXPECT_EQ(client.getSubclientMountpathList(nullptr, &ret), kArMgrBadArgs);
}

TEST_F(ArMgrClient, CatalogMadeByHandWithTheSqliteShellWorks) {
  ASSERT_EQ(std::remove(CatalogPath().c_str()), 0);
  std::string script = home_->sub("make.sql");
  kxmp::test::WriteFile(script,
      "CREATE TABLE subclient (id INTEGER PRIMARY KEY, guid TEXT NOT NULL, backupset_guid TEXT NOT NULL DEFAULT '');\n"
      "CREATE TABLE mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, library TEXT NOT NULL DEFAULT '');\n"
      "CREATE TABLE subclient_mount_path (subclient_id INTEGER NOT NULL, mount_path_id INTEGER NOT NULL,\n"
      "    kind INTEGER NOT NULL, position INTEGER NOT NULL, PRIMARY KEY (subclient_id, mount_path_id));\n"
      "INSERT INTO subclient VALUES (5, 'g5', 'bs5');\n"
      "INSERT INTO mount_path VALUES (1, 'ma1', '/a', 'L'), (2, 'ma2', '/b', 'x|y');\n"
      "INSERT INTO mount_path (id, host, path) VALUES (3, 'ma3', '/c');\n"
      "INSERT INTO subclient_mount_path VALUES (5, 2, -1, 2), (5, 1, 0, 1), (5, 3, -1, 3), (5, 4, -1, 0);\n");
  std::string cmd = "sqlite3 '" + CatalogPath() + "' < '" + script + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  GetSubclientMountpathListRet_t ret;
  ASSERT_EQ(Ask(5, ret), 0);
  // Mount path 4 does not exist: its attachment is left out. A "|" in a hand-made library
  // name is dropped so that the path still parses.
  ASSERT_EQ(ret.mountPaths.size(), 3u);
  EXPECT_EQ(ret.mountPaths[0].rawMountPath, "L|[/a]|1");
  EXPECT_EQ(ret.mountPaths[1].rawMountPath, "xy|[/b]|2");
  EXPECT_EQ(ret.mountPaths[2].rawMountPath, "|[/c]|3");

  // The admin API accepts the hand-made catalog as it is.
  EXPECT_FALSE(admin_->CreateSchema().IsError());
  EXPECT_FALSE(admin_->Detach(5, 3).IsError());
  ASSERT_EQ(Ask(5, ret), 0);
  EXPECT_EQ(ret.mountPaths.size(), 2u);
}

TEST_F(ArMgrClient, WriterHoldingTheCatalogPastTheTimeoutGivesBusy) {
  AddSubclient(7, "guid-7");
  kxmp::catalog::CatalogDb writer;
  ASSERT_FALSE(writer.Open(CatalogPath(), kxmp::catalog::CatalogDb::Mode::ReadWrite).IsError());
  ASSERT_FALSE(writer.Exec("BEGIN EXCLUSIVE").IsError());
  GetSubclientMountpathListRet_t ret;
  EXPECT_EQ(Ask(7, ret), kArMgrBusy);
  ASSERT_FALSE(writer.Exec("COMMIT").IsError());
  EXPECT_EQ(Ask(7, ret), 0);
}

TEST_F(ArMgrClient, SeamAnswersCountsAndNests) {
  AddSubclient(7, "guid-7");
  AddMountPath(1, "ma1", "/real");
  Attach(7, 1, kKindPrimary, 0);
  GetSubclientMountpathListRet_t ret;
  {
    kxmp::catalog::ScopedArchiveManager outer([](const auto&, auto& r) {
      r.mountPaths.push_back(MountpathInfo_t{42, "l|[/fake]|42", 0, 0, "fakehost"});
      return 0;
    });
    {
      kxmp::catalog::ScopedArchiveManager inner([](const auto&, auto&) { return 9; });
      GetSubclientMountpathListArgs_t args{};
      args.subclientId = 77;
      args.forRead = 1;
      ArMgrClientAPI client;
      EXPECT_EQ(client.getSubclientMountpathList(&args, &ret), 9);
      EXPECT_EQ(inner.calls(), 1);
      EXPECT_EQ(inner.lastArgs().subclientId, 77u);
      EXPECT_EQ(inner.lastArgs().forRead, 1);
      EXPECT_EQ(outer.calls(), 0);
    }
    ASSERT_EQ(Ask(7, ret), 0);
    ASSERT_EQ(ret.mountPaths.size(), 1u);
    EXPECT_EQ(ret.mountPaths[0].hostNameMangled, "fakehost");
    EXPECT_EQ(outer.calls(), 1);
  }
  ret = {};
  ASSERT_EQ(Ask(7, ret), 0);  // back to the catalog
  ASSERT_EQ(ret.mountPaths.size(), 1u);
  EXPECT_EQ(ret.mountPaths[0].rawMountPath, "lib|[/real]|1");
}

TEST_F(ArMgrClient, SeamCountsCallsFromManyThreads) {
  kxmp::catalog::ScopedArchiveManager fake([](const auto&, auto&) { return 0; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        GetSubclientMountpathListArgs_t args{};
        GetSubclientMountpathListRet_t ret;
        ArMgrClientAPI().getSubclientMountpathList(&args, &ret);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(fake.calls(), 200);
}

}  // namespace
