// test-labels: concurrency
// Readers in several threads ask the archive manager client and the identity while another
// process rewrites the catalog and a thread of this process edits it through the admin API.
// Every answer must be complete and consistent (one writer transaction, never part of one),
// and nobody may time out.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "outside/catalog/ApplicationId.h"
#include "outside/catalog/ArMgrClientAPI.h"
#include "outside/catalog/sqlite/CatalogDb.h"
#include "CatalogFixture.h"

using kxmp::catalog::CatalogDb;
using kxmp::catalog::kKindAlternate;
using kxmp::catalog::kKindPrimary;

namespace {

constexpr int kGenerations = 150;

// One generation in one transaction: every path names the generation, and the order of the
// three mount paths flips with its parity.
bool WriteGeneration(const std::string& path, int g) {
  CatalogDb db;
  if (db.Open(path, CatalogDb::Mode::ReadWrite).IsError()) return false;
  kxmp::catalog::CatalogTransaction tx(db);
  if (tx.Begin().IsError()) return false;
  std::string sql = "UPDATE mount_path SET path = '/g" + std::to_string(g) + "/' || id WHERE id <= 3";
  if (db.Exec(sql.c_str()).IsError()) return false;
  // Through free positions: one position holds one mount path at every step.
  if (db.Exec("UPDATE subclient_mount_path SET position = position + 10 WHERE subclient_id = 7").IsError()) return false;
  sql = g % 2 ? "UPDATE subclient_mount_path SET position = 3 - mount_path_id WHERE subclient_id = 7"
              : "UPDATE subclient_mount_path SET position = mount_path_id WHERE subclient_id = 7";
  if (db.Exec(sql.c_str()).IsError()) return false;
  return !tx.Commit().IsError();
}

// Checks one reply: three entries of one generation, in that generation's order.
bool Consistent(const GetSubclientMountpathListRet_t& ret, std::string& why) {
  if (ret.mountPaths.size() != 3) {
    why = "size " + std::to_string(ret.mountPaths.size());
    return false;
  }
  std::string raw0 = ret.mountPaths[0].rawMountPath;
  size_t g0 = raw0.find("[/g") + 3;
  int gen = std::stoi(raw0.substr(g0, raw0.find('/', g0) - g0));
  for (size_t i = 0; i < 3; ++i) {
    int64_t id = gen % 2 ? 3 - static_cast<int64_t>(i) : static_cast<int64_t>(i) + 1;
    std::string want = "L|[/g" + std::to_string(gen) + "/" + std::to_string(id) + "]|" + std::to_string(id);
    if (ret.mountPaths[i].rawMountPath != want) {
      why = ret.mountPaths[i].rawMountPath + " != " + want;
      return false;
    }
  }
  return true;
}

class CatalogConcurrency : public kxmp::test::CatalogTest {};

TEST_F(CatalogConcurrency, ReadersSeeWholeTransactionsWhileOthersWrite) {
  AddSubclient(7, "g7", "b7");
  AddSubclient(8, "g8");
  for (int64_t id = 1; id <= 4; ++id) AddMountPath(id, "ma", "/g0/" + std::to_string(id), "L");
  Attach(7, 1, kKindPrimary, 1);
  Attach(7, 2, kKindAlternate, 2);
  Attach(7, 3, kKindAlternate, 3);

  const std::string path = CatalogPath();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = true;
    for (int g = 1; g <= kGenerations && ok; ++g) ok = WriteGeneration(path, g);
    ::_exit(ok ? 0 : 1);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, failures{0};
  std::string firstFailure;
  std::mutex failureMutex;
  auto fail = [&](const std::string& why) {
    std::lock_guard<std::mutex> lock(failureMutex);
    if (failures++ == 0) firstFailure = why;
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        GetSubclientMountpathListArgs_t args{};
        args.subclientId = 7;
        GetSubclientMountpathListRet_t ret;
        ArMgrClientAPI client;
        int rc = client.getSubclientMountpathList(&args, &ret);
        std::string why;
        if (rc != 0) {
          fail("code " + std::to_string(rc) + ": " + client.getLastError().AsString());
        } else if (!Consistent(ret, why)) {
          fail(why);
        }
        ApplicationId id(2, 7);
        std::string guid;
        if (id.getBackupSet(nullptr) == nullptr || id.getBackupSet(nullptr)->getGUIDStr(guid, nullptr) != 0 ||
            guid != "b7") {
          fail("identity: " + id.getLastError().AsString());
        }
        ++reads;
      }
    });
  }
  threads.emplace_back([&] {
    kxmp::catalog::CatalogAdmin admin;
    for (int i = 0; i < 100 && failures == 0; ++i) {
      CZoError e = admin.Attach(8, 4, i % 2 ? kKindPrimary : kKindAlternate, i);
      if (!e.IsError()) e = admin.Detach(8, 4);
      if (e.IsError()) fail("admin: " + e.AsString());
    }
  });

  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  threads.back().join();
  threads.pop_back();
  stop = true;
  for (auto& t : threads) t.join();

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failures.load(), 0) << firstFailure;
  EXPECT_GT(reads.load(), 10);

  GetSubclientMountpathListArgs_t args{};
  args.subclientId = 7;
  GetSubclientMountpathListRet_t ret;
  ASSERT_EQ(ArMgrClientAPI().getSubclientMountpathList(&args, &ret), 0);
  ASSERT_EQ(ret.mountPaths.size(), 3u);
  EXPECT_EQ(ret.mountPaths[0].rawMountPath, "L|[/g150/1]|1");  // the last generation won
}

}  // namespace
