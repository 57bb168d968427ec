// DBLogBackupDataWriter: opening, writing and cleaning up log files, and the end of a stream
// (metadata document, data-path cache file). The commit protocol is in
// DataWriterReaderCommit.cpp.

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/DataWriterReaderMetadata.h"
#include "outside/error/FXErrorUtil.h"
#include "logbackup/SharedDocument.h"
#include "logbackup/StorageNames.h"
#include "logbackup/TemporaryFile.h"
#include "logbackup/WriterRecords.h"
#include "outside/util/AtomicFile.h"
#include "outside/util/CZoFile.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
#include "outside/xml/TesselMessages.h"

using kxmp::logbackup::AddFileRecord;
using kxmp::logbackup::DropLastFileRecord;
using kxmp::logbackup::FileRecordCount;
using kxmp::logbackup::HasParentComponent;
using kxmp::logbackup::IsTemporaryName;
using kxmp::logbackup::kTemporarySuffix;
using kxmp::logbackup::LastFileName;
using kxmp::logbackup::OutOfMemoryError;

namespace {

constexpr int kErrNotInitialized = 774;  // Win32 kind
constexpr int kErrFileMissing = 17;      // Win32 kind on a data-server context, errno kind locally
constexpr int kErrNoContext = 5;         // errno kind
// One pass of a write moves at most this much, so any length fits the component's 32-bit count.
constexpr size_t kMaxWritePass = size_t(1) << 30;
// The metadata document written by writeMetadata in file-mode: mode 0660.
constexpr unsigned int kMetadataMode = 0x1B0;

}  // namespace

DBLogBackupDataWriter::DBLogBackupDataWriter(unsigned long subclientId, bool fileMode, time_t backupTime,
                                             int32_t streamNumber, const std::string& rootFolder,
                                             DBLogBackupErrorHandler* errorHandler, bool useCache)
    : DBLogBackupDataWriter(subclientId, fileMode, backupTime, streamNumber, rootFolder, errorHandler, useCache, true) {}

DBLogBackupDataWriter::DBLogBackupDataWriter(unsigned long subclientId, bool fileMode, time_t backupTime,
                                             int32_t streamNumber, const std::string& rootFolder,
                                             DBLogBackupErrorHandler* errorHandler, bool useCache,
                                             bool createRootFolder)
    : DBLogBackupInterface(subclientId, true, fileMode, backupTime, rootFolder, errorHandler, useCache,
                           createRootFolder) {
  if (firstContext() != nullptr || localContext) {
    try {
      records = std::make_unique<kxmp::logbackup::WriterRecords>();
    } catch (const std::exception&) {
      // Out of memory: files are stored without records (unverified).
    }
  }
  DataServerContext* context = firstContext();
  if (context == nullptr) return;
  // A writer without a time value writes straight into the root folder, where earlier
  // streams' files are already committed.
  fileCommitted = backupTime == 0;
  try {
    kxmp::logbackup::SetStreamInfo(streamContext, streamNumber, context->getFSParams().host.hostName, backupTime);
  } catch (const std::exception&) {
    // Out of memory: the metadata lacks the stream's description, the files are unaffected.
  }
}

DBLogBackupDataWriter::~DBLogBackupDataWriter() {
  if (!finished) finish();
}

