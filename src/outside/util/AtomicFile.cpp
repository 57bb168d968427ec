#include "outside/util/AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/DurableSync.h"
#include "outside/util/RandomTag.h"

namespace kxmp {

namespace {

constexpr int kCreateAttempts = 16;
constexpr char kTempPrefix[] = ".tmp.";
constexpr char kTempSuffix[] = ".tmp";
// The prefix, 16 hex digits, "." and the suffix.
constexpr size_t kTempTagLength = sizeof kTempPrefix - 1 + 16 + 1 + sizeof kTempSuffix - 1;

// ".tmp.<16 hex>.<name>.tmp", the name cut so that the whole stays a valid file name: a target
// of the longest allowed name still gets a temporary name. It starts like the registry's
// temporary values and ends like a log file being written, so readers of either skip it.
std::string TempNameFor(const std::string& name) {
  char tag[kTempTagLength + 1];
  std::snprintf(tag, sizeof tag, "%s%016llx.", kTempPrefix, static_cast<unsigned long long>(RandomTag()));
  return std::string(tag) + name.substr(0, NAME_MAX - kTempTagLength) + kTempSuffix;
}

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

}  // namespace

CZoError AtomicFile::Fail(const FXCodeLocation& where, int e, const char* what) {
  Abandon();
  return FXErrorUtil::ErrorErrNo(where, e, "%s [%s]: %s", what, display_.c_str(), std::strerror(e));
}

CZoError AtomicFile::Create(const std::string& path, unsigned int mode) {
  Abandon();
  display_ = path;
  std::string folder;
  SplitPath(path, folder, name_);
  if (name_.empty() || name_ == "." || name_ == "..") return Fail(FX_LOC, EISDIR, "Cannot write a file named");
  dir_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_.valid()) return Fail(FX_LOC, errno, "Cannot open the folder of");
  return Open(mode);
}

CZoError AtomicFile::CreateAt(int dirFd, const std::string& name, unsigned int mode) {
  Abandon();
  display_ = name;
  name_ = name;
  if (name_.empty() || name_.find('/') != std::string::npos || name_ == "." || name_ == "..") {
    return Fail(FX_LOC, EINVAL, "Cannot write a file named");
  }
  dir_.reset(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  if (!dir_.valid()) return Fail(FX_LOC, errno, "Cannot use the folder of");
  return Open(mode);
}

CZoError AtomicFile::Open(unsigned int mode) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string candidate = TempNameFor(name_);
    int fd = ::openat(dir_.get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      static_cast<mode_t>(mode));
    if (fd >= 0) {
      file_.reset(fd);
      tempName_ = std::move(candidate);
      return CZoError::Success();
    }
    if (errno != EEXIST && errno != EINTR) return Fail(FX_LOC, errno, "Cannot create a temporary file for");
  }
  return Fail(FX_LOC, EEXIST, "Cannot find a free temporary name for");
}

CZoError AtomicFile::Write(const char* data, size_t size) {
  if (!file_.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Write to [%s] that is not open", display_.c_str());
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(file_.get(), data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(FX_LOC, errno, "Failed to write");
    if (n == 0) return Fail(FX_LOC, ENOSPC, "No progress writing");
    done += static_cast<size_t>(n);
  }
  return CZoError::Success();
}

CZoError AtomicFile::Commit(CommitMode mode) {
  if (!file_.valid()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Commit of [%s] that is not open", display_.c_str());
  if (mode == kReplace) {
    // The new content takes the place of the old file, permissions included.
    struct stat old {};
    if (::fstatat(dir_.get(), name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(file_.get(), old.st_mode & 07777) != 0) {
      return Fail(FX_LOC, errno, "Failed to keep the permissions of");
    }
  }
  if (int e = SyncFile(file_.get())) return Fail(FX_LOC, e, "Failed to sync");
  if (file_.close() != 0) return Fail(FX_LOC, errno, "Failed to close");
  int rc;
  if (mode == kReplace) {
    rc = ::renameat(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str());
  } else {
    rc = ::renameat2(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without the flag: a hard link fails just as atomically on an existing name.
      rc = ::linkat(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str(), 0);
      if (rc == 0) ::unlinkat(dir_.get(), tempName_.c_str(), 0);
    }
  }
  if (rc != 0) return Fail(FX_LOC, errno, mode == kReplace ? "Failed to replace" : "Failed to create");
  tempName_.clear();
  if (int e = SyncFolder(dir_.get())) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to sync the folder of [%s]: %s", display_.c_str(), std::strerror(e));
  }
  return CZoError::Success();
}

void AtomicFile::Abandon() {
  file_.reset();
  if (!tempName_.empty() && dir_.valid()) ::unlinkat(dir_.get(), tempName_.c_str(), 0);
  tempName_.clear();
}

}  // namespace kxmp
