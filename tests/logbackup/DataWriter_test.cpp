// The log backup writer on a data-server context, in file-mode and without any context:
// commit by rename, failures at every storage step, clean-up, the destructor's work.

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/LocalFileContext.h"
#include "kxmp/StreamContext.h"
#include "logbackup/FileRecords.h"
#include "logbackup/LogBackupFixture.h"
#include "outside/error/FXErrorUtil.h"
#include "support/FaultyBackend.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::test {
namespace {

constexpr unsigned int kCreate = O_WRONLY | O_CREAT | O_TRUNC;

using Writer = DBLogBackupDataWriter;

class DataWriterTest : public LogBackupTest {
 protected:
  std::unique_ptr<Writer> Make(time_t backupTime = 0, int32_t stream = 3, const std::string& root = "") {
    return std::make_unique<Writer>(kSubclient, false, backupTime, stream, root, &handler_, false);
  }
  // open, write, close of one file; the first failing step's error.
  static CZoError Backup(Writer& w, const std::string& name, const std::string& content) {
    CZoError e = w.open(name, kCreate, 0640);
    if (e.IsSuccess()) e = w.write(content.data(), content.size());
    if (e.IsSuccess()) e = w.close(name);
    return e;
  }
};

TEST_F(DataWriterTest, ClosedFileIsRenamedToItsFinalNameAndRecorded) {
  Attach({0});
  auto w = Make();
  EXPECT_TRUE(log_->Has(0, "DataServer context initialized successfully [ma1] "));
  EXPECT_TRUE(w->isFileCommitted());  // time value 0: the root folder itself
  EXPECT_EQ(w->getRootFolder(), Root(0));
  ASSERT_EQ(w->getDataServerContextPtrForBackup()->getRootFolder(), Root(0));

  const time_t before = ::time(nullptr);
  ASSERT_FALSE(w->open("log_1.trn", kCreate, 0640).IsError());
  EXPECT_TRUE(PathExists(Tmp(0, "log_1.trn")));
  EXPECT_FALSE(PathExists(Root(0) + "/log_1.trn"));  // not before the close
  ASSERT_FALSE(w->write("abc", 3).IsError());
  ASSERT_FALSE(w->write("", 0).IsError());
  ASSERT_FALSE(w->close("log_1.trn").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/log_1.trn"), "abc");
  EXPECT_FALSE(PathExists(Tmp(0, "log_1.trn")));
  EXPECT_FALSE(w->verifyBackedupFile("log_1.trn").IsError());

  auto* files = w->getStreamContext()->metadata->getlistobject(
      2, 2, Tessel::kLogBackupToDiskStreamMetadataTag, Tessel::kLogBackupToDiskStreamMetadataFilesId, false);
  ASSERT_EQ(files->size(), 1u);
  EXPECT_GE(files->back()->getint64(2, Tessel::kLogBackupToDiskFileMetadataTag,
                                    Tessel::kLogBackupToDiskFileMetadataOpenTimeId),
            before);
  // Closing with nothing open does nothing, also twice.
  EXPECT_FALSE(w->close("").IsError());
  EXPECT_FALSE(w->close("").IsError());
  EXPECT_TRUE(handler_.errors.empty());
}

TEST_F(DataWriterTest, TimeValueAddsItsFolderAndDefersTheCommitFlag) {
  Attach({0});
  auto w = Make(1700000000, 3, "db1");
  EXPECT_EQ(w->getRootFolder(), Root(0) + "/db1/1700000000");
  EXPECT_FALSE(w->isFileCommitted());
  ASSERT_FALSE(Backup(*w, "a.log", "x").IsError());
  EXPECT_TRUE(w->isFileCommitted());
  EXPECT_EQ(ReadFile(Root(0) + "/db1/1700000000/a.log"), "x");
}

TEST_F(DataWriterTest, LeftoverTemporaryFileNeverLendsItsTail) {
  Attach({0});
  auto w = Make();
  WriteFile(Tmp(0, "x.log"), std::string(1000, 'Z'));  // from an interrupted backup
  ASSERT_FALSE(w->open("x.log", O_WRONLY | O_CREAT, 0640).IsError());  // the caller gave no O_TRUNC
  ASSERT_FALSE(w->write("new", 3).IsError());
  ASSERT_FALSE(w->close("x.log").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/x.log"), "new");
}

TEST_F(DataWriterTest, NamesLeadingOutOfTheRootFolderOrEndingInTmpAreRefused) {
  Attach({0});
  auto w = Make();
  CZoError e = w->open("../escape.log", kCreate, 0640);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EACCES)) << e.AsString();
  EXPECT_FALSE(PathExists(RootOn(0, "escape.log.tmp")));
  EXPECT_EQ(handler_.errors.size(), 1u);
  // ".tmp" marks files being written, which searches skip: no committed file may end in it.
  e = w->open("x.tmp", kCreate, 0640);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EINVAL)) << e.AsString();
  EXPECT_NE(e.AsString().find("[x.tmp] ends in \".tmp\""), std::string::npos) << e.AsString();
  EXPECT_FALSE(PathExists(Root(0) + "/x.tmp.tmp"));
  auto local = std::make_unique<Writer>(kSubclient, true, 0, 3, home_->sub("local"), &handler_, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(local->open("y.tmp", kCreate, 0640), EINVAL));
  EXPECT_FALSE(PathExists(home_->sub("local") + "/y.tmp"));
}