CZoError DBLogBackupDataWriter::open(const std::string& name, unsigned int flags, unsigned int mode) try {
  if (fileOpen) {
    // The caller never closed the previous file: it is not committed, and neither its handle
    // nor its temporary file may be left behind.
    KXLOG_ERROR("A file was still open when [%s] was opened; it is removed without being committed", name.c_str());
    abandonFile();
  }
  const time_t openTime = ::time(nullptr);
  addRecord(name, openTime);
  writeFailed = false;
  bytesWritten = 0;
  DataServerContext* context = firstContext();
  if (context == nullptr && !localContext) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrNoContext, "DataServerContext not initialized");
  }
  CZoError err = kxmp::logbackup::CheckLogName(name, context == nullptr);
  if (err.IsSuccess() && HasParentComponent(name)) {
    err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EACCES, "File name [%s] leads out of the root folder [%s]", name.c_str(),
                                  getRootFolder().c_str());
  }
  if (err.IsError()) {
    // refused before anything is written
  } else if (context != nullptr) {
    temporary = std::make_unique<kxmp::logbackup::TemporaryFile>();
    err = temporary->Create(context, name, flags, mode, streamContext.fileHandle);
    if (err.IsError()) temporary.reset();
  } else {
    err = openLocal(name, mode);
  }
  if (err.IsError()) {
    setLastErrorText("Failed to open file [%s], error=%s, ", name.c_str(), err.AsString().c_str());
    reportError(err);
    return err.Push(LOGBACKUP_LOC, "Failed to open file [%s]", name.c_str());
  }
  openName = name;
  fileOpen = true;
  if (records) records->Open(name, openTime);
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::write(const char* buffer, size_t length) try {
  if (streamContext.fileHandle == nullptr && !localContext) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrNoContext, "DataServerContext not initialized");
  }
  if (records && fileOpen) records->Add(buffer, length);
  return writeBytes(buffer, length);
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::writeFrom(int fd, size_t size, size_t& done) try {
  done = 0;
  if (!fileOpen) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBADF, "No file is open for writing");
  char* piece = records ? records->Piece(size) : nullptr;
  std::unique_ptr<char[]> own;
  if (piece == nullptr) {
    own.reset(new char[size]);
    piece = own.get();
  }
  ssize_t n;
  do {
    n = ::read(fd, piece, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, e, "Failed to read the source: %s", std::strerror(e));
  }
  if (n == 0) return CZoError::Success();
  if (records) {
    if (own) {
      records->Add(piece, static_cast<size_t>(n));
    } else {
      records->AddPiece(piece, static_cast<size_t>(n));
    }
  }
  CZoError err = writeBytes(piece, static_cast<size_t>(n));
  if (err.IsSuccess()) done = static_cast<size_t>(n);
  return err;
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::writeBytes(const char* buffer, size_t length) {
  size_t written = 0;
  CZoError err;
  while (written < length) {
    const unsigned int pass = static_cast<unsigned int>(std::min(length - written, kMaxWritePass));
    unsigned int n = 0;
    if (streamContext.fileHandle != nullptr) {
      err = streamContext.fileHandle->Write(buffer + written, pass, &n);
    } else if (localFile) {
      err = localFile->Write(buffer + written, pass);  // all of it, or an error
      n = pass;
    } else {
      err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBADF, "No file is open for writing");
    }
    if (err.IsSuccess() && (n == 0 || n > pass)) {
      // A pass that moves nothing would repeat for ever; one that claims more than it was
      // given would run the count past the buffer.
      err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, n == 0 ? "Write made no progress" : "Write reported %u bytes of %u",
                                    n, pass);
    }
    if (err.IsError()) break;
    written += n;
    bytesWritten += n;
  }
  if (err.IsError()) {
    writeFailed = fileOpen;  // the file now lacks bytes its caller gave: it must never be committed
    setLastErrorText("Failed to write to file, error=%s", err.AsString().c_str());
    KXLOG_ERROR("%s", lastErrorText.c_str());
    reportError(err);
    return err.Push(LOGBACKUP_LOC);
  }
  return CZoError::Success();
}

CZoError DBLogBackupDataWriter::removeFile(const std::string& name) try {
  const size_t records = FileRecordCount(streamContext);
  if (lastErrorText.empty() || (name.empty() && records == 0)) return CZoError::Success();
  const std::string last = records != 0 ? LastFileName(streamContext) : openName;
  const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
  if (name.empty() || bare == last || bare == last + kTemporarySuffix ||
      bare == kxmp::logbackup::TemporaryNameFor(last, kxmp::logbackup::WriterId())) {
    // The file opened last: what its failure left is its temporary file, and only one this
    // writer created; a committed copy of the name, or another writer's file, stays.
    if (fileOpen) {
      discardOpenFile();
    } else if (localContext) {
      CZoError err = localContext->removeFile();  // a local file whose close failed
      if (err.IsError()) reportError(err);
    }
    if (name.empty()) dropLastRecord();
    return CZoError::Success();
  }

  std::string path = name;
  DataServerContext* context = firstContext();
  if (context != nullptr) {
    if (path[0] != '/') path.insert(0, "/");
    CZoError err;
    if (HasParentComponent(path)) {
      err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EACCES, "File name [%s] leads out of the root folder", path.c_str());
    } else {
      err = AbstractMountingPointDriver::AMRemoveFileFolder(context, path);
    }
    if (err.IsError()) {
      KXLOG_ERROR("Failed to delete file [%s], error=%s", (context->getRootFolder() + path).c_str(),
                  err.AsString().c_str());
      reportError(err);
    }
  } else if (localContext) {
    CZoError err = localContext->removeFile();
    if (err.IsError()) {
      KXLOG_ERROR("Failed to delete file [%s], error=%s", (localContext->getRootFolder() + path).c_str(),
                  err.AsString().c_str());
      reportError(err);
    }
  }
  return CZoError::Success();
} catch (const std::exception&) {
  return CZoError::Success();  // clean-up is best effort; nothing more can be done without memory
}

