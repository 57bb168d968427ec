// test-labels: integration
// Storage hosts on other machines, end to end: two real OpenSSH servers serve ma1 and ma2
// over SFTP, and the host, the tool and the library reach them only through their servers
// (the mount path /disk1 exists nowhere but in the servers' chroots). A mount request, a
// backup searched for and restored byte for byte, failover when ma1's server is stopped or
// killed, and a server whose host key is not the known one.
#include <dirent.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <list>
#include <map>
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

// ma1 stops answering while a backup runs: the file being written and every one after it go
// to ma2 (as a failover places them) within about one I/O timeout, the run warns once,
// says where each file went, and ends well; the operator events name ma1. The tool's
// standard output is a one-page pipe read only after ma1 is stopped, so the tool cannot have
// passed its first few dozen files by then.
TEST_F(SftpStorageHostsTest, AHostLostMidRunSendsTheRestToTheNextMountPath) {
  const std::vector<std::string> files = MakeSources("src", std::vector<size_t>(40, 65536 + 17));
  std::vector<std::string> argv = {kKxmpTool, "--home", home_->path(), "--json", "backup", "--subclient", "7"};
  argv.insert(argv.end(), files.begin(), files.end());
  ServerProcess run;
  ASSERT_TRUE(run.Start(argv, 4096));
  ASSERT_TRUE(run.WaitForLine("{\"type\":\"status\"", 60000)) << run.Output();
  servers_[0]->Pause();
  const auto paused = SteadyClock::now();
  ASSERT_EQ(run.Interrupt(0, 60000), 0) << run.Output();
  EXPECT_LT(ElapsedMs(paused), 2 * kIoTimeoutSec * 1000 + 15000);  // generous for a loaded machine
  servers_[0]->Resume();

  std::map<std::string, std::string> where;  // name -> host, as the run says
  int warnings = 0;
  nlohmann::json summary;
  for (const nlohmann::json& line : JsonLines(run.Output())) {
    if (!line.is_object()) continue;
    if (line["type"] == "status" && line.contains("name")) {  // a file's, not the run's
      EXPECT_TRUE(line.value("ok", false)) << line.dump();
      where[line["name"]] = line.value("host", "");
    }
    if (line["type"] == "warning" && line.value("host", "").rfind(Mangled(1), 0) == 0) ++warnings;
    if (line["type"] == "summary") summary = line;
  }
  EXPECT_EQ(warnings, 1) << run.Output();
  EXPECT_EQ(summary["failed"], 0) << run.Output();
  ASSERT_EQ(where.size(), files.size()) << run.Output();
  int onFirst = 0, onSecond = 0, onBoth = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = "log_" + std::to_string(i) + ".trn";
    const int host = where[name] == Mangled(1) ? 1 : where[name] == Mangled(2) ? 2 : 0;
    ASSERT_NE(host, 0) << name << " " << where[name];
    (host == 1 ? onFirst : onSecond)++;
    // Whole where the run says it is. The file being committed when ma1 stopped may have
    // reached its name there without the answer coming back (its outcome unknown, so it was
    // stored again on ma2): whole too, and only that one.
    EXPECT_TRUE(ReadFile(BackupRoot(host) + "/" + name) == ReadFile(files[i])) << name;
    const std::string other = BackupRoot(3 - host) + "/" + name;
    if (PathExists(other)) {
      ++onBoth;
      EXPECT_EQ(host, 2) << name;
      EXPECT_TRUE(ReadFile(other) == ReadFile(files[i])) << name;
    }
  }
  EXPECT_LE(onBoth, 1);
  EXPECT_GE(onFirst, 1);
  EXPECT_GE(onSecond, 10);  // the pipe held the tool back: most files were still to do
  EXPECT_EQ(summary["storedOn"][Mangled(1) + " " + kMountPath], onFirst) << summary.dump();
  EXPECT_EQ(summary["storedOn"][Mangled(2) + " " + kMountPath], onSecond) << summary.dump();
  const std::string events = EventsLog();
  EXPECT_NE(events.find("\t0x4A000576\tma1\tit stopped answering during the run"), std::string::npos) << events;
  EXPECT_NE(events.find("\t0x4A000569\t" + Mangled(1)), std::string::npos) << events;
}

