// test-labels: concurrency integration
// Two client machines (two homes, see TwoMachinesFixture.h) write one name and one stream to
// one storage host at once, on a real SFTP server and on a local folder. A barrier holds each
// writer inside the write protocol (at the commit of the shared name, then at the start of the
// stream's metadata), and lets them go together or one after the other. After every round, on
// the storage itself: the name holds one whole version, written by the writer that reported
// success; the other was refused, not silently replaced; no temporary or lock file is left;
// the stream's document lists every file that either machine committed, once.
//
// The same with kxmp push itself (a primary and a standby that both archive every segment):
// identical content from two machines is stored once and both pushes succeed. Expiry on one
// machine beside a backup held inside the protocol on the other keeps every file, record and
// metadata entry of the backup and removes exactly what it chose, with its records and entries.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataWriter.h"
#include "outside/dataserver/Backend.h"
#include "support/FaultyBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "Main.h"
#include "support/ForkChild.h"
#include "support/Timing.h"
#include "tools/AdminSupport.h"
#include "tools/TwoMachinesFixture.h"

namespace kxmp::test {
namespace {

using dataserver::FaultyBackend;

// What a machine reports, as bits of its exit code.
constexpr int kSharedStored = 1;     // its copy of the shared name was committed
constexpr int kSharedRefused = 2;    // refused: the name was stored already
constexpr int kPrivateStored = 4;
constexpr int kFinished = 8;         // its records were merged into the stream's document

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string Bytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

CZoError Store(DBLogBackupDataWriter& writer, const std::string& name, const std::string& content) {
  CZoError e = writer.open(name, O_WRONLY | O_CREAT | O_TRUNC, 0640);
  for (size_t at = 0; e.IsSuccess() && at < content.size(); at += 65536) {
    e = writer.write(content.data() + at, std::min<size_t>(65536, content.size() - at));
  }
  if (e.IsSuccess()) e = writer.close(name);
  return e;
}

struct Round {
  uint64_t subclient;
  int stream;
  std::string shared;
};

// A backend that holds its process at the commit of name and at the first call of the
// stream's metadata: each time it tells the parent and waits for its go.
std::shared_ptr<FaultyBackend> Barrier(const std::string& name, ForkChild::Channel& channel) {
  auto barrier = std::make_shared<FaultyBackend>(dataserver::CurrentBackend());
  auto passed = std::make_shared<std::pair<bool, bool>>(false, false);  // commit, metadata
  barrier->OnCall([name, passed, &channel](const FaultyBackend::Call& c) {
    const bool commit = c.op == "Move" && c.path.find("/" + name + ".") != std::string::npos && EndsWith(c.path, ".tmp");
    const bool metadata = c.path.find("StreamMetadata_") != std::string::npos;
    bool& once = commit ? passed->first : passed->second;
    if ((commit || metadata) && !once) {
      once = true;
      channel.Signal();
      channel.Wait();
    }
  });
  return barrier;
}

// One machine: its home, the barrier, then the backup.
int Machine(const std::string& home, const Round& round, const std::string& content, const std::string& own,
            ForkChild::Channel& channel) {
  ::setenv("KX_HOME", home.c_str(), 1);
  dataserver::ScopedBackend scope(Barrier(round.shared, channel));
  int result = 0;
  DBLogBackupDataWriter writer(round.subclient, false, 0, round.stream, "", nullptr, false);
  if (!writer.getDataServerContextPtrForBackup()) return 64;
  writer.enableWriteMetadata();
  CZoError e = Store(writer, round.shared, content);
  if (e.IsSuccess()) result |= kSharedStored;
  if (FXErrorUtil::IsErrNo(e, EEXIST)) result |= kSharedRefused;
  if (Store(writer, own, "own file of " + home).IsSuccess()) result |= kPrivateStored;
  CZoError ended = writer.finish();
  if (ended.IsSuccess()) result |= kFinished;
  // What went wrong reaches the test's output (the child's log is its own).
  if (e.IsError() && (result & kSharedRefused) == 0) std::fprintf(stderr, "%s: %s\n", home.c_str(), e.AsString().c_str());
  if (ended.IsError()) std::fprintf(stderr, "%s: %s\n", home.c_str(), ended.AsString().c_str());
  return result;
}

// One machine's archive command: kxmp push of segment behind the barrier, its output into out.
int Push(const std::string& home, const std::string& segment, int stream, uint64_t subclient,
         const std::string& out, ForkChild::Channel& channel) {
  dataserver::ScopedBackend scope(Barrier(segment.substr(segment.rfind('/') + 1), channel));
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  ::close(fd);
  std::vector<std::string> args = {"kxmp", "--home", home, "push", "--subclient", std::to_string(subclient),
                                   "--stream", std::to_string(stream), segment};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int status = kxmp::cli::Main(static_cast<int>(args.size()), argv.data());
  std::fflush(nullptr);
  return status;
}

class ManyWritersTest : public TwoMachinesTest {
 protected:
  void Race(const Storage& storage) {
    // Each machine waits for its go at each barrier; a machine that is gone (it failed before
    // a barrier, as writers did before this protocol) is not waited for again.
    for (int r = 0; r < 4; ++r) {
      const bool together = r % 2 == 0;
      SCOPED_TRACE(std::string(storage.what) + (together ? ", together" : ", one after the other") + ", round " +
                   std::to_string(r));
      const Round round{storage.subclient, 10 + r, "z" + std::to_string(r) + ".trn"};
      const std::vector<std::string> homes = Homes();
      std::vector<std::string> contents, owns;
      std::vector<std::unique_ptr<ForkChild>> machines;
      for (int m = 0; m < 2; ++m) {
        contents.push_back(Bytes((1u << 20) + 17 * m, static_cast<uint32_t>(r * 2 + m)));
        owns.push_back("own" + std::to_string(m) + "_" + std::to_string(r) + ".trn");
        machines.push_back(std::make_unique<ForkChild>([&, m](ForkChild::Channel& channel) {
          return Machine(homes[m], round, contents[m], owns[m], channel);
        }));
      }
      bool held[2];
      auto arrive = [&](int m) { held[m] = machines[m]->channel().Wait(); };
      auto go = [&](int m) {
        if (held[m]) machines[m]->channel().Signal();
      };
      arrive(0), arrive(1);  // both at the commit of the shared name
      if (together) {
        go(0), go(1);
      } else {
        go(0), arrive(0);  // the first committed it, and waits at the metadata
        go(1);
      }
      if (together) arrive(0);
      arrive(1);  // both at the start of the stream's metadata
      go(0), go(1);
      const int result[2] = {machines[0]->Join(), machines[1]->Join()};

      // One whole version, the winner's; the other machine was refused, not replaced.
      const int winner = (result[0] & kSharedStored) ? 0 : 1;
      EXPECT_NE(result[0] & kSharedStored, result[1] & kSharedStored) << result[0] << " " << result[1];
      EXPECT_TRUE(result[1 - winner] & kSharedRefused) << result[1 - winner];
      EXPECT_TRUE(ReadFile(storage.root + "/" + round.shared) == contents[winner]) << "the name holds another copy";
      for (int m = 0; m < 2; ++m) {
        EXPECT_EQ(result[m] & (kPrivateStored | kFinished), kPrivateStored | kFinished) << "machine " << m;
      }
      // Nothing of the protocol stays: no temporary, set-aside or lock file.
      for (const std::string& name : FolderNames(storage.root)) EXPECT_FALSE(EndsWith(name, ".tmp")) << name;
      // The union of what both committed, every name once.
      std::vector<std::string> listed =
          ListedNames(ReadFile(storage.root + "/StreamMetadata_" + std::to_string(round.stream) + ".xml"));
      std::sort(listed.begin(), listed.end());
      std::vector<std::string> want = {round.shared, owns[0], owns[1]};
      std::sort(want.begin(), want.end());
      EXPECT_EQ(listed, want);
    }
  }