TEST_F(DataWriterTest, FailedOpenStillAddsARecordAndCommitsNothing) {
  Attach({0});
  auto w = Make();
  faulty_->Fail("Open", "", EACCES);
  CZoError e = w->open("a.log", kCreate, 0640);
  ASSERT_TRUE(FXErrorUtil::IsErrNo(e, EACCES));
  EXPECT_EQ(w->getLastErrorText().rfind("Failed to open file [a.log], error=", 0), 0u) << w->getLastErrorText();
  EXPECT_EQ(handler_.errors.size(), 1u);
  EXPECT_EQ(RecordedNames(*w->getStreamContext()), std::vector<std::string>{"a.log"});
  faulty_->ClearFaults();
  EXPECT_FALSE(w->close("a.log").IsError());
  EXPECT_EQ(faulty_->CountCalls("Move"), 0);
}

TEST_F(DataWriterTest, FailedWriteThenRemoveFileLeavesNothingBehind) {
  Attach({0});
  auto w = Make();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  ASSERT_FALSE(w->write("1234", 4).IsError());
  faulty_->Fail("Write", "", ENOSPC);
  CZoError e = w->write("5678", 4);
  ASSERT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC));
  EXPECT_TRUE(log_->Has(-1, w->getLastErrorText()));
  EXPECT_EQ(w->getLastErrorText().rfind("Failed to write to file, error=", 0), 0u);
  EXPECT_FALSE(w->removeFile("").IsError());
  EXPECT_FALSE(PathExists(Tmp(0, "a.log")));
  EXPECT_TRUE(RecordedNames(*w->getStreamContext()).empty());
  w.reset();  // the destructor must not commit the removed file
  EXPECT_FALSE(PathExists(Root(0) + "/a.log"));
}

