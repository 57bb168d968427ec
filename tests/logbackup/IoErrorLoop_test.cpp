// One backup and one restore, run once for every data-server call N = 1, 2, ... with the N-th
// call failing, until a run makes fewer than N calls; each N twice: only the N-th call fails,
// and every call from the N-th on fails (storage gone). Whatever fails, no final name holds
// anything but a whole version, no committed copy is lost, the failure reaches the caller,
// and no temporary file stays unless a failing call was its own removal (then nothing more
// can be done: with a single failure that never happens, since the removal comes after it).

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "logbackup/DataWriterReaderMetadata.h"
#include "logbackup/LogBackupFixture.h"
#include "support/StoredRecords.h"

namespace kxmp::test {
namespace {

constexpr unsigned int kCreate = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int kStream = 5;

class IoErrorLoopTest : public LogBackupTest {
 protected:
  // The data-server calls of the run so far, factories left out (the fault rule skips them).
  std::vector<dataserver::FaultyBackend::Call> StorageCalls() const {
    std::vector<dataserver::FaultyBackend::Call> out;
    for (const auto& c : faulty_->Calls()) {
      if (c.op.rfind("Get", 0) != 0) out.push_back(c);
    }
    return out;
  }

  // Arms the fault for run n with a fresh call record.
  void Arm(int n, bool onward) {
    faulty_->ClearFaults();
    faulty_->ClearCalls();
    faulty_->LimitTransfer("Read", 1000).LimitTransfer("Write", 1000);  // several calls per transfer
    if (onward) {
      faulty_->FailFrom("", "", EIO, n);
    } else {
      faulty_->Fail("", "", EIO, n);
    }
    handler_.errors.clear();
  }

