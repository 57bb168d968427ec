// test-labels: integration
// kxmp as a PostgreSQL cluster's archive and restore commands, as a DBA sets it up: the home
// handed to the server's user, every finished WAL segment pushed, and new clusters recovered
// from a base backup with kxmp get, to a named restore point and to the end of the archive.
// A storage that kxmp cannot read stops the recovery: it never ends early as if the archive
// ended there.

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "outside/util/CZoFile.h"
#include "support/PostgresServer.h"
#include "support/Subprocess.h"
#include "support/TempHome.h"
#include "support/Timing.h"
#include "tools/AdminSupport.h"

namespace kxmp::test {
namespace {

constexpr int kSegments = 30;

class PostgresArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/kxmp-archive-XXXXXX";
    ASSERT_NE(::mkdtemp(&tmpl[0]), nullptr);
    folder_ = tmpl;
    // The server's user reaches the home and the mount path through this folder.
    ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
    home_ = folder_ + "/home";
    mountPath_ = folder_ + "/mp1";
    ASSERT_EQ(::mkdir(mountPath_.c_str(), 0755), 0);
  }

  void TearDown() override {
    for (PostgresServer* cluster : {restored_.get(), primary_.get()}) {
      if (cluster != nullptr && ::testing::Test::HasFailure()) std::cerr << cluster->folder() << "/log:\n" << cluster->Log();
    }
    restored_.reset();
    primary_.reset();
    RunTool({"/bin/chmod", "-R", "u+rwx", folder_});
    CZoDirectory::Remove(folder_, true, false);
  }

  RunResult Kxmp(std::vector<std::string> args) {
    args.insert(args.begin(), {kKxmpTool, "--home", home_});
    return RunTool(args);
  }

  // The tool as the server's user can run it: the build tree's, or a copy of its files in the
  // test's folder when that user cannot reach the build tree (a checkout in root's home).
  std::string ToolFor(PostgresServer& cluster) {
    std::string out;
    if (cluster.RunAsOwner({kKxmpTool, "push", "--help"}, out)) return kKxmpTool;
    const std::string copy = folder_ + "/tool";
    RunResult r = RunTool({"/bin/sh", "-c",
                           "mkdir -p \"$1/tools/kxmp\" \"$1/kxmp\" && cp -a \"$0\"/libKXMAMountingPointSvc.so* \"$1\" && "
                           "cp -a \"$0\"/kxmp/*.so \"$1/kxmp\" && cp -a \"$0/tools/kxmp/kxmp\" \"$1/tools/kxmp\"",
                           KXMP_BINARY_DIR, copy});
    EXPECT_EQ(r.status, 0) << r.err;
    return copy + "/tools/kxmp/kxmp";
  }

  std::string Value(PostgresServer& cluster, const std::string& sql) {
    std::string value, error;
    EXPECT_TRUE(cluster.Query(sql, value, error)) << sql << ": " << error;
    return value;
  }

  void Exec(PostgresServer& cluster, const std::string& sql) {
    std::string error;
    ASSERT_TRUE(cluster.Exec(sql, error)) << sql << ": " << error;
  }

  // A new cluster from the base backup, recovering with kxmp get and the extra settings.
  bool Recover(const std::string& settings) {
    std::string why, out;
    bool installed = false;
    restored_ = PostgresServer::MakeEmpty(why, installed);
    if (restored_ == nullptr) {
      ADD_FAILURE() << why;
      return false;
    }
    EXPECT_TRUE(restored_->RunAsOwner({"cp", "-a", base_->data(), restored_->data()}, out)) << out;
    EXPECT_TRUE(restored_->RunAsOwner({"touch", restored_->data() + "/recovery.signal"}, out)) << out;
    EXPECT_TRUE(restored_->Configure("archive_mode = off\nrestore_command = '" + tool_ + " --home " + home_ +
                                     " get --subclient 7 %f %p'\n" + settings));
    return restored_->Start();
  }

  // Waits for the recovering cluster to end its recovery and take writes.
  bool Promoted() {
    return WaitUntil(
        [&] {
          std::string value, error;
          if (restored_->Query("SELECT pg_is_in_recovery()", value, error) && value == "f") return true;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return false;
        },
        120000);
  }

  std::string folder_, home_, mountPath_, tool_;
  std::unique_ptr<PostgresServer> primary_, base_, restored_;
};