TEST_F(DataWriterTest, WriteThatMakesNoProgressFailsInsteadOfLooping) {
  Attach({0});
  auto w = Make();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  faulty_->LimitTransfer("Write", 0);
  CZoError e = w->write("abc", 3);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
  EXPECT_EQ(e.Message(), "Write made no progress");
  faulty_->ClearFaults();
  EXPECT_TRUE(w->close("a.log").IsError());  // the file lacks "abc": never committed
  EXPECT_FALSE(PathExists(Root(0) + "/a.log"));
  EXPECT_FALSE(PathExists(Tmp(0, "a.log")));
  faulty_->LimitTransfer("Write", 2);  // short passes are fine
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  ASSERT_FALSE(w->write("defgh", 5).IsError());
  faulty_->ClearFaults();
  ASSERT_FALSE(w->close("a.log").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/a.log"), "defgh");
}

// A backend whose files accept every write without storing it and remember the pass sizes.
class SizeRecordingBackend : public dataserver::Backend {
 public:
  explicit SizeRecordingBackend(std::shared_ptr<dataserver::Backend> inner) : inner_(std::move(inner)) {}
  dataserver::BackendCapabilities Capabilities(const CFSInitParams& p) override {
    return declared ? *declared : inner_->Capabilities(p);
  }
  CFSInterface* NewFSInterface(const CFSInitParams& p) override { return inner_->NewFSInterface(p); }
  CFileInterface* NewFileInterface(const CFSInitParams& p) override {
    return new File(inner_->NewFileInterface(p), passes);
  }
  std::shared_ptr<std::vector<unsigned int>> passes = std::make_shared<std::vector<unsigned int>>();
  std::optional<dataserver::BackendCapabilities> declared;  // what it says it can do, else the inner's

 private:
  class File : public CFileInterface {
   public:
    File(CFileInterface* inner, std::shared_ptr<std::vector<unsigned int>> passes)
        : inner_(inner), passes_(std::move(passes)) {}
    CZoError Open(std::string path, int f, int m, int s) override { return inner_->Open(path, f, m, s); }
    CZoError Close() override { return inner_->Close(); }
    CZoError Read(void* b, unsigned int n, unsigned int* r) override { return inner_->Read(b, n, r); }
    CZoError Write(const void*, unsigned int n, unsigned int* w) override {
      passes_->push_back(n);
      *w = n;
      return CZoError::Success();
    }
    CZoError Seek(long long o, int w, int r) override { return inner_->Seek(o, w, r); }
    CZoError Tell(long long& p) override { return inner_->Tell(p); }
    CZoError GetSize(long long& s) override { return inner_->GetSize(s); }
    CZoError Truncate(long long s) override { return inner_->Truncate(s); }
    CZoError Stat(SZoFileStat& st) override { return inner_->Stat(st); }
    CZoError Flush() override { return inner_->Flush(); }
    CZoError Reserved12() override { return inner_->Reserved12(); }
    CZoError Reserved13() override { return inner_->Reserved13(); }
    CZoError Lock(int m) override { return inner_->Lock(m); }
    CZoError Unlock() override { return inner_->Unlock(); }

   private:
    std::unique_ptr<CFileInterface> inner_;
    std::shared_ptr<std::vector<unsigned int>> passes_;
  };
  std::shared_ptr<dataserver::Backend> inner_;
};

TEST_F(DataWriterTest, LengthOfFourGiBOrMoreIsWrittenInPassesWithoutWrapping) {
  Attach({0});
  auto w = Make();
  auto recording = std::make_shared<SizeRecordingBackend>(faulty_);
  dataserver::ScopedBackend scope(recording);
  // Address space only: the recording backend never reads the bytes.
  const size_t length = (size_t(4) << 30) + 5;
  void* buffer = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(buffer, MAP_FAILED);
  ASSERT_FALSE(w->open("big.log", kCreate, 0640).IsError());
  CZoError e = w->write(static_cast<const char*>(buffer), length);
  ::munmap(buffer, length);
  ASSERT_FALSE(e.IsError()) << e.AsString();
  size_t total = 0;
  for (unsigned int pass : *recording->passes) {
    EXPECT_LE(pass, 1u << 30);
    total += pass;
  }
  EXPECT_EQ(total, length);
  // The backend kept none of the bytes: the check before the commit says so.
  e = w->close("big.log");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
  EXPECT_NE(e.AsString().find("holds 0 bytes before its commit, not the 4294967301 written"), std::string::npos)
      << e.AsString();
  // Refused before the commit: nothing stands under the final name, no temporary file stays.
  EXPECT_FALSE(PathExists(Root(0) + "/big.log"));
  EXPECT_FALSE(PathExists(Tmp(0, "big.log")));
}

// The write protocol needs a rename that never replaces and durable names: a storage host whose
// data server declares either missing is refused before a byte is written.
TEST_F(DataWriterTest, AStorageHostThatCannotCommitSafelyIsRefusedBeforeAnythingIsWritten) {
  Attach({0});
  auto w = Make();
  auto host = std::make_shared<SizeRecordingBackend>(faulty_);
  dataserver::ScopedBackend scope(host);
  for (auto can : {dataserver::BackendCapabilities{true, false, true, true},
                   dataserver::BackendCapabilities{true, true, false, true}}) {
    host->declared = can;
    CZoError e = w->open("a.log", kCreate, 0640);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOTSUP)) << e.AsString();
    EXPECT_TRUE(host->passes->empty());
    EXPECT_FALSE(PathExists(Tmp(0, "a.log")));
  }
  host->declared.reset();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  ASSERT_FALSE(w->write("abc", 3).IsError());
}

