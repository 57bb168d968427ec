#include "outside/dataserver/local/ServedTree.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "outside/dataserver/ContextState.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/DurableSync.h"

namespace kxmp::dataserver {

// Identity of an opened folder.
struct FolderId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FolderId& o) const { return dev == o.dev && ino == o.ino; }
};

// A folder descriptor of the cache and the identity it had when opened.
struct CachedFolder {
  std::shared_ptr<const UniqueFd> fd;
  FolderId id;
};

struct LocalTreeCache {
  SharedMountPath mountPath;
  std::mutex mutex;  // the cached folders
  CachedFolder mountFolder;
  CachedFolder rootFolder;
};

namespace {

int OpenAtRetry(int dirfd, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : fd;
}

bool IsSymlinkAt(int dirfd, const char* name) {
  struct stat st {};
  return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool NeedsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

bool IdOfFd(int fd, FolderId& id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  id = FolderId{st.st_dev, st.st_ino};
  return true;
}

// Whether the path still names the folder of the given identity.
bool PathStillNames(const std::string& path, int statFlags, const FolderId& id) {
  struct stat st {};
  return ::fstatat(AT_FDCWD, path.c_str(), &st, statFlags) == 0 && S_ISDIR(st.st_mode) &&
         FolderId{st.st_dev, st.st_ino} == id;
}

}  // namespace

ServedTree::ServedTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                       ResolveMode mode, std::shared_ptr<LocalTreeCache> cache)
    : ServedPath(params),
      authority_(std::move(authority)),
      useOpenat2_(mode == ResolveMode::Auto),
      cache_(std::move(cache)) {}

ServedTree::~ServedTree() = default;

std::shared_ptr<LocalTreeCache> ServedTree::CacheOf(const CFSInitParams& params,
                                                   const std::shared_ptr<const void>& owner) {
  std::shared_ptr<ContextState> state = FindContextState(params);
  return state ? state->Piece<LocalTreeCache>(owner) : nullptr;
}

CZoError ServedTree::LearnMountPath() {
  if (located_) return CZoError::Success();
  CZoError err = FindMountPath(authority_.get(), cache_ ? &cache_->mountPath : nullptr, mount_);
  if (err.IsError()) return err;
  located_ = true;
  return CZoError::Success();
}

CZoError ServedTree::MountError(int err) const {
  if (err == ENOENT || err == ENOTDIR) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Mount path [%s] of storage host [%s] is not present",
                                   mount_.text.c_str(), host_.c_str());
  }
  return Error(FX_LOC, err, "Cannot open mount path", mount_.text);
}

CZoError ServedTree::Connect() {
  if (connected_) return CZoError::Success();
  CZoError err = LearnMountPath();
  if (err.IsError()) return err;
  // A cached R that is still in place proves M is there too.
  if (!TakeCachedRoot()) {
    int fd = MountFd();
    if (fd < 0) return MountError(-fd);
  }
  connected_ = true;
  return CZoError::Success();
}

void ServedTree::Disconnect() {
  rootFd_.reset();
  mountFd_.reset();
  connected_ = false;
}

CZoError ServedTree::Locate(const std::string& path, Target& out) {
  CZoError err = Check(path, out);
  if (err.IsError()) return err;
  return Connect();
}

// The cache's descriptor when its path still names the same folder (statFlags for the
// stat of the path), else null.
std::shared_ptr<const UniqueFd> ServedTree::Cached(CachedFolder LocalTreeCache::*which, const std::string& path,
                                                   int statFlags) {
  if (!cache_) return nullptr;
  CachedFolder cached;
  {
    std::lock_guard<std::mutex> lock(cache_->mutex);
    cached = (*cache_).*which;
  }
  if (!cached.fd) return nullptr;
  if (PathStillNames(path, statFlags, cached.id)) return cached.fd;
  std::lock_guard<std::mutex> lock(cache_->mutex);
  CachedFolder& slot = (*cache_).*which;
  if (slot.fd == cached.fd) slot.fd.reset();
  return nullptr;
}

