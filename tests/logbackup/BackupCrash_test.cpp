// test-labels: slow
// A backup killed at random points: no file may exist under its final name unless its content
// is complete and correct, and the data-path cache file must always parse. In file-mode too: a
// replacement killed at any point leaves the whole earlier copy or the whole new one.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/LocalFileContext.h"
#include "logbackup/LogBackupFixture.h"
#include "support/ForkChild.h"

namespace kxmp::test {
namespace {

class BackupCrashTest : public LogBackupTest {};

// "c<run>_<k>.log": size and content follow from run and k.
size_t SizeFor(int k) { return k % 4 == 0 ? 0 : static_cast<size_t>(k % 7) * 300000 + 11; }
uint32_t SeedFor(int run, int k) { return static_cast<uint32_t>(run * 1000 + k); }

int BackupUntilKilled(int run, ForkChild::Channel& channel) {
  if (!channel.Wait()) return 2;
  DBLogBackupDataWriter w(42, false, 0, run, "", nullptr, true);
  w.enableWriteMetadata();
  for (int k = 0; k < 12; ++k) {
    const std::string name = "c" + std::to_string(run) + "_" + std::to_string(k) + ".log";
    const std::string content = Content(SizeFor(k), SeedFor(run, k));
    if (w.open(name, O_WRONLY | O_CREAT | O_TRUNC, 0640).IsError()) return 3;
    for (size_t off = 0; off < content.size(); off += 65536) {
      if (w.write(content.data() + off, std::min<size_t>(65536, content.size() - off)).IsError()) return 4;
    }
    if (w.close(name).IsError()) return 5;
  }
  return 0;
}

TEST_F(BackupCrashTest, KilledBackupLeavesOnlyCompleteFilesUnderFinalNames) {
  Attach({0});
  std::mt19937 random(12345);
  int killedEarly = 0;
  for (int run = 0; run < 24; ++run) {
    ForkChild child([run](ForkChild::Channel& channel) { return BackupUntilKilled(run, channel); });
    child.channel().Signal();
    ::usleep(std::uniform_int_distribution<int>(0, 60000)(random));
    child.Kill();
    const int status = child.Join();
    if (status != 0) ++killedEarly;
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;

    DIR* dir = ::opendir(Root(0).c_str());
    if (dir == nullptr && errno == ENOENT) continue;  // killed before the root folder was made
    ASSERT_NE(dir, nullptr);
    while (struct dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") == 0) continue;
      const std::string content = ReadFile(Root(0) + "/" + name);
      if (name.rfind("StreamMetadata_", 0) == 0) {
        StreamContext doc;
        EXPECT_EQ(doc.fromString(content), 0) << name;
        continue;
      }
      int r = -1, k = -1;
      ASSERT_EQ(std::sscanf(name.c_str(), "c%d_%d.log", &r, &k), 2) << name;
      EXPECT_TRUE(content == Content(SizeFor(k), SeedFor(r, k))) << name << " is incomplete or wrong";
    }
    ::closedir(dir);
    if (PathExists(CacheFile())) {
      Tessel::MADataPathsListCache cache;
      EXPECT_FALSE(LocalFileContext::readMADataPathsFromMACache(kSubclient, cache).IsError()) << run;
    }
  }
  EXPECT_GT(killedEarly, 0);  // the kills did land inside backups
}

TEST_F(BackupCrashTest, KilledFileModeReplacementLeavesAWholeCopy) {
  const std::string local = home_->sub("local"), path = local + "/big.log";
  std::mt19937 random(777);
  std::string current = Content(1 << 20, 0);
  WriteFile(path, current);
  int killedEarly = 0;
  for (int run = 1; run <= 16; ++run) {
    const std::string next = Content((size_t(4) << 20) + static_cast<size_t>(run), static_cast<uint32_t>(run));
    ForkChild child([&](ForkChild::Channel& channel) {
      if (!channel.Wait()) return 2;
      DBLogBackupDataWriter w(42, true, 0, 1, local, nullptr, false);
      w.setReplaceExisting(true);
      if (w.open("big.log", O_WRONLY | O_CREAT | O_TRUNC, 0640).IsError()) return 3;
      for (size_t off = 0; off < next.size(); off += 65536) {
        if (w.write(next.data() + off, std::min<size_t>(65536, next.size() - off)).IsError()) return 4;
      }
      return w.close("big.log").IsError() ? 5 : 0;
    });
    child.channel().Signal();
    ::usleep(std::uniform_int_distribution<int>(0, 40000)(random));
    child.Kill();
    const int status = child.Join();
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
    if (status != 0) ++killedEarly;
    ASSERT_TRUE(PathExists(path)) << "run " << run << ": the earlier copy is gone";
    const std::string stored = ReadFile(path);
    ASSERT_TRUE(stored == current || stored == next) << "run " << run << ": " << stored.size() << " bytes";
    current = stored;
  }
  EXPECT_GT(killedEarly, 0);
}

}  // namespace
}  // namespace kxmp::test
