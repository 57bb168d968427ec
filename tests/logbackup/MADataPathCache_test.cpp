#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>

#include "kxmp/LocalFileContext.h"
#include "logbackup/JobResultsFixture.h"
#include "outside/error/FXErrorUtil.h"
#include "support/ForkChild.h"

namespace kxmp::test {
namespace {

class MADataPathCacheTest : public JobResultsTest {
 protected:
  // Reads the file into a fresh message, as a writer does.
  std::vector<DataPath> ReadBack(unsigned long id) {
    Tessel::MADataPathsListCache cache;
    CZoError err = LocalFileContext::readMADataPathsFromMACache(id, cache);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    return DataPathsOf(cache);
  }
  CZoError Update(unsigned long id, CFSInitParams params) {
    Tessel::MADataPathsListCache cache;
    EXPECT_TRUE(LocalFileContext::readMADataPathsFromMACache(id, cache).IsSuccess());
    return LocalFileContext::updateMADataPathCache(id, cache, &params);
  }
  static std::vector<std::string> Names(const std::string& folder) { return FolderNames(folder); }
  static struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return st;
  }
};

TEST_F(MADataPathCacheTest, ReadingAMissingFileSucceedsAndLogsOnce) {
  Tessel::MADataPathsListCache cache;
  ASSERT_TRUE(LocalFileContext::readMADataPathsFromMACache(5, cache).IsSuccess());
  EXPECT_TRUE(DataPathsOf(cache).empty());
  EXPECT_EQ(1, log_->Count(-1, "Not able to access MA cache file errno = [2]"));
  EXPECT_EQ(1u, log_->Lines().size()) << log_->Dump();
  EXPECT_FALSE(PathExists(SubclientFolder(5)));
}

TEST_F(MADataPathCacheTest, UpdatesAppendInOrderAndTheFileHoldsTheMessageAndALineBreak) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1*ma1*1*2", "/mnt/a", 1)).IsSuccess());
  EXPECT_EQ(
      "<MADataPathsListCache><dataPaths hostName=\"ma1*ma1*1*2\" mountPath=\"/mnt/a\" mountPathId=\"1\"/>"
      "</MADataPathsListCache>\n",
      ReadFile(CacheFile(5)));

  // A new mount path on the same host, with a negative id widened with its sign.
  ASSERT_TRUE(Update(5, ParamsFor("ma1*ma1*1*2", "/mnt/b", -3)).IsSuccess());
  EXPECT_TRUE(log_->Has(0, "Successfully read from MA cachefile [" + CacheFile(5) + "]")) << log_->Dump();
  EXPECT_EQ((std::vector<DataPath>{{"ma1*ma1*1*2", "/mnt/a", 1}, {"ma1*ma1*1*2", "/mnt/b", -3}}), ReadBack(5));
  EXPECT_FALSE(PathExists(CacheFile(5) + ".tmp"));
  EXPECT_FALSE(PathExists(SubclientFolder(6)));  // per subclient
}

TEST_F(MADataPathCacheTest, AListedHostAndPathChangesNothingOnDisk) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  struct stat before = StatOf(CacheFile(5));
  std::string content = ReadFile(CacheFile(5));
  log_->Clear();

  Tessel::MADataPathsListCache cache;
  ASSERT_TRUE(LocalFileContext::readMADataPathsFromMACache(5, cache).IsSuccess());
  CFSInitParams sameOtherId = ParamsFor("ma1", "/mnt/a", 99);
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(5, cache, &sameOtherId).IsSuccess());
  EXPECT_TRUE(log_->Has(0, "MA path [/mnt/a;ma1] already in cache")) << log_->Dump();
  EXPECT_EQ((std::vector<DataPath>{{"ma1", "/mnt/a", 1}}), DataPathsOf(cache));

  struct stat after = StatOf(CacheFile(5));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(content, ReadFile(CacheFile(5)));
}

TEST_F(MADataPathCacheTest, HostNamesDifferingInCaseAreDifferentDataPaths) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  ASSERT_TRUE(Update(5, ParamsFor("MA1", "/mnt/a", 1)).IsSuccess());
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/MNT/a", 1)).IsSuccess());
  EXPECT_EQ(3u, ReadBack(5).size());
}

TEST_F(MADataPathCacheTest, NullParamsWriteTheGivenCacheUnchanged) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  // A message the caller built itself replaces the file as it is, with no merge.
  Tessel::MADataPathsListCache mine;
  CFSInitParams p = ParamsFor("ma2", "/mnt/z", 7);
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(6, mine, &p).IsSuccess());
  Tessel::MADataPathsListCache copy = mine;
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(5, mine, nullptr).IsSuccess());
  EXPECT_EQ((std::vector<DataPath>{{"ma2", "/mnt/z", 7}}), ReadBack(5));
  std::string expected;
  ASSERT_EQ(0, copy.serialize(expected, false));
  EXPECT_EQ(expected + "\n", ReadFile(CacheFile(5)));
}

TEST_F(MADataPathCacheTest, AnEmptyMessageCreatesTheFileAndItsFolders) {
  ASSERT_FALSE(PathExists(jobResults_ + "/2"));
  Tessel::MADataPathsListCache empty;
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(77, empty, nullptr).IsSuccess());
  EXPECT_EQ("<MADataPathsListCache/>\n", ReadFile(CacheFile(77)));
  EXPECT_TRUE(ReadBack(77).empty());
}