TEST_F(DataWriterTest, FailedCloseRemovesTheTemporaryFile) {
  Attach({0});
  auto w = Make();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  ASSERT_FALSE(w->write("abc", 3).IsError());
  faulty_->Fail("Close", "", EIO);
  CZoError e = w->close("");
  ASSERT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
  EXPECT_EQ(w->getLastErrorText().rfind("Failed to close the file, error=", 0), 0u);
  EXPECT_TRUE(log_->Has(-1, w->getLastErrorText()));
  EXPECT_FALSE(PathExists(Tmp(0, "a.log")));
  EXPECT_FALSE(PathExists(Root(0) + "/a.log"));
  EXPECT_TRUE(RecordedNames(*w->getStreamContext()).empty());
}

TEST_F(DataWriterTest, FailedRenameRemovesTheTemporaryFileOfTheLastRecord) {
  Attach({0});
  auto w = Make();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  faulty_->Fail("Move", "", EXDEV);
  CZoError e = w->close("");
  ASSERT_TRUE(FXErrorUtil::IsErrNo(e, EXDEV));
  EXPECT_EQ(w->getLastErrorText().rfind("Failed to rename the file [/a.log], error=", 0), 0u);
  EXPECT_EQ(faulty_->CountCalls("RemoveFile", Tmp(0, "a.log")), 1);
  EXPECT_FALSE(PathExists(Tmp(0, "a.log")));
  EXPECT_FALSE(PathExists(Root(0) + "/a.log"));
  EXPECT_TRUE(RecordedNames(*w->getStreamContext()).empty());
  EXPECT_EQ(handler_.errors.size(), 1u);
}

// Commit failures with committed copies in place (the I/O-error loop covers every call); here
// the caller's clean-up by the final name, abandonFile and what finish tells.
TEST_F(DataWriterTest, FailedOrAbandonedFileLeavesTheCommittedCopyAndFinishNamesWhatWasNotWritten) {
  Attach({0});
  WriteFile(Root(0) + "/a.log", "old");
  WriteFile(Root(0) + "/StreamMetadata_3.xml", "old document");
  auto w = Make();
  w->enableWriteMetadata();
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  faulty_->Fail("Move", "", EIO, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(w->close("a.log"), EIO));
  EXPECT_FALSE(w->removeFile("a.log").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/a.log"), "old");

  EXPECT_FALSE(w->abandonFile().IsError());  // nothing open
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  ASSERT_FALSE(w->write("partial", 7).IsError());
  EXPECT_FALSE(w->abandonFile().IsError());
  EXPECT_FALSE(w->close("a.log").IsError());  // nothing left to commit
  EXPECT_EQ(ReadFile(Root(0) + "/a.log"), "old");
  EXPECT_FALSE(PathExists(Tmp(0, "a.log")));

  ASSERT_FALSE(Backup(*w, "b.log", "b").IsError());
  ASSERT_FALSE(w->open("c.log", kCreate, 0640).IsError());
  faulty_->Fail("Write", "", EIO, 1).Fail("Move", Tmp(0, "StreamMetadata_3.xml"), EIO);
  ASSERT_TRUE(w->write("c", 1).IsError());
  CZoError e = w->finish();
  EXPECT_NE(e.AsString().find("File [c.log] was not committed"), std::string::npos) << e.AsString();
  EXPECT_NE(e.AsString().find("The stream metadata document [StreamMetadata_3.xml] was not written"),
            std::string::npos)
      << e.AsString();
  EXPECT_FALSE(PathExists(Root(0) + "/c.log"));
  EXPECT_EQ(ReadFile(Root(0) + "/StreamMetadata_3.xml"), "old document");
  EXPECT_TRUE(PathExists(CacheFile()));  // the rest of the stream's end still ran
  // Idempotent: the same answer, nothing done again (also not by the destructor).
  faulty_->ClearFaults();
  faulty_->ClearCalls();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(w->finish(), EIO));
  w.reset();
  EXPECT_EQ(faulty_->CountCalls(""), 0);
}