CZoError DBLogBackupDataWriter::writeMetadata(const std::string& document, const std::string& fileName) try {
  CZoError err;
  DataServerContext* context = firstContext();
  if (HasParentComponent(fileName)) {
    err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EACCES, "File name [%s] leads out of the root folder", fileName.c_str());
  } else if (context != nullptr) {
    err = kxmp::logbackup::UpdateSharedDocument(context, fileName, [&](const std::string*, std::string& next) {
      next = document;
      return CZoError::Success();
    });
  } else if (localContext && !localContext->getRootFolder().empty()) {
    err = CZoFile::WriteWholeFileAtomic(localContext->getRootFolder() + fileName, document, kMetadataMode);
  } else {
    err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrNoContext, "DataServerContext not initialized");
  }
  if (err.IsError()) {
    reportError(err);
    return err.Push(LOGBACKUP_LOC, "Failed to write the file [%s]", fileName.c_str());
  }
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::verifyBackedupFile(const std::string& path) try {
  if (!contextList && !localContext) {
    CZoError err = FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrNotInitialized, "dataserver context not initialized.");
    reportError(err);
    return err.Push(LOGBACKUP_LOC);
  }
  if (contextList) {
    DataServerContext* context = firstContext();
    if (context == nullptr) {
      CZoError err =
          FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrNotInitialized, "Unexpected error,  dataserver context not initialized");
      reportError(err);
      return err.Push(LOGBACKUP_LOC);
    }
    bool exists = false;
    CZoError err = AbstractMountingPointDriver::AMExists(context, path, exists);
    if (err.IsError()) {
      KXLOG_ERROR("Error accessing file [%s] error[%s]", path.c_str(), err.AsString().c_str());
      reportError(err);
      return err.Push(LOGBACKUP_LOC);
    }
    if (!exists) {
      err = FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrFileMissing, "Failed to access file [%s] on DataServer Root folder [%s]",
                                    path.c_str(), context->getRootFolder().c_str());
      reportError(err);
      return err.Push(LOGBACKUP_LOC);
    }
    return CZoError::Success();
  }
  const std::string& root = localContext->getRootFolder();
  std::string fullName = path;
  if (root.empty() || path.find(root) == std::string::npos) {
    fullName = root;
    FXPath::Append(fullName, path);
  }
  if (::access(fullName.c_str(), F_OK) != 0) {
    const int e = errno;
    CZoError err =
        FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrFileMissing, "File [%s] not accessible [%d]", fullName.c_str(), e);
    reportError(err);
    return err.Push(LOGBACKUP_LOC);
  }
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::addBackedupFile(const std::string& name, time_t openTime) try {
  if (fileOpen) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBUSY, "File [%s] is open; [%s] cannot be listed now", openName.c_str(),
                                   name.c_str());
  }
  if (HasParentComponent(name) || IsTemporaryName(name)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "[%s] is not a name of a stored log file", name.c_str());
  }
  CZoError err = verifyBackedupFile(name);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "[%s] is not listed in the stream metadata", name.c_str());
  if (!AddFileRecord(streamContext, name, static_cast<int64_t>(openTime))) return OutOfMemoryError();
  recordStored.push_back(true);
  fileCommitted = true;
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataWriter::takeRecordsOf(DBLogBackupDataWriter& other) try {
  if (&other == this) return CZoError::Success();
  if (finished || other.finished || !records || !other.records) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "The file records of a finished writer cannot move");
  }
  if (other.fileOpen) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBUSY, "File [%s] is open; its writer's records cannot move",
                                   other.openName.c_str());
  }
  DataServerContext* mine = firstContext();
  DataServerContext* theirs = other.firstContext();
  const bool samePlace =
      mine != nullptr && theirs != nullptr
          ? mine->getFSParams().host.hostName == theirs->getFSParams().host.hostName &&
                mine->getMountPath() == theirs->getMountPath() && mine->getRootFolder() == theirs->getRootFolder()
          : mine == nullptr && theirs == nullptr && localContext && other.localContext &&
                localContext->getRootFolder() == other.localContext->getRootFolder();
  if (!samePlace) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "The writers store in different folders [%s] and [%s]",
                                   getRootFolder().c_str(), other.getRootFolder().c_str());
  }
  const size_t committed = static_cast<size_t>(std::count(other.recordStored.begin(), other.recordStored.end(), true));
  const size_t copied = kxmp::logbackup::CopyFileRecords(other.streamContext, other.recordStored, streamContext);
  recordStored.insert(recordStored.end(), copied, true);
  if (copied != 0) fileCommitted = true;
  // A record left out would be missing from the metadata: other lists them itself then (the
  // copies made are merged by name, once).
  if (copied != committed) return OutOfMemoryError();
  records->Adopt(*other.records);
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

std::string DBLogBackupDataWriter::getRootFolder() {
  try {
    if (contextList) {
      DataServerContext* context = firstContext();
      if (context != nullptr) return context->getRootFolder();
      KXLOG_ERROR("Failed to get root folder");
      return std::string();
    }
    if (localContext) return localContext->getRootFolder();
  } catch (const std::exception&) {
  }
  return std::string();
}

