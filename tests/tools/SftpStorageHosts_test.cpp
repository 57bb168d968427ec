// test-labels: integration
// Storage hosts on other machines, end to end: two real OpenSSH servers serve ma1 and ma2
// over SFTP, and the host, the tool and the library reach them only through their servers
// (the mount path /disk1 exists nowhere but in the servers' chroots). A mount request, a
// backup searched for and restored byte for byte, failover when ma1's server is stopped or
// killed, and a server whose host key is not the known one.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include <list>
#include <string>
#include <vector>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "support/Subprocess.h"
#include "support/Timing.h"
#include "tools/CorruptionScenario.h"
#include "tools/SftpStorageFixture.h"

namespace kxmp::test {
namespace {

const std::string kHost = KXMP_BINARY_DIR "/tools/host/kxmp-host";

class SftpStorageHostsTest : public SftpStorageTest {
 protected:
  // The names in a folder, sorted.
  static std::vector<std::string> ListFolder(const std::string& folder);

  std::string Cached(const std::string& value) const {
    const std::string file = home_->sub("registry/Tessel/MAMountPoint/7/" + value);
    return PathExists(file) ? ReadFile(file) : "<missing>";
  }
};

std::vector<std::string> SftpStorageHostsTest::ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(SftpStorageHostsTest, MountBackupSearchAndRestoreOverSftp) {
  // The served path exists only on the storage host: nothing here can pass by local access.
  ASSERT_FALSE(PathExists(kMountPath));

  RunResult r = Kxmp({"storage-host", "check", "ma1", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json check = Summary(r);
  EXPECT_EQ(check["hostKeyFingerprint"], servers_[0]->HostKeyFingerprint());
  std::vector<std::string> extensions;
  for (const auto& e : check["extensions"]) extensions.push_back(e["name"]);
  EXPECT_NE(std::find(extensions.begin(), extensions.end(), "fsync@openssh.com"), extensions.end()) << r.out;
  EXPECT_GT(check["roundTripMs"].get<double>(), 0.0);

  // A mount request through the host fills the cache with the storage hosts' mount paths.
  const std::string socket = home_->sub("run/host.sock");
  ServerProcess host;
  ASSERT_TRUE(host.Start({kHost, "--home", home_->path(), "--socket", socket}));
  ASSERT_TRUE(host.WaitForLine("kxmp-host: serving " + socket, 60000)) << host.Output();
  r = Kxmp({"mount", "--subclient", "7", "--mount-point", "/mnt/kx7", "--socket", socket, "--json"});
  EXPECT_EQ(Summary(r)["errorCode"], 0) << r.out << r.err;
  EXPECT_EQ(Cached("sMAHostnameMangled"), Mangled(1));
  EXPECT_EQ(Cached("sMAMountPath"), kMountPath);
  EXPECT_EQ(host.Stop(SIGTERM), 0);

  // Sizes around the tool's 1 MiB pieces and the empty file.
  const std::vector<std::string> sources = MakeSources("src", {0, 1, (1u << 20) + 7, 3u << 20});
  r = Backup(sources, {"--stream", "3", "--metadata"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ListFolder(BackupRoot(1)), (std::vector<std::string>{".kxmp-sha256", "StreamMetadata_3.xml", "log_0.trn",
                                                                   "log_1.trn", "log_2.trn", "log_3.trn"}));
  for (size_t i = 0; i < sources.size(); ++i) {
    EXPECT_TRUE(ReadFile(BackupRoot(1) + "/log_" + std::to_string(i) + ".trn") == ReadFile(sources[i])) << i;
  }
  EXPECT_FALSE(PathExists(BackupRoot(2)));

  r = Kxmp({"search", "--subclient", "7", "--all", "log_2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Mangled(1) + "\t/disk1\t/log_2.trn\n");

  const std::string to = home_->sub("restored");
  r = Kxmp({"restore", "--subclient", "7", "^log_\\d\\.trn$", "--to", to});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (size_t i = 0; i < sources.size(); ++i) {
    EXPECT_TRUE(ReadFile(to + "/log_" + std::to_string(i) + ".trn") == ReadFile(sources[i])) << i;
  }
}

// How ma1's server goes away: stopped (it keeps its connections open and never answers)
// or killed (connections are refused).
enum class Outage { Stopped, Killed };

class SftpFailoverTest : public SftpStorageHostsTest, public ::testing::WithParamInterface<Outage> {
 protected:
  void TakeDownPrimary() {
    if (GetParam() == Outage::Stopped) {
      servers_[0]->Pause();
    } else {
      servers_[0]->Kill();
    }
  }
};

TEST_P(SftpFailoverTest, BackupsMoveToTheAlternateAndTheOperatorIsTold) {
  const std::vector<std::string> first = MakeSources("first", {100000});
  ASSERT_EQ(Backup(first).status, 0);
  ASSERT_TRUE(PathExists(BackupRoot(1) + "/log_0.trn"));
  EXPECT_EQ(Cached("sMAHostnameMangled"), Mangled(1));

  TakeDownPrimary();
  // Each tool run is bounded by RunTool's deadline: an operation that waited for the server
  // without end would be killed and fail here.
  const std::vector<std::string> second = MakeSources("second", {200000, 300000});
  RunResult r = Backup(second);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (size_t i = 0; i < second.size(); ++i) {
    EXPECT_TRUE(ReadFile(BackupRoot(2) + "/log_" + std::to_string(i) + ".trn") == ReadFile(second[i])) << i;
  }
  // The primary stays cached; the entry in use says where backups go now.
  EXPECT_EQ(Cached("sMAHostnameMangled"), Mangled(1));
  EXPECT_EQ(Cached("sMAHostnameMangled_1"), Mangled(2));
  EXPECT_EQ(Cached("nFailoverCurrent"), "1");
  // "The data server of a storage host is not ready", for ma1, as for a local mount path.
  EXPECT_NE(EventsLog().find("\t0x4A000569\t" + Mangled(1)), std::string::npos) << EventsLog();
}

// In one process whose connection to ma1 is open and idle when ma1's server goes away: a
// context on ma1 fails over to ma2, and the next context list moves on to ma2, each waiting
// at most the timeouts on ma1.
TEST_P(SftpFailoverTest, AContextOnALiveConnectionFailsOver) {
  // The cache lists ma2 as the alternate (both hosts serve the same path, /disk1).
  ASSERT_EQ(Kxmp({"cache", "refresh", "--subclient", "7", "--local"}).status, 0);
  KXMAMountingPointSvc* service = KXMAMountingPointSvc::getInstance();
  ASSERT_FALSE(service->AllocateDriverPtr(false).IsError());
  std::list<DataServerContextPtr> contexts;
  ASSERT_FALSE(service->GetDataServerContextList(kSubclient, contexts, true, true, std::string(), false).IsError());
  ASSERT_EQ(contexts.size(), 1u);
  DataServerContextPtr context = contexts.front();
  ASSERT_EQ(context->getServerName(), Mangled(1));

  TakeDownPrimary();
  // Offline, the control server is not asked: failover takes the cached alternates.
  WriteFile(home_->sub("registry/Runtime/nCSONLINE"), "0");
  AbstractMountingPointDriver::Failover(context.get());
  EXPECT_EQ(context->getServerName(), Mangled(2));
  ASSERT_FALSE(context->getRootFolder().empty());
  bool exists = false;
  ASSERT_FALSE(AbstractMountingPointDriver::AMExists(context.get(), context->getRootFolder(), exists).IsError());
  EXPECT_TRUE(exists);
  EXPECT_TRUE(PathExists(Served(*servers_[1], context->getRootFolder())));
  EXPECT_EQ(Cached("nFailoverCurrent"), "1");

  contexts.clear();
  WriteFile(home_->sub("registry/Runtime/nCSONLINE"), "1");
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/7/nFailoverCurrent"), "0");  // ma1 again first
  ASSERT_FALSE(service->GetDataServerContextList(kSubclient, contexts, true, true, std::string(), false).IsError());
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_EQ(contexts.front()->getServerName(), Mangled(2));
  EXPECT_NE(EventsLog().find("\t0x4A000569\t" + Mangled(1)), std::string::npos) << EventsLog();
  if (GetParam() == Outage::Stopped) servers_[0]->Resume();
}

INSTANTIATE_TEST_SUITE_P(Outages, SftpFailoverTest, ::testing::Values(Outage::Stopped, Outage::Killed),
                         [](const ::testing::TestParamInfo<Outage>& info) {
                           return info.param == Outage::Stopped ? std::string("Sigstop") : std::string("Sigkill");
                         });

TEST_F(SftpStorageHostsTest, VerifyNamesEveryDamageAndRestoreTakesOnlyCopiesThatVerify) {
  CorruptionStory story;
  story.kxmp = [](std::vector<std::string> args) { return Kxmp(std::move(args)); };
  story.subclient = std::to_string(kSubclient);
  story.roots[0] = BackupRoot(1);
  story.roots[1] = BackupRoot(2);
  story.hosts[0] = Mangled(1);
  story.hosts[1] = Mangled(2);
  const std::vector<std::string> made = MakeSources("story", {(1u << 20) + 1, 5000, 3u << 20, 1, (2u << 20) - 3});
  for (size_t i = 0; i < made.size(); ++i) {
    story.sources.push_back(home_->sub(std::string("story/") + static_cast<char>('a' + i) + ".trn"));
    ASSERT_EQ(::rename(made[i].c_str(), story.sources.back().c_str()), 0);
  }
  story.to = home_->sub("restored");
  story.eventsLog = [this] { return EventsLog(); };
  RunCorruptionStory(story);
}

// A storage host that stops answering while a restore waits for it: SIGTERM ends the restore
// at once (143), not when the I/O timeout would have ended the wait.
TEST_F(SftpStorageHostsTest, AStopSignalEndsAWaitForAStorageHost) {
  const SshServer& s = *servers_[0];
  ASSERT_EQ(Kxmp({"storage-host", "set", "ma1", "--address", s.Address(), "--port", std::to_string(s.Port()), "--user",
                  s.User(), "--identity", s.IdentityFile(), "--known-hosts", s.KnownHostsFile(), "--connect-timeout",
                  "600", "--io-timeout", "600"})
                .status,
            0);
  servers_[0]->Pause();
  ServerProcess restore;
  ASSERT_TRUE(restore.Start({kKxmpTool, "restore", "--subclient", "7", "x", "--to", home_->sub("restored")}));
  // Inside the library (the stop handler is in place before), waiting for ma1.
  const std::string log = home_->sub("log/kxmp.log");
  ASSERT_TRUE(WaitUntil([&] { return PathExists(log) && ReadFile(log).find("forBackup =[false]") != std::string::npos; },
                        60000));
  const auto stopped = SteadyClock::now();
  EXPECT_EQ(restore.Interrupt(SIGTERM, 60000), 143) << restore.Output();
  EXPECT_LT(ElapsedMs(stopped), 30000);  // the wait's own bound is 600 s
  servers_[0]->Resume();
}

TEST_F(SftpStorageHostsTest, AnUnknownHostKeyIsRefusedAndNothingIsWritten) {
  ConfigureHost(1, servers_[0]->WriteWrongKnownHosts("wrong_known_hosts"));
  RunResult r = Kxmp({"storage-host", "check", "ma1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("host key"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(servers_[0]->HostKeyFingerprint()), std::string::npos) << r.err;

  // Only ma1 serves the subclient now: the backup fails, and ma1 got nothing.
  RunResult detach = Kxmp({"catalog", "detach", "--subclient", "7", "--mount-path", "2"});
  ASSERT_EQ(detach.status, 0) << detach.err;
  const std::vector<std::string> files = MakeSources("src", {5000});
  r = Backup(files);
  EXPECT_EQ(r.status, 1) << r.out;
  // The library's log names the refusal (kxmp failover writes it to kxmp.log).
  r = Kxmp({"failover", "--subclient", "7"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(ListFolder(Served(*servers_[0], kMountPath)).empty());
  EXPECT_NE(ReadFile(home_->sub("log/kxmp.log")).find("host key"), std::string::npos);
}

}  // namespace
}  // namespace kxmp::test
