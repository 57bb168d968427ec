#include "outside/dataserver/local/LocalFileInterface.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/DurableSync.h"

namespace kxmp::dataserver {

LocalFileInterface::LocalFileInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                                       ResolveMode mode, std::shared_ptr<LocalTreeCache> cache)
    : tree_(params, std::move(authority), mode, std::move(cache)) {}

CZoError LocalFileInterface::NotOpen(const FXCodeLocation& where) const {
  return FXErrorUtil::ErrorErrNo(where, EBADF, "No file is open");
}

CZoError LocalFileInterface::Open(std::string path, int uFlags, int uMode, int /*shFlag*/) {
  if (fd_.valid()) return ServedTree::Error(FX_LOC, EBUSY, "Another file is open already", path_);
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  const mode_t mode = static_cast<mode_t>(uMode);
  int fd = tree_.Open(t, uFlags, mode);
  // O_NOATIME is only allowed to the file's owner; reading must not depend on it.
  if (fd == -EPERM && (uFlags & O_NOATIME) != 0) fd = tree_.Open(t, uFlags & ~O_NOATIME, mode);
  if (fd < 0) return ServedTree::Error(FX_LOC, -fd, "Cannot open file", path);
  fd_.reset(fd);
  path_ = path;
  wrote_ = (uFlags & O_ACCMODE) != O_RDONLY || (uFlags & (O_TRUNC | O_CREAT)) != 0;
  return CZoError::Success();
}

CZoError LocalFileInterface::Close() {
  if (!fd_.valid()) return CZoError::Success();
  int syncErr = 0;
  if (wrote_) syncErr = SyncFile(fd_.get());
  int closeErr = fd_.close() != 0 ? errno : 0;
  std::string path = std::move(path_);
  path_.clear();
  if (syncErr != 0) return ServedTree::Error(FX_LOC, syncErr, "Cannot make the data durable of file", path);
  if (closeErr != 0 && closeErr != EINTR) return ServedTree::Error(FX_LOC, closeErr, "Cannot close file", path);
  return CZoError::Success();
}

CZoError LocalFileInterface::Read(void* buffer, unsigned int size, unsigned int* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Read into no buffer");
  ssize_t n;
  do {
    n = ::read(fd_.get(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ServedTree::Error(FX_LOC, errno, "Cannot read file", path_);
  if (bytesRead) *bytesRead = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError LocalFileInterface::Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (buffer == nullptr && size != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Write from no buffer");
  ssize_t n;
  do {
    n = ::write(fd_.get(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ServedTree::Error(FX_LOC, errno, "Cannot write file", path_);
  if (bytesWritten) *bytesWritten = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError LocalFileInterface::Seek(long long offset, int whence, int /*reserved*/) {
  if (!fd_.valid()) return NotOpen(FX_LOC);
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (whence < 0 || whence > 2) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown seek origin %d", whence);
  if (::lseek(fd_.get(), static_cast<off_t>(offset), kWhence[whence]) < 0) {
    return ServedTree::Error(FX_LOC, errno, "Cannot seek in file", path_);
  }
  return CZoError::Success();
}

CZoError LocalFileInterface::Tell(long long& position) {
  position = 0;
  if (!fd_.valid()) return NotOpen(FX_LOC);
  off_t pos = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (pos < 0) return ServedTree::Error(FX_LOC, errno, "Cannot tell the position in file", path_);
  position = pos;
  return CZoError::Success();
}

CZoError LocalFileInterface::Truncate(long long size) {
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (size < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Negative file size %lld", size);
  int rc;
  do {
    rc = ::ftruncate(fd_.get(), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ServedTree::Error(FX_LOC, errno, "Cannot truncate file", path_);
  wrote_ = true;
  return CZoError::Success();
}

CZoError LocalFileInterface::Stat(SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (::fstat(fd_.get(), &st) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot stat file", path_);
  return CZoError::Success();
}

CZoError LocalFileInterface::Flush() {
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (int e = SyncFile(fd_.get())) return ServedTree::Error(FX_LOC, e, "Cannot make the data durable of file", path_);
  return CZoError::Success();
}

CZoError LocalFileInterface::Reserved12() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError LocalFileInterface::Reserved13() {
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "Operation not supported by the data server");
}

CZoError LocalFileInterface::Lock(int mode) {
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if ((mode & ~3) != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown lock mode %d", mode);
  int op = ((mode & 1) ? LOCK_SH : LOCK_EX) | ((mode & 2) ? LOCK_NB : 0);
  int rc;
  do {
    rc = ::flock(fd_.get(), op);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ServedTree::Error(FX_LOC, errno, "Cannot lock file", path_);
  return CZoError::Success();
}

CZoError LocalFileInterface::Unlock() {
  if (!fd_.valid()) return NotOpen(FX_LOC);
  if (::flock(fd_.get(), LOCK_UN) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot unlock file", path_);
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