// Takes a freshly opened folder descriptor and offers it to the cache.
std::shared_ptr<const UniqueFd> ServedTree::Keep(CachedFolder LocalTreeCache::*which, int fd) {
  UniqueFd owner(fd);
  auto opened = std::make_shared<const UniqueFd>(std::move(owner));
  FolderId id;
  if (cache_ && IdOfFd(fd, id)) {
    std::lock_guard<std::mutex> lock(cache_->mutex);
    (*cache_).*which = CachedFolder{opened, id};
  }
  return opened;
}

int ServedTree::MountFd() {
  if (mountFd_) return mountFd_->get();
  // M may be a symbolic link to the disk's folder: the path is followed, as when opened.
  mountFd_ = Cached(&LocalTreeCache::mountFolder, mount_.text, 0);
  if (mountFd_) return mountFd_->get();
  int fd = OpenAtRetry(AT_FDCWD, mount_.text.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return fd;
  mountFd_ = Keep(&LocalTreeCache::mountFolder, fd);
  return fd;
}

bool ServedTree::TakeCachedRoot() {
  // R's last component is not followed: a link put in R's place is resolved afresh (and
  // refused when it leads out).
  rootFd_ = Cached(&LocalTreeCache::rootFolder, rootText_, AT_SYMLINK_NOFOLLOW);
  return rootFd_ != nullptr;
}

int ServedTree::RootFd() {
  if (rootFd_) return rootFd_->get();
  if (TakeCachedRoot()) return rootFd_->get();
  int m = MountFd();
  if (m < 0) return m;
  int fd = ResolveAt(m, JoinRange(rootComps_, mount_.depth, rootComps_.size()), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return fd;
  rootFd_ = Keep(&LocalTreeCache::rootFolder, fd);
  return fd;
}

int ServedTree::VolumeFd() {
  int fd = RootFd();
  return fd >= 0 ? fd : MountFd();
}

void ServedTree::DropCache() {
  if (cache_) {
    std::lock_guard<std::mutex> lock(cache_->mutex);
    cache_->mountFolder.fd.reset();
    cache_->rootFolder.fd.reset();
  }
  Disconnect();
}

int ServedTree::OpenPrefixOnce(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode) {
  const size_t rootDepth = rootComps_.size();
  if (count > rootDepth) {
    int root = RootFd();
    if (root < 0) return root;
    return ResolveAt(root, JoinRange(comps, rootDepth, count), flags, mode);
  }
  int m = MountFd();
  if (m < 0) return m;
  return ResolveAt(m, JoinRange(comps, mount_.depth, count), flags, mode);
}

int ServedTree::OpenPrefix(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode) {
  int fd = OpenPrefixOnce(comps, count, flags, mode);
  if (fd != -ESTALE) return fd;
  // A network file system lost the folder behind a descriptor: open everything afresh.
  DropCache();
  return OpenPrefixOnce(comps, count, flags, mode);
}

int ServedTree::Open(const Target& t, int flags, mode_t mode) {
  return OpenPrefix(t.comps, t.comps.size(), flags, mode);
}

int ServedTree::ResolveAt(int base, const std::string& rel, int flags, mode_t mode) {
  if (useOpenat2_) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(static_cast<unsigned int>(flags | O_CLOEXEC));
    how.mode = NeedsMode(flags) ? (mode & 07777) : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      long fd = ::syscall(SYS_openat2, base, rel.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      int e = errno;
      if (e == EINTR) continue;
      if (e == EAGAIN && attempt < 16) continue;  // a rename raced the lookup
      if (e == ENOSYS) {
        useOpenat2_ = false;
        break;
      }
      return e == EXDEV ? -EACCES : -e;  // EXDEV: the path would leave the tree
    }
  }
  return WalkAt(base, rel, flags, mode);
}

int ServedTree::WalkAt(int base, const std::string& rel, int flags, mode_t mode) {
  std::vector<std::string> comps;
  SplitAbsolute("/" + rel, comps);  // rel is made of checked components
  mode = NeedsMode(flags) ? (mode & 07777) : 0;
  if (comps.empty()) return OpenAtRetry(base, ".", flags, mode);
  UniqueFd cur;
  int dir = base;
  for (size_t i = 0; i + 1 < comps.size(); ++i) {
    int fd = OpenAtRetry(dir, comps[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW, 0);
    if (fd < 0) return (fd == -ELOOP || fd == -ENOTDIR) && IsSymlinkAt(dir, comps[i].c_str()) ? -EACCES : fd;
    cur.reset(fd);
    dir = fd;
  }
  const char* last = comps.back().c_str();
  int fd = OpenAtRetry(dir, last, flags | O_NOFOLLOW, mode);
  if ((fd == -ELOOP || fd == -ENOTDIR) && IsSymlinkAt(dir, last)) return -EACCES;
  return fd;
}

CZoError ServedTree::OpenParent(const Target& t, FolderRef& parent, std::string& name) {
  if (t.comps.size() <= mount_.depth) return Error(FX_LOC, EACCES, "The mount path itself cannot be changed", t.text);
  name = t.comps.back();
  // An entry directly in R: R's own descriptor serves, nothing is opened.
  if (t.comps.size() == rootComps_.size() + 1) {
    int fd = RootFd();
    if (fd == -ESTALE) {
      DropCache();
      fd = RootFd();
    }
    if (fd < 0) return Error(FX_LOC, -fd, "Cannot open the folder holding", t.text);
    parent.Share(rootFd_);
    return CZoError::Success();
  }
  int fd = OpenPrefix(t.comps, t.comps.size() - 1, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return Error(FX_LOC, -fd, "Cannot open the folder holding", t.text);
  parent.Own(fd);
  return CZoError::Success();
}

CZoError ServedTree::MakeFolders(const Target& t, bool withParents) {
  const size_t n = t.comps.size();
  // An existing entry: a folder is EEXIST, anything else ENOTDIR.
  auto existing = [&]() {
    UniqueFd probe(Open(t, O_PATH | O_DIRECTORY, 0));
    int e = probe.valid() ? EEXIST : ENOTDIR;
    return Error(FX_LOC, e, "Cannot create folder", t.text);
  };
  if (n == mount_.depth) return existing();

  size_t have = n - 1;  // components known to exist
  UniqueFd cur;
  if (!withParents) {
    int fd = OpenPrefix(t.comps, have, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return Error(FX_LOC, -fd, "Cannot open the folder holding", t.text);
    cur.reset(fd);
  } else {
    // The deepest existing folder on the way; M always exists.
    for (have = n;; --have) {
      int fd = OpenPrefix(t.comps, have, O_RDONLY | O_DIRECTORY, 0);
      if (fd >= 0) {
        if (have == n) {
          ::close(fd);
          return existing();
        }
        cur.reset(fd);
        break;
      }
      if (fd != -ENOENT || have == mount_.depth) {
        return Error(FX_LOC, -fd, "Cannot open folder", PathText(t.comps, have));
      }
    }
  }
  for (size_t i = have; i < n; ++i) {
    const char* name = t.comps[i].c_str();
    if (::mkdirat(cur.get(), name, 0750) != 0) {
      int e = errno;
      if (e != EEXIST) return Error(FX_LOC, e, "Cannot create folder", t.text);
      if (i + 1 == n) return existing();
    } else if (int e = SyncFolder(cur.get())) {
      return Error(FX_LOC, e, "Cannot sync the folder holding", PathText(t.comps, i + 1));
    }
    if (i + 1 == n) break;
    int fd = OpenAtRetry(cur.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
    if (fd < 0) return Error(FX_LOC, fd == -ELOOP ? EACCES : -fd, "Cannot open folder", PathText(t.comps, i + 1));
    cur.reset(fd);
  }
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