TEST_F(DataWriterTest, FailedDeleteIsLoggedAndReportedButRemoveFileSucceeds) {
  Attach({0});
  auto w = Make();
  EXPECT_FALSE(w->removeFile("anything").IsError());  // no failure recorded: nothing happens
  EXPECT_EQ(faulty_->CountCalls("RemoveFile"), 0);
  ASSERT_FALSE(w->open("a.log", kCreate, 0640).IsError());
  faulty_->Fail("Write", "", EIO).Fail("RemoveFile", "", EACCES);
  ASSERT_TRUE(w->write("x", 1).IsError());
  handler_.errors.clear();
  EXPECT_FALSE(w->removeFile("").IsError());
  EXPECT_EQ(log_->CountContaining("Failed to delete file [" + Tmp(0, "a.log") + "], error="), 1);
  EXPECT_EQ(handler_.errors.size(), 1u);
  EXPECT_TRUE(RecordedNames(*w->getStreamContext()).empty());
}

TEST_F(DataWriterTest, VerifyReportsAMissingFileWithItsRootFolder) {
  Attach({0});
  auto w = Make();
  CZoError e = w->verifyBackedupFile("nothere.log");
  ASSERT_TRUE(FXErrorUtil::IsWin32(e, 17));
  EXPECT_EQ(e.Message(), "Failed to access file [nothere.log] on DataServer Root folder [" + Root(0) + "]");
  faulty_->Fail("Exists", "", EHOSTDOWN);
  e = w->verifyBackedupFile("x.log");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EHOSTDOWN));
  EXPECT_EQ(log_->CountContaining("Error accessing file [x.log] error["), 1);
  EXPECT_EQ(handler_.errors.size(), 2u);
}