TEST_F(PostgresArchiveTest, ArchivesWithPushAndRecoversWithGet) {
  // The home, set up by root as a DBA would and handed to the server's user.
  std::string why;
  bool installed = false;
  base_ = PostgresServer::MakeEmpty(why, installed);
  if (base_ == nullptr && !installed) GTEST_SKIP() << why;
  ASSERT_NE(base_, nullptr) << why;
  const std::string user = base_->user();
  tool_ = ToolFor(*base_);
  ASSERT_EQ(Kxmp({"setup"}).status, 0);
  ASSERT_EQ(Kxmp({"catalog", "add-mount-path", "--id", "1", "--host", "ma1*ma1*0*0", "--path", mountPath_}).status, 0);
  ASSERT_EQ(Kxmp({"catalog", "add-subclient", "--id", "7"}).status, 0);
  ASSERT_EQ(Kxmp({"catalog", "attach", "--subclient", "7", "--mount-path", "1", "--primary"}).status, 0);
  RunResult r = Kxmp({"setup", "--owner", user});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // A primary with 1 MiB segments, each finished one pushed.
  primary_ = PostgresServer::Make(why, installed, {"--wal-segsize=1"},
                                  "wal_level = replica\narchive_mode = on\narchive_command = '" + tool_ + " --home " +
                                      home_ + " push --subclient 7 %p'\nmax_wal_senders = 4");
  ASSERT_NE(primary_, nullptr) << why;
  Exec(*primary_, "CREATE TABLE t (id int, phase text); INSERT INTO t SELECT g, 'base' FROM generate_series(1, 50) g");
  std::string out;
  ASSERT_TRUE(base_->RunAsOwner({base_->Program("pg_basebackup"), "-h", primary_->folder(), "-p", "5432", "-U",
                                 "postgres", "-D", base_->data(), "-X", "none", "-c", "fast"},
                                out))
      << out;
  Exec(*primary_, "INSERT INTO t SELECT g, 'before' FROM generate_series(51, 100) g");
  Exec(*primary_, "SELECT pg_create_restore_point('kxmp_point')");
  Exec(*primary_, "INSERT INTO t SELECT g, 'after' FROM generate_series(101, 150) g");
  std::string last, middle;
  for (int i = 0; i < kSegments; ++i) {
    Exec(*primary_, "INSERT INTO t VALUES (" + std::to_string(151 + i) + ", 'switch')");
    last = Value(*primary_, "SELECT pg_walfile_name(pg_switch_wal())");
    if (i == kSegments / 2) middle = last;
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::string done, error;
        if (primary_->Query("SELECT last_archived_wal FROM pg_stat_archiver", done, error) && done >= last) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
      },
      120000))
      << "the archive did not reach " << last;
  EXPECT_EQ(Value(*primary_, "SELECT failed_count FROM pg_stat_archiver"), "0");
  EXPECT_EQ(primary_->Log().find("kxmp push"), std::string::npos) << "a push that worked said something";
  ASSERT_TRUE(primary_->Stop());

  // To the named restore point: the rows written before it, none after.
  ASSERT_TRUE(Recover("recovery_target_name = 'kxmp_point'\nrecovery_target_action = 'promote'"));
  ASSERT_TRUE(Promoted());
  EXPECT_EQ(Value(*restored_, "SELECT count(*) FROM t"), "100");
  EXPECT_EQ(Value(*restored_, "SELECT count(*) FROM t WHERE phase = 'after'"), "0");
  ASSERT_TRUE(restored_->Stop());

  // To the end: every row, the end of the archive found by "not stored" (exit 1), which
  // prints nothing, like the other files the server probes for.
  ASSERT_TRUE(Recover(""));
  ASSERT_TRUE(Promoted());
  EXPECT_EQ(Value(*restored_, "SELECT count(*) FROM t"), std::to_string(150 + kSegments));
  EXPECT_EQ(Value(*restored_, "SELECT max(id) FROM t"), std::to_string(150 + kSegments));
  const std::string log = restored_->Log();
  EXPECT_NE(log.find("restored log file \"" + last + "\" from archive"), std::string::npos) << log;
  EXPECT_EQ(log.find("kxmp get"), std::string::npos) << log;
  ASSERT_TRUE(restored_->Stop());

  glob_t g{};
  ASSERT_EQ(::glob((mountPath_ + "/KX_APP_DUMPS/*").c_str(), 0, nullptr, &g), 0);
  const std::string root = g.gl_pathv[0];
  ::globfree(&g);

  // A stored segment damaged on the storage: get refuses it (it does not match its checksum
  // record), and recovery stops there instead of promoting with the rows before it.
  const std::string damaged = root + "/" + middle;
  std::string segment = ReadFile(damaged);
  ASSERT_FALSE(segment.empty()) << damaged;
  segment[100] ^= 0x20;
  WriteFile(damaged, segment);
  Recover("");  // it may take connections (consistent) before replay reaches the damaged segment
  std::string stopped;
  EXPECT_TRUE(WaitUntil(
      [&] {
        stopped = restored_->Log();
        if (stopped.find("could not restore file \"" + middle + "\"") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
      },
      120000))
      << stopped;
  EXPECT_NE(stopped.find("child process exited with exit code 128"), std::string::npos) << stopped;
  EXPECT_NE(stopped.find("kxmp get: [" + middle + "] is stored, but no copy matches its checksum record"),
            std::string::npos) << stopped;
  EXPECT_NE(stopped.find("kxmp verify --subclient 7"), std::string::npos) << stopped;
  EXPECT_EQ(stopped.find("selected new timeline ID"), std::string::npos) << stopped;
  r = Kxmp({"events"});
  EXPECT_NE(r.out.find("stored log /" + middle + " of subclient 7"), std::string::npos) << r.out;
  segment[100] ^= 0x20;
  WriteFile(damaged, segment);

  // A storage the server's user cannot read: recovery stops with kxmp's reason instead of
  // promoting a cluster that lacks its logs.
  ASSERT_EQ(::chmod(root.c_str(), 0), 0);
  EXPECT_FALSE(Recover(""));
  const std::string refused = restored_->Log();
  EXPECT_NE(refused.find("child process exited with exit code 128"), std::string::npos) << refused;
  EXPECT_NE(refused.find("kxmp get: cannot tell whether"), std::string::npos) << refused;
  EXPECT_NE(refused.find("Permission denied; kxmp runs as user " + user), std::string::npos) << refused;
  EXPECT_EQ(refused.find("selected new timeline ID"), std::string::npos) << refused;
  r = Kxmp({"events"});
  EXPECT_NE(r.out.find("kxmp get of "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kxmp::test