  // The writer's temporary files and the document's lock file that exist, with the calls
  // whose failure may leave each behind: a temporary file's removal (or the look before it),
  // any call on the lock file (one that cannot be read back is not removed: it might be
  // another writer's).
  std::vector<std::pair<std::string, std::vector<std::string>>> TemporaryFiles() const {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    const std::vector<std::string> removal = {"Stat", "RemoveFile"};
    const std::vector<std::string> release = {"Open", "Read", "Write", "Flush", "Close", "Stat", "RemoveFile"};
    for (const auto& [path, ops] : {std::make_pair(Tmp(0, "a.log"), removal),
                                    std::make_pair(Tmp(0, "StreamMetadata_5.xml"), removal),
                                    std::make_pair(Root(0) + "/StreamMetadata_5.xml.lock.tmp", release),
                                    std::make_pair(Tmp(0, logbackup::kRecordsName), removal),
                                    std::make_pair(Root(0) + "/" + logbackup::kRecordsName + ".lock.tmp", release)}) {
      if (PathExists(path)) out.emplace_back(path, ops);
    }
    return out;
  }

};

TEST_F(IoErrorLoopTest, BackupWithMetadataFailingAtEveryCall) {
  Attach({0});
  const std::string source = Content(5000, 1), earlier = Content(3000, 2);
  StreamContext earlierStream;
  ASSERT_TRUE(logbackup::AddFileRecord(earlierStream, "old.log", 1));
  const std::string earlierDocument = earlierStream.toString();
  { DBLogBackupDataWriter prepare(kSubclient, false, 0, kStream, "", nullptr, false); }  // the root folder

  int lastRun = 0, leftovers = 0;
  for (int run = 2;; ++run) {
    const int n = run / 2;
    const bool onward = run % 2 == 1;
    SCOPED_TRACE("failing call " + std::to_string(n) + (onward ? " and on" : ""));
    ::unlink((Root(0) + "/a.log").c_str());
    ::unlink((Root(0) + "/" + logbackup::kRecordsName).c_str());
    if (run % 4 < 2) {
      // Committed by an earlier stream with its record, replaced.
      WriteFile(Root(0) + "/a.log", earlier);
      logbackup::FileRecords records;
      logbackup::FileRecord r;
      r.name = "a.log";
      r.size = earlier.size();
      ASSERT_TRUE(digest::Sha256Digest::FromHex(Sha256Hex(earlier), r.sha256));
      records.Put(r);
      WriteFile(Root(0) + "/" + logbackup::kRecordsName, records.Text());
    }
    WriteFile(Root(0) + "/StreamMetadata_5.xml", earlierDocument);
    Arm(n, onward);

    bool reported = false;
    auto note = [&reported](const CZoError& e) { reported = reported || e.IsError(); };
    bool committed = false;
    {
      DBLogBackupDataWriter w(kSubclient, false, 0, kStream, "", &handler_, false);
      w.enableWriteMetadata();
      w.setReplaceExisting(true);
      CZoError e = w.open("a.log", kCreate, 0640);
      note(e);
      for (size_t at = 0; e.IsSuccess() && at < source.size(); at += 2000) {
        e = w.write(source.data() + at, std::min<size_t>(2000, source.size() - at));
        note(e);
      }
      if (e.IsSuccess()) {
        e = w.close("a.log");
        note(e);
        committed = e.IsSuccess();
      }
      note(w.finish());  // after a failed write: removes the file, never commits it
    }
    reported = reported || !handler_.errors.empty();
    const auto calls = StorageCalls();

    // No final name holds anything but a whole version; a reported commit is stored.
    const std::string stored = PathExists(Root(0) + "/a.log") ? ReadFile(Root(0) + "/a.log") : "(none)";
    EXPECT_TRUE(stored == source || stored == (run % 4 < 2 ? earlier : "(none)"))
        << "a.log holds " << stored.size() << " bytes";
    EXPECT_TRUE(!committed || stored == source);
    // The record of a.log, if any, describes what a.log holds: never the replaced version.
    const auto recorded = RecordedChecksums(Root(0));
    if (recorded.count("a.log") != 0) EXPECT_EQ(recorded.at("a.log"), Sha256Hex(stored));
    EXPECT_EQ(recorded.count("(damaged)"), 0u);
    const std::string document = ReadFile(Root(0) + "/StreamMetadata_5.xml");
    if (document != earlierDocument) {
      StreamContext parsed;
      ASSERT_EQ(parsed.fromString(document), 0) << document;
      // The earlier stream's records and the file that is stored, merged.
      EXPECT_EQ(RecordedNames(parsed), (std::vector<std::string>{"old.log", "a.log"}));
      EXPECT_TRUE(stored == source);
    }

    if (static_cast<int>(calls.size()) < n) {  // nothing failed: the whole backup is stored
      EXPECT_FALSE(reported);
      EXPECT_TRUE(stored == source);
      EXPECT_NE(document, earlierDocument);
      EXPECT_TRUE(TemporaryFiles().empty());
      EXPECT_EQ(recorded.count("a.log"), 1u);
      lastRun = n;
      break;
    }
    // Every injected failure reaches the caller, unless the run stored everything anyway.
    EXPECT_TRUE(reported || (stored == source && document != earlierDocument))
        << calls[n - 1].op << " " << calls[n - 1].path;
    // A temporary file stays only when a failing call was its removal (its Stat or its
    // RemoveFile).
    for (const auto& [tmp, ops] : TemporaryFiles()) {
      bool removalFailed = false;
      for (size_t i = n - 1; i < (onward ? calls.size() : size_t(n)); ++i) {
        removalFailed = removalFailed ||
                        (calls[i].path == tmp && std::find(ops.begin(), ops.end(), calls[i].op) != ops.end());
      }
      EXPECT_TRUE(removalFailed) << tmp << " left after the failure of " << calls[n - 1].op << " "
                                 << calls[n - 1].path;
      ++leftovers;
      ::unlink(tmp.c_str());
    }
  }
  EXPECT_GT(lastRun, 10);  // the loop went through the whole backup
  EXPECT_GT(leftovers, 0);  // storage gone during a clean-up was met
}

TEST_F(IoErrorLoopTest, RestoreFailingAtEveryCall) {
  Attach({0});
  const std::string source = Content(5000, 3);
  { DBLogBackupDataWriter prepare(kSubclient, false, 0, kStream, "", nullptr, false); }
  WriteFile(Root(0) + "/a.log", source);

  int lastRun = 0;
  for (int run = 2;; ++run) {
    const int n = run / 2;
    const bool onward = run % 2 == 1;
    SCOPED_TRACE("failing call " + std::to_string(n) + (onward ? " and on" : ""));
    Arm(n, onward);
    bool reported = false;
    std::string restored;
    {
      DBLogBackupDataReader r(kSubclient, false, "", &handler_);
      DataServerSearchResult found;
      CZoError e = r.search("^a\\.log$", found, false);
      reported = e.IsError();
      if (!reported) e = r.open(found.files.front(), found.context);
      char buffer[1500];
      for (unsigned int got = sizeof buffer; !e.IsError() && got == sizeof buffer;) {
        e = r.read(buffer, sizeof buffer, got);
        if (e.IsSuccess()) restored.append(buffer, got);
      }
      if (!reported && e.IsSuccess()) e = r.close(found.context);
      reported = reported || e.IsError();
    }
    // Either every byte arrived or the caller was told; never success with partial data.
    EXPECT_TRUE(reported || restored == source) << restored.size() << " bytes";
    if (static_cast<int>(StorageCalls().size()) < n) {
      EXPECT_FALSE(reported);
      lastRun = n;
      break;
    }
  }
  EXPECT_GT(lastRun, 5);
}

}  // namespace
}  // namespace kxmp::test
