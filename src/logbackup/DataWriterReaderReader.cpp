// DBLogBackupDataReader: reads back one found log file at a time.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <exception>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

using kxmp::logbackup::OutOfMemoryError;

namespace {
constexpr int kErrNoContext = 5;            // errno kind
constexpr unsigned int kReadFlags = 0x40000 | O_NONBLOCK;  // O_RDONLY | O_NOATIME, never waiting to open

// What a found entry is when it is not a regular file; null when it is one.
const char* NotRegular(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  return S_ISDIR(mode) ? "a folder" : S_ISFIFO(mode) ? "a FIFO" : S_ISSOCK(mode) ? "a socket"
         : (S_ISCHR(mode) || S_ISBLK(mode))          ? "a device" : "not a regular file";
}

CZoError Refused(const std::string& path, mode_t mode) {
  return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "[%s] is %s: only regular files are served", path.c_str(),
                                 NotRegular(mode));
}
}  // namespace

CZoError DBLogBackupDataReader::check(const DataServerSearchFile& file, DataServerContextPtr context) try {
  std::string path = file.directory;
  FXPath::Append(path, file.fileName);
  SZoFileStat st {};
  // The stat joins the root folder and the path as they stand: the path gets its separator.
  CZoError err = AbstractMountingPointDriver::AMStat(context.get(), path[0] == '/' ? path : "/" + path, st);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot tell what [%s] is", path.c_str());
  if (NotRegular(st.st_mode) != nullptr) return Refused(path, st.st_mode);
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}

DBLogBackupDataReader::DBLogBackupDataReader(unsigned long subclientId, bool fileMode, const std::string& rootFolder,
                                             DBLogBackupErrorHandler* errorHandler)
    : DBLogBackupInterface(subclientId, false, fileMode, 0, rootFolder, errorHandler, false) {}

CZoError DBLogBackupDataReader::open(DataServerSearchFile& file, DataServerContextPtr context) try {
  std::string path = file.directory;
  FXPath::Append(path, file.fileName);
  if (streamContext.fileHandle != nullptr) {
    // Only one file is held at a time; the previous one must not leak.
    AbstractMountingPointDriver::AMCloseFile(context.get(), streamContext.fileHandle);
  }
  remaining = -1;
  CZoError err = kxmp::logbackup::IsTemporaryName(file.fileName)
                     ? FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOENT, "File [%s] is still being written", path.c_str())
                     : check(file, context);
  if (err.IsSuccess()) {
    err = AbstractMountingPointDriver::AMOpenFile(context.get(), path, static_cast<int>(kReadFlags), 0, 0,
                                                  streamContext.fileHandle);
  }
  if (err.IsSuccess()) {
    // What was opened, and its size now: a read stops there, however the file grows.
    SZoFileStat st {};
    err = streamContext.fileHandle->Stat(st);
    if (err.IsSuccess() && NotRegular(st.st_mode) != nullptr) err = Refused(path, st.st_mode);
    if (err.IsError()) AbstractMountingPointDriver::AMCloseFile(context.get(), streamContext.fileHandle);
    remaining = st.st_size;
  }
  if (err.IsError()) {
    setLastErrorText("Failed to open file [%s] for reading, error=%s, ", path.c_str(), err.AsString().c_str());
    reportError(err);
    return err.Push(LOGBACKUP_LOC, "Failed to open file [%s]", path.c_str());
  }
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}

CZoError DBLogBackupDataReader::read(char* buffer, unsigned int size, unsigned int& bytesRead) try {
  bytesRead = 0;
  if (streamContext.fileHandle == nullptr && !localContext) {
    CZoError err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrNoContext, "DataServerContext not initialized");
    reportError(err);
    return err.Push(LOGBACKUP_LOC);
  }
  while (bytesRead < size && remaining != 0) {
    unsigned int n = 0;
    unsigned int want = size - bytesRead;
    if (remaining > 0 && static_cast<unsigned long long>(remaining) < want) want = static_cast<unsigned int>(remaining);
    CZoError err = streamContext.fileHandle != nullptr ? streamContext.fileHandle->Read(buffer + bytesRead, want, &n)
                                                       : localContext->readFile(buffer + bytesRead, want, &n);
    if (err.IsError()) {
      setLastErrorText("Failed to read from file, bytesRead=[%u], error=%s", bytesRead, err.AsString().c_str());
      KXLOG_ERROR("%s", lastErrorText.c_str());
      return err.Push(LOGBACKUP_LOC);
    }
    if (n == 0) break;  // end of file
    // A pass never claims more than it was asked for; if one did, the buffer ends here.
    if (n > want) n = want;
    bytesRead += n;
    if (remaining > 0) remaining -= n;
  }
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}

CZoError DBLogBackupDataReader::close(DataServerContextPtr context) try {
  if (streamContext.fileHandle == nullptr) {
    CZoError err = closeLocalFile();
    if (err.IsError()) {
      reportError(err);
      return err.Push(LOGBACKUP_LOC, "Failed to close the file");
    }
    return CZoError::Success();
  }
  CZoError err = AbstractMountingPointDriver::AMCloseFile(context.get(), streamContext.fileHandle);
  if (err.IsError()) {
    setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
    KXLOG_ERROR("%s", lastErrorText.c_str());
    reportError(err);
    return err.Push(LOGBACKUP_LOC);
  }
  return CZoError::Success();
} catch (const std::exception&) {
  return OutOfMemoryError();
}
