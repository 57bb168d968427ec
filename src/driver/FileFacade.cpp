// The driver's file-operation facade: one data-server operation per call on the storage of a
// context, below its root folder. Path operations make a CFSInterface for the one call; file
// operations act on a CFileInterface the caller holds between calls. Component errors go back
// unchanged (the caller decides whether to fail over); only the facade's own failures carry
// a location here.
//
// Names are turned into paths in one of three ways, and callers shape their names to suit:
//   concatenation      root + name, nothing added
//   join               root and name with exactly one separator
//   contained-or-join  the name as it is when it already holds the root, else joined

#include <memory>
#include <string>

#include "driver/DriverLocation.h"
#include "driver/FacadeErrors.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

using kxmp::driver::FacadeOutOfMemory;
using kxmp::driver::kErrMissingInput;
using kxmp::driver::kErrNoInterface;

namespace {

using FSPtr = std::unique_ptr<CFSInterface>;
using FilePtr = std::unique_ptr<CFileInterface>;

FSPtr NewFS(DataServerContext& context) {
  return FSPtr(CFSInterface::GetFSInterfaceInstance(context.getFSParams()));
}

FilePtr NewFile(DataServerContext& context) {
  return FilePtr(CFileInterface::GetFileInterfaceInstance(context.getFSParams()));
}

std::string Concatenated(DataServerContext& context, const std::string& name) {
  return context.getRootFolder() + name;
}

std::string Joined(DataServerContext& context, const std::string& name) {
  std::string path = context.getRootFolder();
  FXPath::Append(path, name, 0);  // joining two texts cannot fail in a way that matters here
  return path;
}

std::string ContainedOrJoined(DataServerContext& context, const std::string& name) {
  if (name.find(context.getRootFolder()) != std::string::npos) return name;
  return Joined(context, name);
}

}  // namespace

// Refusals of input the facade cannot work with, before any component is asked.
#define KX_NEED_CONTEXT(ctx) \
  if ((ctx) == nullptr) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "DataServerContext not initialized")
#define KX_NEED_HANDLE(h) \
  if ((h) == nullptr) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No open file handle")
#define KX_FS_OR_FAIL(fs, ctx)                                                                  \
  FSPtr fs = NewFS(*(ctx));                                                                     \
  if (!(fs)) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoInterface, "Failed to create CFSInterface")
#define KX_FILE_OR_FAIL(file, ctx)                                                              \
  FilePtr file = NewFile(*(ctx));                                                               \
  if (!(file)) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoInterface, "Failed to create CFileInterface")

