// test-labels: concurrency integration
// Two client machines (two homes, see TwoMachinesFixture.h) write one name and one stream to
// one storage host at once, on a real SFTP server and on a local folder. A barrier holds each
// writer inside the write protocol (at the commit of the shared name, then at the start of the
// stream's metadata), and lets them go together or one after the other. After every round, on
// the storage itself: the name holds one whole version, written by the writer that reported
// success; the other was refused, not silently replaced; no temporary or lock file is left;
// the stream's document lists every file that either machine committed, once.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataWriter.h"
#include "outside/dataserver/Backend.h"
#include "support/FaultyBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "support/ForkChild.h"
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

// One machine: its home, a barrier at the commit of the shared name and at the first call of
// the stream's metadata (each: tell the parent, wait for its go), then the backup.
int Machine(const std::string& home, const Round& round, const std::string& content, const std::string& own,
            ForkChild::Channel& channel) {
  ::setenv("KX_HOME", home.c_str(), 1);
  auto barrier = std::make_shared<FaultyBackend>(dataserver::CurrentBackend());
  bool atCommit = false, atMetadata = false;
  barrier->OnCall([&](const FaultyBackend::Call& c) {
    const bool commit = c.op == "Move" && c.path.find("/" + round.shared + ".") != std::string::npos &&
                        EndsWith(c.path, ".tmp");
    const bool metadata = c.path.find("StreamMetadata_") != std::string::npos;
    bool& passed = commit ? atCommit : atMetadata;
    if ((commit || metadata) && !passed) {
      passed = true;
      channel.Signal();
      channel.Wait();
    }
  });
  dataserver::ScopedBackend scope(barrier);
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
};

TEST_F(ManyWritersTest, TwoMachinesOnOneSftpStorageHost) { Race(Storages()[0]); }

TEST_F(ManyWritersTest, TwoMachinesOnOneLocalFolder) { Race(Storages()[1]); }

}  // namespace
}  // namespace kxmp::test