class SftpRequestsTest : public SftpStorageHostsTest {
 protected:
  SftpRequestsTest() { logRequests_ = true; }
};

// The SFTP requests one stored file costs, counted in the server's own record: a run of 21
// files of 64 KiB less a run of one (both after a first run, which pays for the session and
// the root folder), so what every run pays once (the records document's merge) drops out.
TEST_F(SftpRequestsTest, RequestsPerFileAreCountedFromTheServersRecord) {
  WriteFile(home_->sub("warm.trn"), "first");
  ASSERT_EQ(Backup({home_->sub("warm.trn")}).status, 0);
  const size_t mark = servers_[0]->RequestLogSize();
  WriteFile(home_->sub("one.trn"), std::string(65536, 'x'));
  ASSERT_EQ(Backup({home_->sub("one.trn")}).status, 0);
  const size_t second = servers_[0]->RequestLogSize();
  const std::vector<std::string> files = MakeSources("src", std::vector<size_t>(21, 65536));
  RunResult r = Backup(files);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::map<std::string, size_t> n = servers_[0]->Requests(second);
  for (const auto& [name, count] : servers_[0]->Requests(mark)) n[name] -= count - n[name];
  size_t total = 0;
  std::string seen;
  for (const auto& [name, count] : n) {
    total += count;
    seen += " " + name + "=" + std::to_string(count);
  }
  RecordProperty("requests", seen);
  // 39 per file when the mount path and root folder were resolved by every operation and
  // every operation looked for a set-aside version first; 8 now: the look for the name before
  // (one lstat), open, one write (a request carries what the server takes), the fstat that
  // checks what the file holds, fsync and close, the rename, and the folder's fsync on a
  // handle the session keeps; the run lists the folder once for set-aside leftovers.
  EXPECT_LE(total, 20u * 8u) << seen;
  EXPECT_EQ(n["write"], 20u) << seen;
  EXPECT_EQ(n["rename"], 20u) << seen;
  EXPECT_EQ(n["fsync"], 40u) << seen;
  EXPECT_EQ(n["fstat"], 20u) << seen;
  EXPECT_LE(n["stat"], 2u) << seen;

  // Restoring them, counted the same way (a run of 21 less a run of one): 12 per file when
  // the tool, the reader and the open looked at the file five times in all. Now: the tool's
  // look (type, time, size), the reader's look just before its open (which the open takes as
  // its own: a FIFO or device is never opened), the open, the fstat of what was opened, one
  // read of what it holds and one at its end (sent with the fstat) and the close.
  auto restore = [&](const std::string& pattern, const std::string& to) {
    const size_t before = servers_[0]->RequestLogSize();
    RunResult rr = Kxmp({"restore", "--subclient", std::to_string(kSubclient), pattern, "--to", home_->sub(to)});
    EXPECT_EQ(rr.status, 0) << rr.out << rr.err;
    return servers_[0]->Requests(before);
  };
  const std::map<std::string, size_t> single = restore("^one\\.trn$", "back1");
  std::map<std::string, size_t> m = restore("^log_", "back21");
  for (const auto& [name, count] : single) m[name] -= count;
  total = 0;
  seen.clear();
  for (const auto& [name, count] : m) {
    total += count;
    seen += " " + name + "=" + std::to_string(count);
  }
  RecordProperty("restoreRequests", seen);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(ReadFile(home_->sub("back21/log_" + std::to_string(i) + ".trn")) == ReadFile(files[i])) << i;
  }
  EXPECT_EQ(m["open"], 20u) << seen;
  EXPECT_EQ(m["fstat"], 20u) << seen;
  EXPECT_EQ(m["close"], 20u) << seen;
  EXPECT_LE(m["read"], 20u * 2u) << seen;
  EXPECT_LE(m["lstat"] + m["stat"] + m["realpath"], 20u * 2u) << seen;
}