  // Both machines push one segment at once: both held inside the commit, then both at the
  // stream's metadata. In the second round a folder is in the way of the metadata document.
  void PushTogether(const Storage& storage) {
    const std::vector<std::string> homes = Homes();
    for (int r = 0; r < 2; ++r) {
      const bool metadataFails = r == 1;
      SCOPED_TRACE(std::string(storage.what) + (metadataFails ? ", metadata not writable" : ""));
      const std::string name = "00000001000000000000000" + std::to_string(r + 1);
      const std::string content = Bytes((1u << 20) + 5, static_cast<uint32_t>(40 + r));
      const int stream = 20 + r;
      const std::string document = storage.root + "/StreamMetadata_" + std::to_string(stream) + ".xml";
      if (metadataFails) WriteFile(document + "/in-the-way", "x");
      std::vector<std::string> outs;
      std::vector<std::unique_ptr<ForkChild>> machines;
      for (int m = 0; m < 2; ++m) {
        const std::string segment = home_->sub("pg_wal" + std::to_string(m) + "/" + name);
        WriteFile(segment, content);
        outs.push_back(home_->sub("push" + std::to_string(m) + ".out"));
        machines.push_back(std::make_unique<ForkChild>([&, m, segment](ForkChild::Channel& channel) {
          return Push(homes[m], segment, stream, storage.subclient, outs[m], channel);
        }));
      }
      for (int barrier = 0; barrier < 2; ++barrier) {
        bool held[2];
        for (int m = 0; m < 2; ++m) held[m] = machines[m]->channel().Wait();
        for (int m = 0; m < 2; ++m) {
          if (held[m]) machines[m]->channel().Signal();
        }
      }
      for (int m = 0; m < 2; ++m) {
        const int status = machines[m]->Join();
        const std::string out = ReadFile(outs[m]);
        EXPECT_EQ(status, 0) << "machine " << m << ": " << out;
        if (!metadataFails) {
          EXPECT_EQ(out, "") << "machine " << m;  // an archive command is quiet when it succeeds
          continue;
        }
        EXPECT_NE(out.find("kxmp push: warning: "), std::string::npos) << out;
        EXPECT_NE(out.find("StreamMetadata_21.xml"),
                  std::string::npos) << out;
        EXPECT_NE(out.find("the file itself is stored"), std::string::npos) << out;
        EXPECT_NE(Kxmp({"--home", homes[m], "events"}).out.find("kxmp push of " + name + " for subclient "),
                  std::string::npos) << "machine " << m;
      }
      EXPECT_TRUE(ReadFile(storage.root + "/" + name) == content);
      for (const std::string& n : FolderNames(storage.root)) EXPECT_FALSE(EndsWith(n, ".tmp")) << n;
      if (!metadataFails) {
        EXPECT_EQ(ListedNames(ReadFile(document)), std::vector<std::string>{name});
      }
    }
  }
};

TEST_F(ManyWritersTest, ExpiryOnOneMachineBesideABackupOnAnother) {
  const Storage storage = Storages()[1];
  const std::string sub = std::to_string(storage.subclient);
  std::vector<std::string> backup = {"backup", "--subclient", sub, "--stream", "30", "--metadata"};
  for (int i = 0; i < 4; ++i) {
    backup.push_back(home_->sub("old/a" + std::to_string(i) + ".trn"));
    WriteFile(backup.back(), Bytes(4096 + i, static_cast<uint32_t>(i)));
  }
  ASSERT_EQ(Kxmp(backup).status, 0);
  const time_t stored = ::time(nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ::time(nullptr) > stored; }, 5000));  // older than the expiry's start

