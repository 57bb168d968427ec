// The write protocol of DBLogBackupDataWriter on a data-server context: "<name>.tmp" created
// exclusively under a liveness lock, committed by close and rename, or discarded; never a
// committed copy deleted, never a failed file committed.

#include <errno.h>
#include <fcntl.h>

#include <exception>
#include <memory>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/DataWriterReaderMetadata.h"
#include "logbackup/LogBackupLocation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/lock/KxByteLock.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

using kxmp::logbackup::DropLastFileRecord;
using kxmp::logbackup::FileRecordCount;
using kxmp::logbackup::kTemporarySuffix;
using kxmp::logbackup::OutOfMemoryError;

namespace {

// CFileInterface::Lock modes: bit 0 shared, bit 1 do not wait.
constexpr int kLockExclusiveNoWait = 2;

CZoError Busy(const std::string& storagePath) {
  return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBUSY, "File [%s] is being written by another writer",
                                 storagePath.c_str());
}

bool LockUnsupported(const CZoError& err) {
  return FXErrorUtil::IsErrNo(err, ENOSYS) || FXErrorUtil::IsErrNo(err, EOPNOTSUPP) ||
         FXErrorUtil::IsErrNo(err, ENOLCK);
}

bool LockHeldElsewhere(const CZoError& err) {
  return FXErrorUtil::IsErrNo(err, EWOULDBLOCK) || FXErrorUtil::IsErrNo(err, EAGAIN);
}

// A "<name>.tmp" found in place while this machine's named lock is ours was left by a writer
// that died, unless a writer elsewhere still holds the backend's lock on it. Removes it then.
CZoError RemoveStaleTemporary(DataServerContext* context, const std::string& tmpName, const std::string& storagePath) {
  CFileInterface* probe = nullptr;
  CZoError err = AbstractMountingPointDriver::AMOpenFile(context, tmpName, O_RDONLY, 0, 0, probe);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();  // gone meanwhile
  if (err.IsError()) return err;
  CZoError locked = probe->Lock(kLockExclusiveNoWait);
  AbstractMountingPointDriver::AMCloseFile(context, probe);  // read-only: nothing to lose
  if (LockHeldElsewhere(locked)) return Busy(storagePath);
  if (locked.IsError() && !LockUnsupported(locked)) return locked;
  KXLOG_NORMAL("Taking over the temporary file [%s] left by a writer that is gone", storagePath.c_str());
  err = AbstractMountingPointDriver::AMRemoveFileFolder(context, "/" + tmpName);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();
  return err;
}

}  // namespace

