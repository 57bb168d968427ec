#include "outside/util/CZoFile.h"
#include "outside/util/DurableSync.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/AtomicFile.h"

namespace {

CZoError ErrnoError(const FXCodeLocation& where, int e, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, e, "%s [%s]: %s", what, path.c_str(), std::strerror(e));
}

std::string ParentOf(const std::string& path) {
  size_t pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

}  // namespace

CZoError CZoFile::Open(const std::string& path, unsigned int flags, unsigned int mode) {
  Detach(nullptr);
  int fd;
  do {
    fd = ::open(path.c_str(), static_cast<int>(flags) | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoError(FX_LOC, errno, "Failed to open file", path);
  fd_.reset(fd);
  name_ = path;
  return CZoError::Success();
}

CZoError CZoFile::Read(char* buffer, unsigned int size, unsigned int* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!fd_.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Read on a file that is not open");
  ssize_t n;
  do {
    n = ::read(fd_.get(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ErrnoError(FX_LOC, errno, "Failed to read file", name_);
  if (bytesRead) *bytesRead = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError CZoFile::Write(const char* buffer, unsigned int size, unsigned int* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (!fd_.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Write on a file that is not open");
  ssize_t n;
  do {
    n = ::write(fd_.get(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ErrnoError(FX_LOC, errno, "Failed to write file", name_);
  if (bytesWritten) *bytesWritten = static_cast<unsigned int>(n);
  return CZoError::Success();
}

CZoError CZoFile::Sync() {
  if (!fd_.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Sync on a file that is not open");
  if (int e = kxmp::SyncFile(fd_.get())) return ErrnoError(FX_LOC, e, "Failed to sync file", name_);
  return CZoError::Success();
}

CZoError CZoFile::Close() {
  if (!fd_.valid()) return CZoError::Success();
  if (int e = kxmp::SyncFile(fd_.get())) return ErrnoError(FX_LOC, e, "Failed to sync file", name_);
  if (fd_.close() != 0) return ErrnoError(FX_LOC, errno, "Failed to close file", name_);
  return CZoError::Success();
}

void CZoFile::Detach(int* fdOut) {
  if (fdOut) {
    *fdOut = fd_.release();
  } else {
    fd_.reset();
  }
  name_.clear();
}

CZoError CZoFile::ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  kxmp::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return ErrnoError(FX_LOC, errno, "Failed to open file", path);
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoError(FX_LOC, errno, "Failed to read file", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return CZoError::Success();
}

CZoError CZoFile::WriteWholeFileAtomic(const std::string& path, const std::string& content, unsigned int mode) {
  kxmp::AtomicFile file;
  CZoError err = file.Create(path, mode);
  if (err.IsSuccess()) err = file.Write(content);
  if (err.IsSuccess()) err = file.Commit(kxmp::AtomicFile::kReplace);
  return err;
}

CZoError CZoDirectory::Create(const std::string& path, bool withParents) {
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Cannot create a folder with an empty path");
  if (::mkdir(path.c_str(), 0750) == 0) return CZoError::Success();
  int e = errno;
  if (e == EEXIST) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return CZoError::Success();
    return ErrnoError(FX_LOC, ENOTDIR, "Failed to create folder", path);
  }
  if (e == ENOENT && withParents) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::string parent = ParentOf(trimmed);
    if (parent != trimmed && parent != "." ) {
      CZoError pe = Create(parent, true);
      if (pe.IsError()) return pe;
      if (::mkdir(trimmed.c_str(), 0750) == 0 || errno == EEXIST) return CZoError::Success();
      e = errno;
    }
  }
  return ErrnoError(FX_LOC, e, "Failed to create folder", path);
}

namespace {
// Removes the contents of an open folder without following symbolic links.
int RemoveContents(int dirfd) {
  DIR* d = ::fdopendir(dirfd);
  if (!d) {
    int e = errno;
    ::close(dirfd);
    return e;
  }
  int result = 0;
  while (struct dirent* ent = ::readdir(d)) {
    const char* n = ent->d_name;
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) result = errno;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int sub = ::openat(::dirfd(d), n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        result = errno;
        continue;
      }
      int r = RemoveContents(sub);
      if (r != 0) result = r;
      if (::unlinkat(::dirfd(d), n, AT_REMOVEDIR) != 0 && errno != ENOENT) result = errno;
    } else if (::unlinkat(::dirfd(d), n, 0) != 0 && errno != ENOENT) {
      result = errno;
    }
  }
  ::closedir(d);
  return result;
}
}  // namespace

CZoError CZoDirectory::Remove(const std::string& path, bool recursive, bool /*flag*/) {
  if (recursive) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return ErrnoError(FX_LOC, errno, "Failed to open folder", path);
    int r = RemoveContents(fd);
    if (r != 0) return ErrnoError(FX_LOC, r, "Failed to remove folder contents", path);
  }
  if (::rmdir(path.c_str()) != 0) return ErrnoError(FX_LOC, errno, "Failed to remove folder", path);
  return CZoError::Success();
}

CZoError FXFile::RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return ErrnoError(FX_LOC, errno, "Failed to remove file", path);
  return CZoError::Success();
}

CZoError FXFile::SyncDirectory(const std::string& path) {
  kxmp::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return ErrnoError(FX_LOC, errno, "Failed to open folder", path);
  if (int e = kxmp::SyncFolder(fd.get())) return ErrnoError(FX_LOC, e, "Failed to sync folder", path);
  return CZoError::Success();
}
