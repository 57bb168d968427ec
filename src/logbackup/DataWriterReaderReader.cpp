// DBLogBackupDataReader: reads back one found log file at a time.

#include <errno.h>

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
constexpr unsigned int kReadFlags = 0x40000;  // O_RDONLY | O_NOATIME
}  // namespace

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
  CZoError err = kxmp::logbackup::IsTemporaryName(file.fileName)
                     ? FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOENT, "File [%s] is still being written", path.c_str())
                     : AbstractMountingPointDriver::AMOpenFile(context.get(), path, static_cast<int>(kReadFlags), 0,
                                                               0, streamContext.fileHandle);
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
  while (bytesRead < size) {
    unsigned int n = 0;
    CZoError err = streamContext.fileHandle != nullptr
                       ? streamContext.fileHandle->Read(buffer + bytesRead, size - bytesRead, &n)
                       : localContext->readFile(buffer + bytesRead, size - bytesRead, &n);
    if (err.IsError()) {
      setLastErrorText("Failed to read from file, bytesRead=[%u], error=%s", bytesRead, err.AsString().c_str());
      KXLOG_ERROR("%s", lastErrorText.c_str());
      return err.Push(LOGBACKUP_LOC);
    }
    if (n == 0) break;  // end of file
    // A pass never claims more than it was asked for; if one did, the buffer ends here.
    bytesRead += n <= size - bytesRead ? n : size - bytesRead;
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