CZoError AbstractMountingPointDriver::AMGetVolumeSize(DataServerContext* context, unsigned long long* total,
                                                      unsigned long long* free) try {
  KX_NEED_CONTEXT(context);
  if (total == nullptr || free == nullptr) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No place for the volume sizes");
  }
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->GetVolumeSize("", total, free);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMGetVolumeSize returns total [%llu], free [%llu]", *total, *free);
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMCreateFile(DataServerContext* context, const std::string& name, int uFlags,
                                                   int uMode, int shFlag) try {
  KX_NEED_CONTEXT(context);
  KX_FILE_OR_FAIL(file, context);
  CZoError err = file->Open(Concatenated(*context, name), uFlags, uMode, shFlag);
  if (err.IsError()) KX_RETURN_FAILED(err);
  err = file->Close();
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMCreateFile done [%s] uFlags [%x] uMode [%x] shFlag [%x]", name.c_str(),
              static_cast<unsigned>(uFlags), static_cast<unsigned>(uMode), static_cast<unsigned>(shFlag));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMCreateFileWithOpen(DataServerContext* context, const std::string& name,
                                                           int uFlags, int uMode, int shFlag,
                                                           CFileInterface*& handle) try {
  handle = nullptr;
  KX_NEED_CONTEXT(context);
  KX_FILE_OR_FAIL(file, context);
  CZoError err = file->Open(Joined(*context, name), uFlags, uMode, shFlag);
  if (err.IsError()) KX_RETURN_FAILED(err);  // the object dies here; the handle stays null
  KXLOG_TRACE("AMCreateFileWithOpen done [%s] uFlags [%x] uMode [%x] shFlag [%x]", name.c_str(),
              static_cast<unsigned>(uFlags), static_cast<unsigned>(uMode), static_cast<unsigned>(shFlag));
  handle = file.release();
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMCreateFolder(DataServerContext* context, const std::string& name) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->CreateFolder(Concatenated(*context, name), 0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMCreateFolder done [%s]", name.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMOpenFile(DataServerContext* context, const std::string& name, int uFlags,
                                                 int uMode, int shFlag, CFileInterface*& handle) try {
  handle = nullptr;
  KX_NEED_CONTEXT(context);
  KX_FILE_OR_FAIL(file, context);
  const std::string path = ContainedOrJoined(*context, name);
  CZoError err = file->Open(path, uFlags, uMode, shFlag);
  if (err.IsError()) {
    KXLOG_ERROR("Failed to open file [%s] error[%s]", path.c_str(), err.AsString().c_str());
    file.reset();
    KX_RETURN_FAILED(err);
  }
  handle = file.release();
  KXLOG_TRACE("AMOpenFile done [%s] return [%p]", name.c_str(), static_cast<void*>(handle));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMCloseFile(DataServerContext* /*context*/, CFileInterface*& handle) try {
  KX_NEED_HANDLE(handle);
  // The object goes whatever Close answers: the caller's handle is never left dangling.
  FilePtr file(handle);
  handle = nullptr;
  const void* closed = file.get();
  CZoError err = file->Close();
  if (err.IsError()) KX_RETURN_FAILED(err);
  file->Flush();  // the result is of no interest once the file is closed
  KXLOG_TRACE("AMCloseFile done [%p]", closed);
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMStat(DataServerContext* context, const std::string& name,
                                             SZoFileStat& stat) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->Stat(Concatenated(*context, name), stat);
  if (err.IsError()) {
    // Callers stat to find out whether something is there: a miss is no error of theirs.
    KXLOG_TRACE("warning: AMStat failed [%s] error[%s]", name.c_str(), err.AsString().c_str());
    return err;
  }
  KXLOG_TRACE("AMStat done [%s] size[%lld]", name.c_str(), static_cast<long long>(stat.st_size));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMExists(DataServerContext* context, const std::string& name,
                                               bool& exists) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  const std::string path = ContainedOrJoined(*context, name);
  CZoError err = fs->Exists(path, exists);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMExists done [%s]", path.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMTruncateFile(DataServerContext* /*context*/, CFileInterface*& handle,
                                                     long long size) try {
  KX_NEED_HANDLE(handle);
  CZoError err = handle->Truncate(size);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMTruncateFile done [%p] to [%lld]", static_cast<void*>(handle), size);
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMChmod(DataServerContext* context, const std::string& name, int mode) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->Chmod(Concatenated(*context, name), mode);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMChmod done [%s] to [%x]", name.c_str(), static_cast<unsigned>(mode));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMRemoveFileFolder(DataServerContext* context, const std::string& name) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  const std::string path = Concatenated(*context, name);
  SZoFileStat st{};
  CZoError err = fs->Stat(path, st);
  if (err.IsError()) KX_RETURN_FAILED(err);  // nothing is removed without knowing what it is
  err = ((st.st_mode & 0xF000) == 0x4000) ? fs->RemoveFolder(path, 0) : fs->RemoveFile(path, 0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMRemoveFile done [%s]", name.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMRead(DataServerContext* /*context*/, CFileInterface*& handle, void* buffer,
                                             long long offset, unsigned int size, unsigned long* bytesRead) try {
  KX_NEED_HANDLE(handle);
  if (bytesRead == nullptr || (buffer == nullptr && size != 0)) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No buffer or byte count for the read");
  }
  // Every read is positioned, independent of the calls before it.
  CZoError err = handle->Seek(offset, 0, 0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  unsigned int n = 0;
  err = handle->Read(buffer, size, &n);
  if (err.IsError()) KX_RETURN_FAILED(err);
  *bytesRead = n;
  KXLOG_TRACE("AMRead done file [%p] size[%d] bytesRead [%lu] from offset [%lld]", static_cast<void*>(handle),
              static_cast<int>(size), *bytesRead, offset);
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMWrite(DataServerContext* /*context*/, CFileInterface*& handle, void* buffer,
                                              long long offset, unsigned int size,
                                              unsigned long* bytesWritten) try {
  KX_NEED_HANDLE(handle);
  if (bytesWritten == nullptr || (buffer == nullptr && size != 0)) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No buffer or byte count for the write");
  }
  CZoError err = handle->Seek(offset, 0, 0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  unsigned int n = 0;
  err = handle->Write(buffer, size, &n);
  if (err.IsError()) KX_RETURN_FAILED(err);
  *bytesWritten = n;
  KXLOG_TRACE("AMWrite done [%p] writeBytes [%lu] from offset [%lld]", static_cast<void*>(handle), *bytesWritten,
              offset);
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMLock(DataServerContext* /*context*/, CFileInterface*& handle) try {
  KX_NEED_HANDLE(handle);
  CZoError err = handle->Lock(0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMLock done [%p]", static_cast<void*>(handle));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMUnlock(DataServerContext* /*context*/, CFileInterface*& handle) try {
  KX_NEED_HANDLE(handle);
  CZoError err = handle->Unlock();
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMUnlock done [%p]", static_cast<void*>(handle));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMFlush(DataServerContext* /*context*/, CFileInterface*& handle) try {
  KX_NEED_HANDLE(handle);
  CZoError err = handle->Flush();
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMFlush done [%p]", static_cast<void*>(handle));
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

// Both moves name themselves in their errors' frames, as every facade operation does.
CZoError AbstractMountingPointDriver::AMMove(DataServerContext* context, const std::string& from,
                                             const std::string& to) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->Move(Concatenated(*context, from), Concatenated(*context, to), 0);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMMove done from [%s] to [%s]", from.c_str(), to.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMMoveNoReplace(DataServerContext* context, const std::string& from,
                                                      const std::string& to) try {
  KX_NEED_CONTEXT(context);
  KX_FS_OR_FAIL(fs, context);
  CZoError err = fs->Move(Concatenated(*context, from), Concatenated(*context, to), 1);
  if (err.IsError()) KX_RETURN_FAILED(err);
  KXLOG_TRACE("AMMoveNoReplace done from [%s] to [%s]", from.c_str(), to.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}