TEST_F(MADataPathCacheTest, AFailedRewriteLeavesThePreviousFileWholeAndNamesTheCacheFile) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  const std::string content = ReadFile(CacheFile(5));
  // A child whose files may not grow past a few bytes: the new content cannot be written.
  ForkChild child([&](ForkChild::Channel&) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small {16, 16};
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) return 10;
    CZoError err = Update(5, ParamsFor("ma1", "/mnt/b", 2));
    if (!FXErrorUtil::IsErrNo(err, EFBIG)) return 11;
    if (err.Frames().back().message != "Failed to write MA cache file [" + CacheFile(5) + "]") return 12;
    if (err.Message().find("[" + CacheFile(5) + "]") == std::string::npos) return 14;
    if (err.AsString().find(".tmp") != std::string::npos) return 13;  // the temporary name means nothing to a user
    return 0;
  });
  EXPECT_EQ(0, child.Join());
  EXPECT_EQ(content, ReadFile(CacheFile(5)));
  EXPECT_EQ((std::vector<std::string>{"DBLogBackupMAPathCache.xml"}), Names(SubclientFolder(5)));
}

TEST_F(MADataPathCacheTest, LeftoversAtTemporaryNamesNeverBlockAndTheFileKeepsItsPermissions) {
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  ASSERT_EQ(0, ::chmod(CacheFile(5).c_str(), 0600));
  // A folder and a link where earlier versions put their temporary file.
  WriteFile(home_->sub("victim"), "precious");
  ASSERT_TRUE(CZoDirectory::Create(CacheFile(5) + ".tmp", false).IsSuccess());
  ASSERT_EQ(0, ::symlink(home_->sub("victim").c_str(), (CacheFile(5) + ".tmp.1").c_str()));

  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/b", 2)).IsSuccess());
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/c", 3)).IsSuccess());
  EXPECT_EQ(3u, ReadBack(5).size());
  EXPECT_EQ(0600u, StatOf(CacheFile(5)).st_mode & 07777);
  EXPECT_EQ("precious", ReadFile(home_->sub("victim")));
  EXPECT_EQ((std::vector<std::string>{"DBLogBackupMAPathCache.xml", "DBLogBackupMAPathCache.xml.tmp",
                                      "DBLogBackupMAPathCache.xml.tmp.1"}),
            Names(SubclientFolder(5)));
}

TEST_F(MADataPathCacheTest, AnUpdateKeepsWhatOthersWroteSinceTheCallerRead) {
  Tessel::MADataPathsListCache early;
  ASSERT_TRUE(LocalFileContext::readMADataPathsFromMACache(5, early).IsSuccess());  // no file yet
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/other", 1)).IsSuccess());           // another writer
  CFSInitParams mine = ParamsFor("ma2", "/mnt/mine", 2);
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(5, early, &mine).IsSuccess());
  std::vector<DataPath> expected{{"ma1", "/mnt/other", 1}, {"ma2", "/mnt/mine", 2}};
  EXPECT_EQ(expected, ReadBack(5));
  EXPECT_EQ(expected, DataPathsOf(early));  // the caller's message is what was written

  // Already written by the other writer, unknown to this caller: listed once.
  Tessel::MADataPathsListCache stale;
  CFSInitParams other = ParamsFor("ma1", "/mnt/other", 1);
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(5, stale, &other).IsSuccess());
  EXPECT_EQ(expected, ReadBack(5));
}

TEST_F(MADataPathCacheTest, UnreadableContentIsReportedAndThenReplaced) {
  WriteFile(CacheFile(5), "not xml at all");
  Tessel::MADataPathsListCache cache;
  CZoError err = LocalFileContext::readMADataPathsFromMACache(5, cache);
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, 5));
  EXPECT_EQ("Failed to unserialize XML error errCode = [8] errorStr=[]", err.Message());
  EXPECT_TRUE(DataPathsOf(cache).empty());

  // A writer logs the failed read and carries on; its update replaces the broken file.
  CFSInitParams p = ParamsFor("ma1", "/mnt/a", 1);
  ASSERT_TRUE(LocalFileContext::updateMADataPathCache(5, cache, &p).IsSuccess());
  EXPECT_EQ(1u, ReadBack(5).size());

  // A folder where the file should be cannot be read.
  ASSERT_TRUE(CZoDirectory::Create(CacheFile(6), true).IsSuccess());
  err = LocalFileContext::readMADataPathsFromMACache(6, cache);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ("Failed to read from the MA cache file [" + CacheFile(6) + "] ", err.Frames().back().message);
}

TEST_F(MADataPathCacheTest, FolderAndSerializationFailures) {
  // The level-2 folder is a file: the subclient's folder cannot be made.
  WriteFile(jobResults_ + "/2", "x");
  CZoError err = Update(5, ParamsFor("ma1", "/mnt/a", 1));
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ("Failed to create directory [" + SubclientFolder(5) + "]", err.Frames().back().message);
  EXPECT_EQ("DataWriterReader.cpp", err.Frames().back().file);
  ASSERT_EQ(0, ::unlink((jobResults_ + "/2").c_str()));

  // XML cannot carry a NUL character.
  ASSERT_TRUE(Update(5, ParamsFor("ma1", "/mnt/a", 1)).IsSuccess());
  std::string content = ReadFile(CacheFile(5));
  err = Update(5, ParamsFor(std::string("ma\0x", 4), "/mnt/b", 2));
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, 5));
  EXPECT_EQ("XML serialization failed while updating the MA cache, error=[12]", err.Message());
  EXPECT_TRUE(log_->Has(-1, "Failed to serailize MA datapath XML, error=[12]"));
  EXPECT_EQ(content, ReadFile(CacheFile(5)));
}

}  // namespace
}  // namespace kxmp::test
