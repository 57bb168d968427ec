// DBLogBackupDataReader: reads back one found log file at a time.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/ReaderRecords.h"
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
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

DBLogBackupDataReader::DBLogBackupDataReader(unsigned long subclientId, bool fileMode, const std::string& rootFolder,
                                             DBLogBackupErrorHandler* errorHandler)
    : DBLogBackupInterface(subclientId, false, fileMode, 0, rootFolder, errorHandler, false) {
  try {
    records = std::make_unique<kxmp::logbackup::ReaderRecords>();
  } catch (const std::exception&) {
    // Out of memory: reads are not checked (checkRead answers kNotRead).
  }
}

DBLogBackupDataReader::~DBLogBackupDataReader() = default;

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
  if (records && context) records->Open(context, file.directory + "/" + file.fileName);
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::read(char* buffer, unsigned int size, unsigned int& bytesRead) try {
  CZoError err = readRaw(buffer, size, bytesRead);
  if (err.IsSuccess() && records) {
    records->Add(buffer, bytesRead);
    if (bytesRead < size) records->ReachedEnd();
  }
  return err;
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::readTo(int fd, unsigned int size, unsigned int& done) try {
  done = 0;
  char* piece = records ? records->Piece(size) : nullptr;
  std::unique_ptr<char[]> own;
  if (piece == nullptr) {
    own.reset(new char[size]);
    piece = own.get();
  }
  unsigned int got = 0;
  CZoError err = readRaw(piece, size, got);
  if (err.IsError()) return err;
  if (records) {
    if (own) {
      records->Add(piece, got);
    } else {
      records->AddPiece(piece, got);
    }
    if (got < size) records->ReachedEnd();
  }
  for (unsigned int written = 0; written < got;) {
    const ssize_t n = ::write(fd, piece + written, got - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : ENOSPC;
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, e, "Failed to write what was read: %s", std::strerror(e));
    }
    written += static_cast<unsigned int>(n);
  }
  done = got;
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::readRaw(char* buffer, unsigned int size, unsigned int& bytesRead) {
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
}

CZoError DBLogBackupDataReader::close(DataServerContextPtr context) try {
  if (records) records->Close();
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
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::checkRead(DataServerReadCheck& out) try {
  if (!records) {
    out = DataServerReadCheck();
    return CZoError::Success();
  }
  return records->Check(out);
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::findRecord(const DataServerSearchFile& file, DataServerContextPtr context,
                                           DataServerReadCheck& out) try {
  out = DataServerReadCheck();
  if (!records || !context) return CZoError::Success();
  CZoError err = records->Lookup(context, file.directory + "/" + file.fileName, out);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot read the record of [%s/%s]", file.directory.c_str(), file.fileName.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}