CZoError DBLogBackupDataWriter::createTemporary(DataServerContext* context, const std::string& name,
                                                unsigned int flags, unsigned int mode) {
  const std::string tmpName = name + kTemporarySuffix;
  std::string storagePath = context->getRootFolder();
  FXPath::Append(storagePath, tmpName);
  // The liveness lock: held by a live writer of this name on this machine, released by the
  // system when its process dies.
  auto lock = std::make_unique<KxByteLock>();
  CZoError err = lock->TryLock("kxmp.logbackup.tmp:" + context->getFSParams().host.hostName + ":" + storagePath);
  if (err.IsError()) return err;
  if (!lock->held()) return Busy(storagePath);

  // Always a new file of our own: never truncate, never share a file another writer made.
  unsigned int access = flags & O_ACCMODE;
  if (access == O_RDONLY) access = O_WRONLY;
  const int createFlags = static_cast<int>((flags & ~(O_ACCMODE | O_TRUNC)) | access | O_CREAT | O_EXCL);
  err = AbstractMountingPointDriver::AMOpenFile(context, tmpName, createFlags, static_cast<int>(mode), 0,
                                               streamContext.fileHandle);
  if (FXErrorUtil::IsErrNo(err, EEXIST)) {
    // Without this machine's lock file the leftover may be a live writer's in another
    // process here: keep it, and say why.
    if (!lock->isCrossProcess()) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY,
                                     "File [%s] exists and this machine's writer locks cannot be checked (see the "
                                     "log): it may belong to a live writer",
                                     storagePath.c_str());
    }
    err = RemoveStaleTemporary(context, tmpName, storagePath);
    if (err.IsError()) return err;
    err = AbstractMountingPointDriver::AMOpenFile(context, tmpName, createFlags, static_cast<int>(mode), 0,
                                                  streamContext.fileHandle);
    // Created again by someone between the removal and our create: a writer elsewhere.
    if (FXErrorUtil::IsErrNo(err, EEXIST)) return Busy(storagePath);
  }
  if (err.IsError()) return err;

  // The backend's own lock tells writers on other machines that this file is alive.
  err = streamContext.fileHandle->Lock(kLockExclusiveNoWait);
  if (err.IsError() && !LockUnsupported(err)) {
    if (LockHeldElsewhere(err)) err = Busy(storagePath);
    AbstractMountingPointDriver::AMCloseFile(context, streamContext.fileHandle);
    CZoError removal = AbstractMountingPointDriver::AMRemoveFileFolder(context, "/" + tmpName);
    if (removal.IsError()) {
      KXLOG_ERROR("Failed to delete file [%s], error=%s", storagePath.c_str(), removal.AsString().c_str());
    }
    return err;
  }
  tmpLock = std::move(lock);
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
    if (tmpLock) {
      const std::string path = "/" + openName + kTemporarySuffix;
      result = AbstractMountingPointDriver::AMRemoveFileFolder(context, path);
      if (FXErrorUtil::IsErrNo(result, ENOENT)) result = CZoError::Success();
      if (result.IsError()) {
        KXLOG_ERROR("Failed to delete file [%s], error=%s", (context->getRootFolder() + path).c_str(),
                    result.AsString().c_str());
      }
      tmpLock.reset();
    }
  } else if (localContext) {
    result = localContext->removeFile();  // closes and deletes the local file opened last
    if (result.IsError()) {
      KXLOG_ERROR("Failed to delete file [%s], error=%s", (localContext->getRootFolder() + openName).c_str(),
                  result.AsString().c_str());
    }
  }
  if (result.IsError()) reportError(result);
  return result;
}

CZoError DBLogBackupDataWriter::failCommit(const CZoError& err) {
  KXLOG_ERROR("%s", lastErrorText.c_str());
  reportError(err);
  discardOpenFile();
  dropLastRecord();
  return err;
}

CZoError DBLogBackupDataWriter::close(const std::string& name) try {
  if (fileOpen && writeFailed) {
    CZoError err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "File [%s] is not committed: a write to it failed",
                                           openName.c_str());
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    return failCommit(err);
  }
  if (streamContext.fileHandle == nullptr) {
    // File-mode, or nothing open. There is no rename in file-mode: a file that failed to
    // close must not stay under its final name.
    fileOpen = false;
    CZoError err = closeLocalFile();
    if (err.IsError()) {
      removeFile(name);
      reportError(err);
      return err.Push(LOGBACKUP_LOC, "Failed to close the file");
    }
    return CZoError::Success();
  }

  DataServerContext* context = firstContext();
  CZoError err = AbstractMountingPointDriver::AMCloseFile(context, streamContext.fileHandle);
  if (err.IsError()) {
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC);
  }
  if (!fileOpen) return CZoError::Success();  // a handle without a file of ours: nothing to commit
  const std::string finalPath = "/" + openName;
  err = AbstractMountingPointDriver::AMMove(context, finalPath + kTemporarySuffix, finalPath);
  if (err.IsError()) {
    setLastErrorText("Failed to rename the file [%s], error=%s", finalPath.c_str(), err.AsString().c_str());
    return failCommit(err).Push(LOGBACKUP_LOC);
  }
  fileOpen = false;
  tmpLock.reset();
  fileCommitted = true;
  if (recordStored.size() == FileRecordCount(streamContext) && kxmp::logbackup::LastFileName(streamContext) == openName) {
    recordStored.back() = true;
  }
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}

CZoError DBLogBackupDataWriter::abandonFile() try {
  if (!fileOpen) return CZoError::Success();
  KXLOG_NORMAL("File [%s] is abandoned: it is not committed", openName.c_str());
  CZoError err = discardOpenFile();
  dropLastRecord();
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Failed to remove the abandoned file [%s]", openName.c_str());
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}
