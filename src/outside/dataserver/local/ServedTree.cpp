#include "outside/dataserver/local/ServedTree.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

// Splits an absolute path into components; "." and empty components vanish. Returns 0, or
// EACCES for a relative path or a ".." component, EINVAL for an embedded NUL.
int SplitAbsolute(const std::string& path, std::vector<std::string>& comps) {
  comps.clear();
  if (path.empty() || path[0] != '/') return EACCES;
  if (path.find('\0') != std::string::npos) return EINVAL;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      if (j - i == 2 && path[i] == '.' && path[i + 1] == '.') return EACCES;
      if (!(j - i == 1 && path[i] == '.')) comps.emplace_back(path, i, j - i);
    }
    i = j;
  }
  return 0;
}

bool IsPrefix(const std::vector<std::string>& prefix, const std::vector<std::string>& comps) {
  if (prefix.size() > comps.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (prefix[i] != comps[i]) return false;
  }
  return true;
}

// comps[from, to) joined with "/", or "." when empty.
std::string JoinRange(const std::vector<std::string>& comps, size_t from, size_t to) {
  if (from >= to) return ".";
  std::string out;
  for (size_t i = from; i < to; ++i) {
    if (i > from) out.push_back('/');
    out += comps[i];
  }
  return out;
}

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

// "/" + comps[0, count) joined, for messages.
std::string PathText(const std::vector<std::string>& comps, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out.push_back('/');
    out += comps[i];
  }
  return out.empty() ? "/" : out;
}

// fsync of a folder; file systems that cannot sync folders (EINVAL) are not an error.
int SyncFolder(int fd) { return (::fsync(fd) == 0 || errno == EINVAL) ? 0 : errno; }

}  // namespace

ServedTree::ServedTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                       ResolveMode mode)
    : rootText_(params.host.mountPath),
      host_(params.host.hostName),
      authority_(std::move(authority)),
      useOpenat2_(mode == ResolveMode::Auto) {
  rootCheck_ = SplitAbsolute(rootText_, rootComps_);
}

CZoError ServedTree::Error(const FXCodeLocation& where, int err, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "%s [%s]: %s", what, path.c_str(), std::strerror(err));
}

CZoError ServedTree::Connect() {
  if (connected_) return CZoError::Success();
  if (rootCheck_ != 0) return Error(FX_LOC, EACCES, "The served tree is not an absolute path", rootText_);
  if (!authority_) return Error(FX_LOC, EACCES, "No mount path authority for the served tree", rootText_);
  std::vector<std::string> listed;
  CZoError err = authority_->MountPathsOf(host_, listed);
  if (err.IsError()) {
    return err.Push(FX_LOC, "Cannot learn the mount paths of storage host [%s]", host_.c_str());
  }
  // The deepest listed mount path that holds R.
  std::vector<std::string> comps;
  const std::string* best = nullptr;
  size_t bestDepth = 0;
  for (const std::string& m : listed) {
    if (SplitAbsolute(m, comps) != 0 || !IsPrefix(comps, rootComps_)) continue;
    if (best == nullptr || comps.size() > bestDepth) {
      best = &m;
      bestDepth = comps.size();
    }
  }
  if (best == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "[%s] lies below no mount path of storage host [%s]",
                                   rootText_.c_str(), host_.c_str());
  }
  int fd = OpenAtRetry(AT_FDCWD, best->c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) {
    int e = -fd;
    if (e == ENOENT || e == ENOTDIR) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Mount path [%s] of storage host [%s] is not present",
                                     best->c_str(), host_.c_str());
    }
    return Error(FX_LOC, e, "Cannot open mount path", *best);
  }
  mountFd_.reset(fd);
  mountText_ = *best;
  mountDepth_ = bestDepth;
  connected_ = true;
  return CZoError::Success();
}

void ServedTree::Disconnect() {
  rootFd_.reset();
  mountFd_.reset();
  connected_ = false;
}

CZoError ServedTree::Locate(const std::string& path, Target& out) {
  out.text = path;
  int e = SplitAbsolute(path, out.comps);
  if (e == EINVAL) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Path holds a NUL character");
  if (e != 0) return Error(FX_LOC, EACCES, "Refused path: not absolute or with a '..' component", path);
  if (rootCheck_ != 0) return Error(FX_LOC, EACCES, "The served tree is not an absolute path", rootText_);
  if (!IsPrefix(rootComps_, out.comps)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refused path [%s]: outside the served tree [%s]", path.c_str(),
                                   rootText_.c_str());
  }
  return Connect();
}

int ServedTree::RootFd() {
  if (rootFd_.valid()) return rootFd_.get();
  int fd = ResolveAt(mountFd_.get(), JoinRange(rootComps_, mountDepth_, rootComps_.size()), O_RDONLY | O_DIRECTORY, 0);
  if (fd >= 0) rootFd_.reset(fd);
  return fd;
}

int ServedTree::VolumeFd() {
  int fd = RootFd();
  return fd >= 0 ? fd : mountFd_.get();
}

int ServedTree::OpenPrefix(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode) {
  const size_t rootDepth = rootComps_.size();
  if (count > rootDepth) {
    int root = RootFd();
    if (root < 0) return root;
    return ResolveAt(root, JoinRange(comps, rootDepth, count), flags, mode);
  }
  return ResolveAt(mountFd_.get(), JoinRange(comps, mountDepth_, count), flags, mode);
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

CZoError ServedTree::OpenParent(const Target& t, UniqueFd& parent, std::string& name) {
  if (t.comps.size() <= mountDepth_) return Error(FX_LOC, EACCES, "The mount path itself cannot be changed", t.text);
  int fd = OpenPrefix(t.comps, t.comps.size() - 1, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return Error(FX_LOC, -fd, "Cannot open the folder holding", t.text);
  parent.reset(fd);
  name = t.comps.back();
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
  if (n == mountDepth_) return existing();

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
      if (fd != -ENOENT || have == mountDepth_) {
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
