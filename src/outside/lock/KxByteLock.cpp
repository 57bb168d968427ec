#include "outside/lock/KxByteLock.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/Fnv1a.h"
#include "outside/util/KxHome.h"
#include "outside/util/UniqueFd.h"

namespace {

constexpr const char* kLockFile = "byte-locks.lock";  // never a KxNamedMutex file name (one '.')
constexpr uint64_t kByteMask = (uint64_t(1) << 62) - 1;  // far below the largest lock offset
// Lock files without held bytes beyond this many are closed (a process that changes homes).
constexpr size_t kIdleFilesKept = 4;

// Process-wide: one descriptor per lock file, and the bytes held by objects of this process.
class ByteLockTable {
 public:
  static ByteLockTable& Get() {
    // Never destroyed: locks may still be released from other static destructors.
    static ByteLockTable* table = [] {
      auto* t = new ByteLockTable();
      ::pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); }, [] { Get().ForgetInChild(); });
      return t;
    }();
    return *table;
  }

  // 1: held, 0: held by another, -errno: failure. crossProcess tells whether a lock file
  // takes part.
  int TryLock(const std::string& path, uint64_t offset, bool& crossProcess) {
    std::lock_guard<std::mutex> guard(mutex_);
    crossProcess = false;
    if (held_.count({path, offset}) != 0) return 0;
    LockFile& file = files_[path];
    if (!file.fd.valid()) Open(path, file);
    if (file.fd.valid()) {
      int rc = SetLock(file.fd.get(), offset, F_WRLCK);
      if (rc == EAGAIN || rc == EACCES) return 0;
      if (rc != 0) return -rc;
      crossProcess = true;
    }
    held_.insert({path, offset});
    ++file.held;
    return 1;
  }

  void Unlock(const std::string& path, uint64_t offset) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_.erase({path, offset}) == 0) return;  // a copy in a forked child: not its lock
    auto it = files_.find(path);
    if (it == files_.end()) return;
    // The file's lock goes before the table's entry, so no other thread of ours can take
    // the byte and then lose it to this release.
    if (it->second.fd.valid()) SetLock(it->second.fd.get(), offset, F_UNLCK);
    if (--it->second.held == 0 && files_.size() > kIdleFilesKept) files_.erase(it);
  }

 private:
  struct LockFile {
    kxmp::UniqueFd fd;
    size_t held = 0;
  };

  static int SetLock(int fd, uint64_t offset, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    int rc;
    do {
      rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
  }

  static void Open(const std::string& path, LockFile& file) {
    std::string dir;
    CZoError err = kxmp::home::Ensure("locks", dir);
    if (err.IsError()) {
      KXLOG_ERROR("Byte lock file [%s] excludes holders in this process only: %s", path.c_str(), err.Message().c_str());
      return;
    }
    kxmp::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      const int e = fd.valid() ? 0 : errno;
      KXLOG_ERROR("Byte lock file [%s] excludes holders in this process only: %s", path.c_str(),
                  e != 0 ? std::strerror(e) : "not a regular file");
      return;
    }
    file.fd = std::move(fd);
  }

  // In a forked child: the inherited descriptors share the parent's locks, so the child
  // closes its copies (the parent's locks stay) and starts with nothing held.
  void ForgetInChild() {
    files_.clear();
    held_.clear();
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::map<std::string, LockFile> files_;
  std::set<std::pair<std::string, uint64_t>> held_;
};

}  // namespace

namespace kxmp::lock {

uint64_t ByteOfName(const std::string& name) {
  const uint64_t h = kxmp::Fnv1a64(name);
  return (h ^ (h >> 29)) & kByteMask;
}

}  // namespace kxmp::lock

CZoError KxByteLock::TryLock(const std::string& name) {
  Release();
  file_ = kxmp::home::Path("locks") + "/" + kLockFile;
  offset_ = kxmp::lock::ByteOfName(name);
  int rc = ByteLockTable::Get().TryLock(file_, offset_, crossProcess_);
  if (rc < 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, -rc, "Cannot lock [%s] in [%s]: %s", name.c_str(), file_.c_str(),
                                   std::strerror(-rc));
  }
  held_ = rc == 1;
  return CZoError::Success();
}

void KxByteLock::Release() {
  if (!held_) return;
  held_ = false;
  ByteLockTable::Get().Unlock(file_, offset_);
}
