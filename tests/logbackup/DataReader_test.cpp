// Searching backed-up log files on every context of a subclient and reading them back.

#include <errno.h>

#include <chrono>
#include <list>
#include <string>

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/LogBackupFixture.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::test {
namespace {

class DataReaderTest : public LogBackupTest {
 protected:
  void SetUp() override {
    LogBackupTest::SetUp();
    // Two mount paths with backups: mp1 (ma1) and mp2 (ma2).
    Attach({0, 1});
    WriteFile(Root(0) + "/db_log_001.trn", "first-1");
    WriteFile(Root(0) + "/sub/db_log_002.trn", "first-2");
    WriteFile(Root(1) + "/db_log_001.trn", "second-1");
    WriteFile(Root(1) + "/other.bak", "o");
    reader_ = std::make_unique<DBLogBackupDataReader>(kSubclient, false, "", &handler_);
    ASSERT_EQ(reader_->getContextList().size(), 2u);
    log_->Clear();
  }

  std::list<DataServerSearchResult> SearchAll(const std::string& pattern) {
    std::list<DataServerSearchResult> results;
    CZoError e = reader_->search(pattern, results, true);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 2)) << e.AsString();  // the list form always ends "not found"
    return results;
  }

  // "host:dir/name" of every file found, in order.
  static std::vector<std::string> Names(const std::list<DataServerSearchResult>& results) {
    std::vector<std::string> out;
    for (const auto& r : results) {
      for (const auto& f : r.files) out.push_back(r.context->getServerName() + ":" + f.directory + "/" + f.fileName);
    }
    return out;
  }

  std::unique_ptr<DBLogBackupDataReader> reader_;
};

TEST_F(DataReaderTest, ListFormGathersOneResultPerContext) {
  auto results = SearchAll("db_log");
  EXPECT_EQ(Names(results), (std::vector<std::string>{"ma1:/db_log_001.trn", "ma1:/sub/db_log_002.trn",
                                                      "ma2:/db_log_001.trn"}));
  // An empty pattern matches every file and never a folder.
  EXPECT_EQ(Names(SearchAll("")).size(), 4u);
  // Anchors make a whole-name match; letter case alone still matches by name.
  EXPECT_EQ(Names(SearchAll("^db_log_001.trn$")).size(), 2u);
  EXPECT_EQ(Names(SearchAll("^db_log$")).size(), 0u);
  EXPECT_EQ(Names(SearchAll("OTHER.BAK")), std::vector<std::string>{"ma2:/other.bak"});
  EXPECT_EQ(Names(SearchAll("sub")).size(), 0u);  // folder names are not searched
  EXPECT_TRUE(log_->Has(0, "Failed to serach for file [sub]  file not found on MA Hostname [ma1] Mountpath[" +
                               Root(0) + "], trying on next"));
}

TEST_F(DataReaderTest, SingleFormStopsAtTheFirstContextInListOrder) {
  DataServerSearchResult result;
  ASSERT_FALSE(reader_->search("db_log_001.trn", result, false).IsError());
  EXPECT_EQ(result.context->getServerName(), "ma1");
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files.front().fileName, "db_log_001.trn");

  // findAll walks everything and keeps only the last context's matches.
  DataServerSearchResult all;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->search("db_log", all, true), 2));
  EXPECT_FALSE(all.context);
  EXPECT_EQ(all.files.size(), 1u);

  DataServerSearchResult none;
  CZoError e = reader_->search("missing.trn", none, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 2));
  EXPECT_EQ(e.Message(), "File [missing.trn] not found  ");
  EXPECT_TRUE(none.files.empty());
}

TEST_F(DataReaderTest, CallbackFormStopsWhenTheCallerHasWhatItWants) {
  struct Collect : DataServerSearchInterface {
    int32_t onEntry(const char* dir, const char* name, DataServerContextPtr context) override {
      seen.push_back(context->getServerName() + ":" + dir + "/" + name);
      return seen.size() == 2 ? 1 : 0;
    }
    std::vector<std::string> seen;
  } collect;
  ASSERT_FALSE(reader_->search("db_log", collect, false).IsError());
  EXPECT_EQ(collect.seen.size(), 2u);
  collect.seen.clear();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->search("db_log", collect, true), 2));
  EXPECT_EQ(collect.seen.size(), 3u);
}

TEST_F(DataReaderTest, ContextGivenInTheInputIsWalkedFirst) {
  DataServerSearchResult result;
  DataServerSearchInput input;
  input.pattern = "db_log_001";
  input.singleResult = &result;
  input.context = reader_->getContextList().back();
  ASSERT_FALSE(reader_->searchFile(input).IsError());
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(input.context->getServerName(), "ma2");
}

TEST_F(DataReaderTest, FailingWalkOfOneContextIsLoggedAndTheNextIsSearched) {
  faulty_->FailUnder("WalkDir", mounts_[0], EHOSTUNREACH);
  DataServerSearchResult result;
  ASSERT_FALSE(reader_->search("db_log_001.trn", result, false).IsError());
  EXPECT_EQ(result.context->getServerName(), "ma2");
  EXPECT_EQ(log_->CountContaining("Error during search MA-datapath-RootFolder [ma1-" + Root(0) + "-" + Root(0) +
                                  "] input[db_log_001.trn] error = ["),
            1);
  ASSERT_EQ(handler_.errors.size(), 1u);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler_.errors[0], EHOSTUNREACH));
}

