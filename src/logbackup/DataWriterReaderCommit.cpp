// The write protocol of DBLogBackupDataWriter: this machine's temporary file of a name
// (TemporaryFile), checked to hold what was written, committed by close with a rename that
// refuses an existing name unless the caller asked to replace it, or discarded; never a
// committed copy deleted, never a failed file committed. File-mode goes the same way through AtomicFile.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <exception>
#include <memory>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/DataWriterReaderMetadata.h"
#include "logbackup/LogBackupLocation.h"
#include "logbackup/TemporaryFile.h"
#include "logbackup/WriterRecords.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/AtomicFile.h"
#include "outside/util/FXPath.h"

using kxmp::logbackup::FileRecord;
using kxmp::logbackup::FileRecordCount;
using kxmp::logbackup::OutOfMemoryError;

namespace {

// A replacing commit that stored the file but not its record: a success (the file reads as
// unverified), the records' failure kept for finish.
CZoError StoredWithoutRecord(kxmp::logbackup::WriterRecords* records, const CZoError& err, bool committed) {
  if (err.IsSuccess() || !committed) return err;
  if (records != nullptr) records->Failed(err);
  return CZoError::Success();
}

CZoError AlreadyStored(const std::string& name, const CZoError& cause) {
  return CZoError(cause).Push(LOGBACKUP_LOC,
                              "File [%s] is already stored (another writer committed it first); this copy is not "
                              "committed",
                              name.c_str());
}

}  // namespace