TEST_F(DataWriterTest, DestructorCommitsTheOpenFileThenWritesMetadataAndTheCache) {
  Attach({0});
  {
    auto w = Make(0, -1);
    w->enableWriteMetadata();
    ASSERT_FALSE(Backup(*w, "one.log", "1").IsError());
    ASSERT_FALSE(w->open("two.log", kCreate, 0640).IsError());
    ASSERT_FALSE(w->write("22", 2).IsError());
    faulty_->ClearCalls();
  }
  EXPECT_EQ(ReadFile(Root(0) + "/two.log"), "22");
  // The still-open file is committed before the document is begun.
  int commit = -1, firstMetadataCall = -1, i = 0;
  for (const auto& c : faulty_->Calls()) {
    if (commit < 0 && c.op == "Move" && c.path == Tmp(0, "two.log")) commit = i;
    if (firstMetadataCall < 0 && c.path.find("StreamMetadata") != std::string::npos) firstMetadataCall = i;
    ++i;
  }
  ASSERT_GE(commit, 0);
  EXPECT_LT(commit, firstMetadataCall);
  const std::string doc = ReadFile(Root(0) + "/StreamMetadata_-1.xml");
  Tessel::LogBackupToDiskStreamMetadata m;
  ASSERT_EQ(m.unserialize(doc), 0) << doc;
  StreamContext parsed;
  ASSERT_EQ(parsed.fromString(doc), 0);
  EXPECT_EQ(RecordedNames(parsed), (std::vector<std::string>{"one.log", "two.log"}));
  EXPECT_EQ(m.getstring(3, 3, Tessel::kLogBackupToDiskStreamMetadataTag, Tessel::kLogBackupToDiskStreamMetadataMaHostNameId),
            "ma1");
  EXPECT_FALSE(PathExists(Tmp(0, "StreamMetadata_-1.xml")));
  EXPECT_FALSE(PathExists(Root(0) + "/StreamMetadata_-1.xml.lock.tmp"));

  Tessel::MADataPathsListCache cache;
  ASSERT_FALSE(LocalFileContext::readMADataPathsFromMACache(kSubclient, cache).IsError());
  // The context serves its root folder: that is the data path recorded.
  EXPECT_EQ(DataPathsOf(cache), (std::vector<DataPath>{{"ma1", Root(0), 1}}));
}

TEST_F(DataWriterTest, WithoutMetadataEnabledOnlyTheCacheIsUpdated) {
  Attach({0});
  {
    auto w = Make(0, 7);
    ASSERT_FALSE(Backup(*w, "a.log", "a").IsError());
  }
  EXPECT_FALSE(PathExists(Root(0) + "/StreamMetadata_7.xml"));
  EXPECT_TRUE(PathExists(CacheFile()));
  // A writer that opened nothing leaves the cache file alone.
  const std::string before = ReadFile(CacheFile());
  { auto w = Make(); }
  EXPECT_EQ(ReadFile(CacheFile()), before);
}

// Writers working in parallel end once: the first takes the records of the files another
// writer of its folder committed, and its finish lists them all, in the records document and
// the stream metadata, while the other's finish merges nothing. A writer with a file open, of
// another folder, or finished keeps its records (they are merged where they belong).
TEST_F(DataWriterTest, AWriterTakesTheRecordsOfAnotherWriterOfItsFolderOnly) {
  Attach({0});
  auto first = Make(), other = Make(), elsewhere = Make(0, 3, "db2");
  ASSERT_FALSE(Backup(*other, "log_b.trn", "bee").IsError());
  ASSERT_FALSE(Backup(*elsewhere, "log_c.trn", "sea").IsError());
  ASSERT_FALSE(other->open("log_open.trn", kCreate, 0640).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(first->takeRecordsOf(*other), EBUSY));
  ASSERT_FALSE(other->abandonFile().IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(first->takeRecordsOf(*elsewhere), EINVAL));
  ASSERT_FALSE(first->takeRecordsOf(*other).IsError());

  ASSERT_FALSE(Backup(*first, "log_a.trn", "ay").IsError());
  first->enableWriteMetadata();
  ASSERT_FALSE(other->finish().IsError());
  EXPECT_FALSE(PathExists(Root(0) + "/" + logbackup::kRecordsName));  // left to the first writer
  ASSERT_FALSE(first->finish().IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(first->takeRecordsOf(*elsewhere), EINVAL));
  ASSERT_FALSE(elsewhere->finish().IsError());

  logbackup::FileRecords records;
  ASSERT_FALSE(records.Parse(ReadFile(Root(0) + "/" + logbackup::kRecordsName)).IsError());
  ASSERT_EQ(records.all().size(), 2u);
  EXPECT_EQ(records.Find("log_b.trn")->size, 3u);
  EXPECT_EQ(records.Find("log_a.trn")->size, 2u);
  logbackup::FileRecords theirs;
  ASSERT_FALSE(theirs.Parse(ReadFile(Root(0) + "/db2/" + logbackup::kRecordsName)).IsError());
  ASSERT_EQ(theirs.all().size(), 1u);
  EXPECT_NE(theirs.Find("log_c.trn"), nullptr);
  StreamContext metadata;
  ASSERT_EQ(metadata.fromString(ReadFile(Root(0) + "/StreamMetadata_3.xml")), 0);
  std::vector<std::string> listed = RecordedNames(metadata);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"log_a.trn", "log_b.trn"}));
}