// What a run pays once, counted in the server's record. Before its first file: the session's
// look at the mount path, the root folder made (a first run), the writers' and the tool's
// looks. After its last file: the records document and the stream metadata, each changed once
// for the run whatever the number of workers (a lock, a read, a replace, the lock removed);
// each replace is one atomic rename and the folder's fsync.
TEST_F(SftpRequestsTest, WhatARunPaysOnceIsCountedFromTheServersRecord) {
  SshServer& server = *servers_[0];
  auto touches = [](const SshServer::Request& q, const std::string& text) {
    return q.what.find(text) != std::string::npos;
  };
  std::vector<std::string> beforeNames;
  // Requests before the first file's open and after the last commit; locks taken per document;
  // files looked at again after the last commit.
  std::map<std::string, size_t> commits;  // requests naming a document or its aside name, by kind
  auto phases = [&](const std::vector<SshServer::Request>& list, size_t& before, size_t& after,
                    std::map<std::string, size_t>& locks, size_t& looksAfter) {
    commits.clear();
    size_t first = list.size(), last = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (!touches(list[i], "/log_")) continue;
      if (first == list.size() && list[i].name == "open") first = i;
      if (list[i].name == "rename") last = i;  // a commit
    }
    before = first;
    after = list.size() - last - 1;
    // What came before the first file's own requests (its look at the name, then its open).
    beforeNames.clear();
    for (size_t i = 0; i + 1 < first; ++i) {
      if (list[i].session == list[0].session) beforeNames.push_back(list[i].name);
    }
    looksAfter = 0;
    for (size_t i = last + 1; i < list.size(); ++i) looksAfter += touches(list[i], "/log_") ? 1 : 0;
    for (const SshServer::Request& q : list) {
      for (const std::string doc : {".kxmp-sha256", "StreamMetadata_0.xml"}) {
        if (q.name == "open" && touches(q, doc + ".lock.tmp\" flags WRITE,CREATE,EXCL")) ++locks[doc];
        if (touches(q, "/" + doc + "\"") || touches(q, doc + ".kxmp-replaced.tmp")) ++commits[doc + " " + q.name];
        if (touches(q, doc + ".kxmp-replaced.tmp")) ++commits[doc + " aside"];
      }
    }
  };
  const std::vector<std::string> files = MakeSources("src", std::vector<size_t>(9, 65536));
  size_t mark = server.RequestLogSize();
  RunResult r = Backup({files[0]}, {"--metadata"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  size_t before = 0, after = 0, looksAfter = 0;
  std::map<std::string, size_t> locks;
  phases(server.RequestList(mark), before, after, locks, looksAfter);
  RecordProperty("firstRun", "before " + std::to_string(before) + ", after " + std::to_string(after));
  // Before the first file 31 when making the root folder listed the parent folders and
  // synced each one in a round trip of its own, and the lookup of the missing root listed
  // its parent (one of them is the session's limits@openssh.com, answered with the next
  // request, no round trip of its own); after the last file 56 when each document's lock was
  // read back before its removal, 42 when a replace set the old version aside.
  EXPECT_LE(after, 38u);
  // Before the first file, in order: the session's first batch (the mount path's realpath and
  // stat, the root's folder's realpath, a look at each folder down to the root and at its
  // set-aside name, the root opened to be kept), then the missing folders made in one batch
  // (the deepest present one opened, the mkdirs in order, each new folder opened), then their
  // syncs, and the run's look at the root it made: four round trips where there were eleven.
  const std::vector<std::string> firstRun = {"limits", "realpath", "stat", "realpath", "lstat", "lstat", "lstat",
                                             "open", "open", "mkdir", "mkdir", "open", "open", "fsync", "close",
                                             "fsync", "close", "lstat"};
  EXPECT_EQ(beforeNames, firstRun);
  EXPECT_EQ(locks[".kxmp-sha256"], 1u);
  EXPECT_EQ(locks["StreamMetadata_0.xml"], 1u);

  mark = server.RequestLogSize();
  r = Backup(std::vector<std::string>(files.begin() + 1, files.end()), {"--jobs", "4", "--metadata"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  locks.clear();
  phases(server.RequestList(mark), before, after, locks, looksAfter);
  // The root folder present: the session's first batch is all, and the root's look, its
  // set-aside name's and the kept folder's open are its answers (one round trip where there
  // were five).
  const std::vector<std::string> laterRun = {"limits", "realpath", "stat", "realpath", "lstat", "lstat", "lstat", "open"};
  EXPECT_TRUE(beforeNames.size() >= laterRun.size() &&
              std::equal(laterRun.begin(), laterRun.end(), beforeNames.begin()))
      << ::testing::PrintToString(beforeNames);
  RecordProperty("jobs4", "before " + std::to_string(before) + ", after " + std::to_string(after));
  // Four locks of the records document when each writer merged its own records, and a look at
  // every file that another writer than the first stored before it was listed in the metadata.
  EXPECT_EQ(looksAfter, 0u);
  EXPECT_EQ(locks[".kxmp-sha256"], 1u);
  EXPECT_EQ(locks["StreamMetadata_0.xml"], 1u);
  // The documents existed: each is replaced by one posix-rename (then the folder's fsync), not
  // set aside, renamed in and removed (6 requests where 2 now do).
  for (const std::string doc : {".kxmp-sha256", "StreamMetadata_0.xml"}) {
    EXPECT_EQ(commits[doc + " posix-rename"], 1u) << doc;
    EXPECT_EQ(commits[doc + " rename"] + commits[doc + " remove"] + commits[doc + " aside"], 0u) << doc;
  }
  const std::string records = ReadFile(BackupRoot(1) + "/.kxmp-sha256");
  const std::string metadata = ReadFile(BackupRoot(1) + "/StreamMetadata_0.xml");
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = "log_" + std::to_string(i) + ".trn";
    EXPECT_NE(records.find(" " + name + "\n"), std::string::npos) << name << "\n" << records;
    EXPECT_NE(metadata.find(name), std::string::npos) << name;
  }
}

// A socket that accepts connections and never says anything: a port where no SSH server is.
class SilentPort {
 public:
  SilentPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
    socklen_t len = sizeof sa;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
      port_ = ntohs(sa.sin_port);
    }
  }
  ~SilentPort() { ::close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::string Keygen(const std::string& file, const std::string& passphrase) {
  RunResult r = RunTool({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C", "kxmp-test", "-f", file});
  return r.status == 0 ? file : "<ssh-keygen failed: " + r.err + ">";
}

// Each way in which ma1 cannot be used: the backup still succeeds on ma2, the run warns that
// ma1 was skipped and why (a line of its own, in --json a warning object), and the operator
// event names the cause; a changed or revoked host key is a security event of its own with
// the offered key's SHA256 fingerprint. Nothing reaches ma1.
TEST_F(SftpStorageHostsTest, TrustAndConfigurationFailuresSpeak) {
  const SshServer& ma1 = *servers_[0];
  const std::string keys = home_->sub("keys");
  ASSERT_EQ(::mkdir(keys.c_str(), 0700), 0);
  const std::string stranger = Keygen(keys + "/stranger", "");
  const std::string locked = Keygen(keys + "/locked", "secret phrase");
  ASSERT_TRUE(servers_[0]->AuthorizeKey(locked + ".pub"));
  WriteFile(keys + "/passphrase", "secret phrase\n");
  ASSERT_EQ(::chmod((keys + "/passphrase").c_str(), 0600), 0);
  auto knownHosts = [&](const std::string& name, const std::string& text) {
    WriteFile(keys + "/" + name, text);
    return keys + "/" + name;
  };
  SilentPort silent;
  ASSERT_NE(silent.Port(), 0);
  int closedPort = 0;
  {
    SilentPort once;  // bound, then closed: nothing listens there
    closedPort = once.Port();
  }

  struct Case {
    std::string name;
    std::map<std::string, std::string> values;  // registry values of ma1 changed from the good ones
    std::string reason;                        // in the warning and the event
    bool security;
  };
  const std::vector<Case> cases = {
      {"changed host key", {{"sKnownHostsFile", servers_[0]->WriteWrongKnownHosts("wrong_known_hosts")}},
       "has changed", true},
      {"revoked host key",
       {{"sKnownHostsFile", knownHosts("revoked", ma1.KnownHostsLine() + ma1.KnownHostsLine("@revoked"))}},
       "REVOKED HOST KEY", true},
      {"certificate authority only",
       {{"sKnownHostsFile", knownHosts("ca", ma1.KnownHostsLine("@cert-authority"))}}, "host certificates are not supported",
       false},
      {"refused key", {{"sIdentityFile", stranger}}, "refused the key", false},
      {"key with a passphrase", {{"sIdentityFile", locked}}, "protected by a passphrase", false},
      {"nothing listening", {{"nPort", std::to_string(closedPort)}}, "Connection refused", false},
      {"no SSH server", {{"nPort", std::to_string(silent.Port())}}, "no answer within the connect timeout of 2 s", false},
      {"missing known-hosts file", {{"sKnownHostsFile", keys + "/missing"}}, "Cannot read the known-hosts file", false},
  };
  const std::string hostKey = home_->sub("registry/DataServer/Hosts/ma1/");
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ConfigureHost(1, ma1.KnownHostsFile());
    for (const auto& [value, text] : c.values) WriteFile(hostKey + value, text);
    Kxmp({"cache", "drop", "--subclient", "7"});  // ma1, the primary, is tried first (3: nothing cached yet)
    const std::vector<std::string> files = MakeSources("case" + std::to_string(i), {5000});
    RunResult r = Backup(files);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(BackupRoot(2) + "/log_0.trn"), ReadFile(files[0]));
    bool warned = false;
    for (const nlohmann::json& line : JsonLines(r.out)) {
      if (line.is_object() && line["type"] == "warning" && line["host"] == "ma1" &&
          line["reason"].get<std::string>().find(c.reason) != std::string::npos) {
        warned = line["security"] == c.security;
      }
    }
    EXPECT_TRUE(warned) << r.out;
    EXPECT_EQ(JsonLines(r.out).back()["type"], "summary") << r.out;
    const std::string events = EventsLog();
    const size_t at = events.find("\t0x4A000576\tma1\t");
    EXPECT_TRUE(at != std::string::npos && events.find(c.reason, at) != std::string::npos) << events;
    const bool securityEvent = events.find("\t0x4A000577\tma1\t") != std::string::npos;
    if (c.security) {
      EXPECT_TRUE(securityEvent) << events;
      EXPECT_NE(events.find(ma1.HostKeyFingerprint()), std::string::npos) << events;
    } else {
      EXPECT_FALSE(securityEvent) << events;
    }
    // Without --json the warning is a line on standard error.
    r = Kxmp({"search", "--subclient", "7", "--all", "log_0"});
    EXPECT_NE(r.err.find("kxmp search: warning: storage host ma1 was skipped: "), std::string::npos) << r.err;
    ::unlink(home_->sub("log/events.log").c_str());
  }
  EXPECT_TRUE(ListFolder(Served(*servers_[0], kMountPath)).empty());

  // The passphrase-protected key logs in with its passphrase file; check names the host.
  ConfigureHost(1, ma1.KnownHostsFile());
  WriteFile(hostKey + "sIdentityFile", locked);
  WriteFile(hostKey + "sPassphraseFile", keys + "/passphrase");
  RunResult r = Kxmp({"storage-host", "check", "ma1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("storage host ma1 answers"), std::string::npos) << r.out;
  // A key others may read is refused, as OpenSSH refuses it.
  ASSERT_EQ(::chmod(locked.c_str(), 0644), 0);
  r = Kxmp({"storage-host", "check", "ma1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("too open"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kxmp::test