CZoError DBLogBackupDataWriter::setRootFolder(const std::string& root) try {
  if (contextList) {
    DataServerContext* context = firstContext();
    if (context != nullptr) {
      context->setRootFolder(root);
      return CZoError::Success();
    }
    KXLOG_ERROR("Dataserver context not initialized");
    return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrNotInitialized, "Dataserver  Context not initialized.");
  }
  if (localContext) {
    localContext->setRootFolder(root);
    return CZoError::Success();
  }
  KXLOG_ERROR("Dataserver context not initialized");
  CZoError err = FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrNotInitialized, "Dataserver  Context not initialized.");
  reportError(err);
  return err.Push(LOGBACKUP_LOC);
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

DataServerContextPtr DBLogBackupDataWriter::getDataServerContextPtrForBackup() {
  if (!contextList || contextList->empty()) return DataServerContextPtr();
  return contextList->front();
}

CZoError DBLogBackupDataWriter::finish() {
  if (finished) return finishResult;
  finished = true;
  // The first failure's error, with one frame for everything that was not written.
  auto keep = [this](CZoError err, const std::string& what) {
    if (err.IsSuccess()) return;
    if (finishResult.IsSuccess()) finishResult = err;
    finishResult.Push(LOGBACKUP_LOC, "%s", what.c_str());
  };
  try {
    if (fileOpen) {
      const std::string name = openName;
      CZoError err = close("");  // a file whose write failed is removed, not committed
      keep(err, "File [" + name + "] was not committed");
    }

    // The records of the committed files, now that the files themselves are durable.
    if (records) {
      DataServerContext* recordsContext = firstContext();
      CZoError err = recordsContext != nullptr ? records->Flush(recordsContext)
                     : localContext           ? records->FlushLocal(localContext->getRootFolder())
                                              : CZoError::Success();
      if (err.IsError()) {
        reportError(err);
        keep(err, std::string("The file records [") + kxmp::logbackup::kRecordsName +
                      "] were not written: files stored without a record read as unverified");
      }
    }

    // The document lists the files this writer committed: no failed open, no abandoned file.
    const bool anyStored = std::find(recordStored.begin(), recordStored.end(), true) != recordStored.end();
    DataServerContext* context = firstContext();
    if (writeMetadataEnabled && anyStored && context != nullptr) {
      const std::string name = FXString::Format("StreamMetadata_%d.xml", kxmp::logbackup::StreamNumber(streamContext));
      CZoError err = writeStreamMetadata(context);
      if (err.IsError()) {
        if (errorHandler == nullptr) {
          KXLOG_ERROR("ErrorHandler not defined ignoring writeMetadata error, error=%s", err.AsString().c_str());
        } else {
          reportError(err);
        }
        keep(err, "The stream metadata document [" + name + "] was not written: this writer's records are not in it");
      }
    }

    if (FileRecordCount(streamContext) != 0) {
      keep(updateDataPathCache(), "The data-path cache file [DBLogBackupMAPathCache.xml] was not updated");
    }
  } catch (...) {
    // Memory ran out (or a caller's handler threw): nothing may unwind out of the destructor.
    keep(CaughtError(OutOfMemoryError(), LOGBACKUP_LOC), "The stream was not finished");
  }
  return finishResult;
}

CZoError DBLogBackupDataWriter::writeStreamMetadata(DataServerContext* context) {
  const std::string name = FXString::Format("StreamMetadata_%d.xml", kxmp::logbackup::StreamNumber(streamContext));
  return kxmp::logbackup::UpdateSharedDocument(context, name, [this](const std::string* current, std::string& next) {
    return kxmp::logbackup::MergeStreamDocument(streamContext, recordStored, current, next);
  });
}

void DBLogBackupDataWriter::addRecord(const std::string& name, time_t openTime) {
  if (AddFileRecord(streamContext, name, static_cast<int64_t>(openTime))) recordStored.push_back(false);
}

void DBLogBackupDataWriter::dropLastRecord() {
  if (FileRecordCount(streamContext) == 0) return;
  DropLastFileRecord(streamContext);
  if (!recordStored.empty()) recordStored.pop_back();
}

CZoError DBLogBackupDataWriter::updateDataPathCache() {
  Tessel::MADataPathsListCache cache;
  CZoError err = LocalFileContext::readMADataPathsFromMACache(subclientId, cache);
  if (err.IsError()) KXLOG_ERROR("Unserialization failed, error=%s", err.AsString().c_str());
  if (DataServerContext* context = firstContext()) {
    err = LocalFileContext::updateMADataPathCache(subclientId, cache, &context->getFSParams());
    if (err.IsError()) KXLOG_ERROR("Updating ma cache failed, error=%s", err.AsString().c_str());
  }
  reportError(err);
  return err;
}