TEST_F(DataWriterTest, WithoutAnyContextEveryOperationFails) {
  // No mount path attached: the archive manager has none.
  auto w = Make();
  EXPECT_EQ(w->getLastErrorText().rfind("Failed to initialize DataServer API context, error=", 0), 0u);
  EXPECT_EQ(handler_.errors.size(), 1u);
  EXPECT_FALSE(w->getDataServerContextPtrForBackup());
  CZoError e = w->open("a.log", kCreate, 0640);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 5));
  EXPECT_EQ(e.Message(), "DataServerContext not initialized");
  // Every log backup error names the one source file of the module, not the file it sits in.
  ASSERT_FALSE(e.Frames().empty());
  EXPECT_EQ(e.Frames()[0].file, "DataWriterReader.cpp");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(w->write("a", 1), 5));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(w->write("", 0), 5));
  EXPECT_FALSE(w->close("a.log").IsError());
  EXPECT_TRUE(FXErrorUtil::IsWin32(w->verifyBackedupFile("a.log"), 774));
  e = w->setRootFolder("/x");
  EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
  EXPECT_EQ(e.Message(), "Dataserver  Context not initialized.");
  EXPECT_EQ(w->getRootFolder(), "");
  EXPECT_EQ(handler_.errors.size(), 3u);  // construction, verify, setRootFolder
}

TEST_F(DataWriterTest, FileModeWritesLocallyUnderTheFinalName) {
  const std::string local = home_->sub("local");
  {
    Writer w(kSubclient, true, 0, 1, local, &handler_, false);
    EXPECT_TRUE(log_->Has(0, "Will use file-mode."));
    EXPECT_TRUE(PathExists(local));
    w.enableWriteMetadata();
    ASSERT_FALSE(w.open("a.log", kCreate, 0640).IsError());
    ASSERT_FALSE(w.write("local", 5).IsError());
    ASSERT_FALSE(w.close("a.log").IsError());
    EXPECT_FALSE(w.isFileCommitted());
    EXPECT_EQ(ReadFile(local + "/a.log"), "local");
    EXPECT_FALSE(w.verifyBackedupFile("a.log").IsError());
    EXPECT_FALSE(w.verifyBackedupFile(local + "/a.log").IsError());
    CZoError e = w.verifyBackedupFile("b.log");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 17));
    EXPECT_EQ(e.Message(), "File [" + local + "/b.log] not accessible [2]");
    // A failed write, then the clean-up of the local file.
    ASSERT_FALSE(w.open("c.log", kCreate, 0640).IsError());
    ASSERT_FALSE(w.close("c.log").IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(w.write("x", 1), EBADF));
  }
  EXPECT_FALSE(PathExists(local + "/StreamMetadata_1.xml"));  // file-mode never commits
  EXPECT_FALSE(PathExists(CacheFile()));                      // nothing to record without a context
}

TEST_F(DataWriterTest, HandlerThatThrowsDoesNotUnwindThroughTheWriter) {
  struct Throwing : DBLogBackupErrorHandler {
    void onError(const CZoError&) override { throw std::runtime_error("agent bug"); }
  } throwing;
  Writer w(kSubclient, false, 0, 1, "", &throwing, false);  // no context: reports at once
  EXPECT_FALSE(w.getDataServerContextPtrForBackup());
  EXPECT_TRUE(w.verifyBackedupFile("x").IsError());
}

}  // namespace
}  // namespace kxmp::test