CZoError DBLogBackupDataWriter::openLocal(const std::string& name, unsigned int mode) {
  if (localContext->getRootFolder().empty()) {
    CZoError err = localContext->createDirectory("");  // the default root folder
    if (err.IsError()) return err;
  }
  auto file = std::make_unique<kxmp::AtomicFile>();
  CZoError err = file->Create(localContext->getRootFolder() + name, mode);
  if (err.IsError()) {
    KXLOG_ERROR("Failed to open file, error=%s", err.AsString().c_str());
    return err.Push(LOGBACKUP_LOC);
  }
  localFile = std::move(file);
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::discardOpenFile() {
  CZoError result;
  if (!fileOpen) return result;
  fileOpen = false;
  writeFailed = false;
  DataServerContext* context = firstContext();
  if (context != nullptr) {
    // The handle goes first, so that nothing can commit what is being removed.
    if (streamContext.fileHandle != nullptr) AbstractMountingPointDriver::AMCloseFile(context, streamContext.fileHandle);
    if (temporary) result = temporary->Discard();
    temporary.reset();
  } else if (localFile) {
    localFile->Abandon();
    localFile.reset();
  }
  if (result.IsError()) reportError(result);
  return result;
}

CZoError DBLogBackupDataWriter::failCommit(const CZoError& err) {
  // A name another writer committed first is the protocol working (the caller compares the
  // contents), not a fault of this one: a standby archiving every segment meets it each time.
  if (FXErrorUtil::IsErrNo(err, EEXIST) && !replaceExisting) {
    KXLOG_NORMAL("%s", lastErrorText.c_str());
  } else {
    KXLOG_ERROR("%s", lastErrorText.c_str());
  }
  reportError(err);
  discardOpenFile();
  dropLastRecord();
  return err;
}

CZoError DBLogBackupDataWriter::checkWritten(struct stat& written) {
  SZoFileStat st {};
  CZoError err = streamContext.fileHandle->Stat(st);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot tell whether [%s] holds what was written", openName.c_str());
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != bytesWritten) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "File [%s] holds %lld bytes before its commit, not the %llu written",
                                   openName.c_str(), static_cast<long long>(st.st_size),
                                   static_cast<unsigned long long>(bytesWritten));
  }
  written = st;
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::checkCommitted(DataServerContext* context, struct stat* after) {
  SZoFileStat st {};
  CZoError err = AbstractMountingPointDriver::AMStat(context, "/" + openName, st);
  if (err.IsError()) {
    return err.Push(LOGBACKUP_LOC, "Cannot tell whether [%s] holds what was committed", openName.c_str());
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != bytesWritten) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO,
                                   "File [%s] holds %lld bytes after the commit, not the %llu written: another writer "
                                   "replaced it",
                                   openName.c_str(), static_cast<long long>(st.st_size),
                                   static_cast<unsigned long long>(bytesWritten));
  }
  if (after != nullptr) *after = st;
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::close(const std::string& /*name*/) try {
  if (fileOpen && writeFailed) {
    CZoError err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "File [%s] is not committed: a write to it failed",
                                           openName.c_str());
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    return failCommit(err);
  }
  DataServerContext* context = firstContext();
  if (context == nullptr && localFile) return commitLocal();
  if (streamContext.fileHandle == nullptr) {
    fileOpen = false;
    CZoError err = closeLocalFile();  // file-mode with nothing open: the local context's close
    if (err.IsError()) {
      reportError(err);
      return err.Push(LOGBACKUP_LOC, "Failed to close the file");
    }
    return CZoError::Success();
  }

  struct stat written {};
  CZoError err = fileOpen && temporary ? checkWritten(written) : CZoError::Success();
  if (err.IsError()) {
    setLastErrorText("%s", err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC);
  }
  err = AbstractMountingPointDriver::AMCloseFile(context, streamContext.fileHandle);
  if (err.IsError()) {
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC);
  }
  if (!fileOpen || !temporary) return CZoError::Success();  // a handle without a file of ours
  return commitTemporary(context, written);
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::commitTemporary(DataServerContext* context, const struct stat& written) {
  // The checksum is done by now: it ran beside the writes and the close's sync.
  const FileRecord record = records ? records->Finish(bytesWritten) : FileRecord();
  bool renamed = false;
  struct stat after {};
  CZoError err;
  if (replaceExisting) {
    bool committed = false;
    err = kxmp::logbackup::CommitReplacing(context, openName, [&](FileRecord& out) {
      CZoError e = temporary->Commit(true);
      if (e.IsError()) return e;
      renamed = true;
      e = checkCommitted(context, &after);
      if (e.IsSuccess()) out = record;
      return e;
    }, committed);
    err = StoredWithoutRecord(records.get(), err, committed);
  } else {
    // The rename refuses an existing name, so its success proves the name holds the file
    // checked before the close (a rename keeps its size, time and inode): no stat after it.
    err = temporary->Commit(false);
    if (err.IsSuccess()) {
      renamed = true;
      after = written;
    }
  }
  if (err.IsError() && !renamed) {
    if (FXErrorUtil::IsErrNo(err, EEXIST) && !replaceExisting) err = AlreadyStored(openName, err);
    setLastErrorText("Failed to rename the file [/%s], error=%s", openName.c_str(), err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC);
  }
  temporary.reset();
  fileOpen = false;
  if (err.IsError()) {
    // Not this writer's bytes, or not known to be: not listed as stored by it.
    setLastErrorText("%s", err.AsString().c_str());
    KXLOG_ERROR("%s", lastErrorText.c_str());
    reportError(err);
    dropLastRecord();
    return err;
  }
  if (records && !replaceExisting) records->Committed(record, after);
  fileCommitted = true;
  if (recordStored.size() == FileRecordCount(streamContext) && kxmp::logbackup::LastFileName(streamContext) == openName) {
    recordStored.back() = true;
  }
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::commitLocal() {
  const FileRecord record = records ? records->Finish(bytesWritten) : FileRecord();
  const std::string folder = localContext->getRootFolder();
  CZoError err;
  if (replaceExisting) {
    bool committed = false;
    err = kxmp::logbackup::CommitReplacingLocal(folder, openName, [&](FileRecord& out) {
      CZoError e = localFile->Commit(kxmp::AtomicFile::kReplace);
      if (e.IsSuccess()) out = record;
      return e;
    }, committed);
    err = StoredWithoutRecord(records.get(), err, committed);
  } else {
    err = localFile->Commit(kxmp::AtomicFile::kKeepExisting);
    if (FXErrorUtil::IsErrNo(err, EEXIST)) err = AlreadyStored(openName, err);
    struct stat after {};
    if (err.IsSuccess() && records && ::lstat(FXPath::Join(folder, openName).c_str(), &after) == 0) {
      records->Committed(record, after);
    }
  }
  if (err.IsError()) {
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC, "Failed to close the file");
  }
  localFile.reset();
  fileOpen = false;
  if (!recordStored.empty()) recordStored.back() = true;
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::abandonFile() try {
  if (!fileOpen) return CZoError::Success();
  KXLOG_NORMAL("File [%s] is abandoned: it is not committed", openName.c_str());
  CZoError err = discardOpenFile();
  dropLastRecord();
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Failed to remove the abandoned file [%s]", openName.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}