  // Machine A backs up b0 and b1 into the same stream, held with b0's temporary file in place;
  // machine B expires everything named before "b" meanwhile, and A goes on while it runs.
  const Round round{storage.subclient, 30, "b0.trn"};
  const std::string content = Bytes(1u << 20, 99);
  ForkChild machine([&](ForkChild::Channel& channel) { return Machine(home_->path(), round, content, "b1.trn", channel); });
  ASSERT_TRUE(machine.channel().Wait());
  RunResult expired;
  std::thread expiry([&] { expired = Kxmp({"--home", secondHome_, "expire", "--subclient", sub, "--before", "b", "--json"}); });
  machine.channel().Signal();
  if (machine.channel().Wait()) machine.channel().Signal();  // at the stream's metadata
  const int result = machine.Join();
  expiry.join();

  EXPECT_EQ(result & (kSharedStored | kPrivateStored | kFinished), kSharedStored | kPrivateStored | kFinished) << result;
  EXPECT_EQ(expired.status, 0) << expired.out << expired.err;
  EXPECT_EQ(Summary(expired)["expired"], 4) << expired.out;
  std::vector<std::string> names = FolderNames(storage.root);
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == '.'; }), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"StreamMetadata_30.xml", "b0.trn", "b1.trn"}));
  EXPECT_TRUE(ReadFile(storage.root + "/b0.trn") == content);
  EXPECT_EQ(ListedNames(ReadFile(storage.root + "/StreamMetadata_30.xml")),
            (std::vector<std::string>{"b0.trn", "b1.trn"}));
  // Every remaining file has its record, and no record is left of what went.
  RunResult r = Kxmp({"verify", "--subclient", sub, "--json"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const nlohmann::json summary = Summary(r);
  EXPECT_EQ(summary["ok"], 2) << r.out;
  EXPECT_EQ(summary["missing"], 0) << r.out;
  EXPECT_EQ(summary["unverified"], 0) << r.out;
}

TEST_F(ManyWritersTest, TwoMachinesOnOneSftpStorageHost) { Race(Storages()[0]); }

TEST_F(ManyWritersTest, TwoMachinesOnOneLocalFolder) { Race(Storages()[1]); }

TEST_F(ManyWritersTest, TwoArchiversPushOneSegmentAtOnce) {
  for (const Storage& storage : Storages()) PushTogether(storage);
}

}  // namespace
}  // namespace kxmp::test