TEST_F(DataReaderTest, InvalidPatternStillMatchesByNameAndIsLoggedOnce) {
  WriteFile(Root(0) + "/Log(1", "p");
  WriteFile(Root(1) + "/log(1x", "q");
  auto results = SearchAll("log(1");
  EXPECT_EQ(Names(results), std::vector<std::string>{"ma1:/Log(1"});
  EXPECT_EQ(log_->CountContaining("is not a valid regular expression"), 1);
}

TEST_F(DataReaderTest, RunawayPatternEndsQuicklyAsNoMatch) {
  WriteFile(Root(0) + "/" + std::string(40, 'a') + "!", "");
  WriteFile(Root(0) + "/aaaa", "");
  const auto start = std::chrono::steady_clock::now();
  auto results = SearchAll("^(a+)+$");
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(Names(results), std::vector<std::string>{"ma1:/aaaa"});
}

TEST_F(DataReaderTest, FilesBeingWrittenAreNeverFoundNorOpened) {
  WriteFile(Root(0) + "/db_log_003.trn.tmp", "partial");  // a killed backup's leftover
  WriteFile(Root(1) + "/sub/x.tmp", "partial");
  for (const char* pattern : {"", "db_log", "tmp", "db_log_003.trn.tmp"}) {
    SCOPED_TRACE(pattern);
    for (const auto& name : Names(SearchAll(pattern))) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
  DataServerSearchResult result;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->search("\\.tmp$", result, false), 2));
  DataServerSearchFile partial("", "db_log_003.trn.tmp");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->open(partial, reader_->getContextList().front()), ENOENT));
  EXPECT_EQ(faulty_->CountCalls("Open"), 0);
}

TEST_F(DataReaderTest, ReadsAFoundFileToItsEnd) {
  DataServerSearchResult result;
  ASSERT_FALSE(reader_->search("db_log_002", result, false).IsError());
  ASSERT_FALSE(reader_->open(result.files.front(), result.context).IsError());
  char buffer[64];
  unsigned int n = 0;
  ASSERT_FALSE(reader_->read(buffer, 3, n).IsError());
  EXPECT_EQ(std::string(buffer, n), "fir");
  ASSERT_FALSE(reader_->read(buffer, sizeof buffer, n).IsError());
  EXPECT_EQ(std::string(buffer, n), "st-2");
  ASSERT_FALSE(reader_->read(buffer, sizeof buffer, n).IsError());
  EXPECT_EQ(n, 0u);
  ASSERT_FALSE(reader_->close(result.context).IsError());
  EXPECT_FALSE(reader_->close(result.context).IsError());  // nothing open
  // Reading with nothing open and no local context fails.
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->read(buffer, 1, n), 5));
}

// Only regular files are served, opening never waits (a FIFO without a writer would block for
// ever), and a read ends where the file ended when it was opened, however it grows after.
TEST_F(DataReaderTest, OnlyRegularFilesAreServedUpToTheirSizeAtOpen) {
  const auto context = reader_->getContextList().front();
  ASSERT_EQ(::mkfifo((Root(0) + "/pipe.trn").c_str(), 0600), 0);
  DataServerSearchFile pipe("", "pipe.trn");
  CZoError e = reader_->open(pipe, context);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EINVAL)) << e.AsString();
  EXPECT_NE(e.AsString().find("[pipe.trn] is a FIFO: only regular files are served"), std::string::npos) << e.AsString();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->check(DataServerSearchFile("", "sub"), context), EINVAL));
  EXPECT_FALSE(reader_->check(DataServerSearchFile("/sub", "db_log_002.trn"), context).IsError());

  DataServerSearchFile growing("", "db_log_001.trn");
  ASSERT_FALSE(reader_->open(growing, context).IsError());
  std::ofstream(Root(0) + "/db_log_001.trn", std::ios::app) << std::string(100000, 'x');
  char buffer[4096];
  unsigned int n = 0;
  ASSERT_FALSE(reader_->read(buffer, sizeof buffer, n).IsError());
  EXPECT_EQ(std::string(buffer, n), "first-1");
  ASSERT_FALSE(reader_->read(buffer, sizeof buffer, n).IsError());
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(reader_->close(context).IsError());
}

TEST_F(DataReaderTest, OpenAndReadFailuresAreRecorded) {
  DataServerSearchFile missing("", "gone.trn");
  CZoError e = reader_->open(missing, reader_->getContextList().front());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
  EXPECT_EQ(reader_->getLastErrorText().rfind("Failed to open file [gone.trn] for reading, error=", 0), 0u);
  EXPECT_EQ(handler_.errors.size(), 1u);

  DataServerSearchFile found("/sub", "db_log_002.trn");
  ASSERT_FALSE(reader_->open(found, reader_->getContextList().front()).IsError());
  faulty_->Fail("Read", "", EIO);
  char buffer[8];
  unsigned int n = 7;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader_->read(buffer, sizeof buffer, n), EIO));
  EXPECT_EQ(reader_->getLastErrorText().rfind("Failed to read from file, bytesRead=[0], error=", 0), 0u);
  EXPECT_EQ(handler_.errors.size(), 1u);  // read errors are not reported
  faulty_->ClearFaults();
  EXPECT_FALSE(reader_->close(reader_->getContextList().front()).IsError());
}

TEST_F(DataReaderTest, WithoutContextsSearchFails) {
  DBLogBackupDataReader nothing(kSubclient + 1, false, "", nullptr);
  DataServerSearchResult result;
  CZoError e = nothing.search("x", result, false);
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
  EXPECT_EQ(e.Message(), "dataserver context not initialized.");
}

}  // namespace
}  // namespace kxmp::test
