#include "outside/dataserver/local/LocalFSInterface.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "outside/dataserver/local/FolderWalk.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/DurableSync.h"

namespace kxmp::dataserver {

namespace {

// Opens the target folder for reading its entries.
CZoError OpenFolder(ServedTree& tree, const ServedTree::Target& t, DirPtr& dir) {
  int fd = tree.Open(t, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return ServedTree::Error(FX_LOC, -fd, "Cannot open folder", t.text);
  dir.reset(::fdopendir(fd));
  if (!dir) {
    int e = errno;
    ::close(fd);
    return ServedTree::Error(FX_LOC, e, "Cannot read folder", t.text);
  }
  return CZoError::Success();
}

CZoError NotSupported(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorErrNo(where, ENOSYS, "Operation not supported by the data server");
}

}  // namespace

LocalFSInterface::LocalFSInterface(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority,
                                   ResolveMode mode, std::shared_ptr<LocalTreeCache> cache)
    : tree_(params, std::move(authority), mode, std::move(cache)) {}

CZoError LocalFSInterface::Connect() { return tree_.Connect(); }

CZoError LocalFSInterface::Disconnect() {
  tree_.Disconnect();
  return CZoError::Success();
}

CZoError LocalFSInterface::Exists(std::string path, bool& exists) {
  exists = false;
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  int fd = tree_.Open(t, O_PATH, 0);
  if (fd >= 0) {
    ::close(fd);
    exists = true;
  } else if (fd != -ENOENT && fd != -ENOTDIR) {
    return ServedTree::Error(FX_LOC, -fd, "Cannot check", path);
  }
  return CZoError::Success();
}

CZoError LocalFSInterface::CreateFolder(std::string path, int flag) {
  if (flag != 0 && flag != 1) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown CreateFolder flag %d", flag);
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  return tree_.MakeFolders(t, flag == 1);
}

CZoError LocalFSInterface::GetVolumeSize(const char* path, unsigned long long* total, unsigned long long* free) {
  if (total) *total = 0;
  if (free) *free = 0;
  UniqueFd owned;
  int fd;
  std::string shown = path ? path : "";
  if (shown.empty()) {
    CZoError err = tree_.Connect();
    if (err.IsError()) return err;
    fd = tree_.VolumeFd();
    shown = tree_.RootText();
    if (fd < 0) return ServedTree::Error(FX_LOC, -fd, "Cannot open", shown);
  } else {
    ServedTree::Target t;
    CZoError err = tree_.Locate(shown, t);
    if (err.IsError()) return err;
    owned.reset(tree_.Open(t, O_PATH, 0));
    if (!owned.valid()) return ServedTree::Error(FX_LOC, -owned.release(), "Cannot open", shown);
    fd = owned.get();
  }
  struct statvfs vfs {};
  if (::fstatvfs(fd, &vfs) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot read the volume size of", shown);
  unsigned long long unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (total) *total = static_cast<unsigned long long>(vfs.f_blocks) * unit;
  if (free) *free = static_cast<unsigned long long>(vfs.f_bavail) * unit;
  return CZoError::Success();
}

CZoError LocalFSInterface::Lstat(std::string path, SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  if (tree_.IsMountPath(t)) {
    int m = tree_.MountFd();
    if (m < 0) return ServedTree::Error(FX_LOC, -m, "Cannot stat", path);
    if (::fstat(m, &st) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot stat", path);
    return CZoError::Success();
  }
  FolderRef parent;
  std::string name;
  err = tree_.OpenParent(t, parent, name);
  if (err.IsError()) return err;
  if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return ServedTree::Error(FX_LOC, errno, "Cannot stat", path);
  }
  return CZoError::Success();
}

CZoError LocalFSInterface::Stat(std::string path, SZoFileStat& st) {
  std::memset(&st, 0, sizeof st);
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  UniqueFd fd(tree_.Open(t, O_PATH, 0));
  if (!fd.valid()) return ServedTree::Error(FX_LOC, -fd.release(), "Cannot stat", path);
  if (::fstat(fd.get(), &st) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot stat", path);
  return CZoError::Success();
}

CZoError LocalFSInterface::Reserved10() { return NotSupported(FX_LOC); }
CZoError LocalFSInterface::Reserved16() { return NotSupported(FX_LOC); }
CZoError LocalFSInterface::Reserved17() { return NotSupported(FX_LOC); }
CZoError LocalFSInterface::Reserved18() { return NotSupported(FX_LOC); }

CZoError LocalFSInterface::Remove(const std::string& path, int flag, int unlinkFlags) {
  if (flag != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown remove flag %d", flag);
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  FolderRef parent;
  std::string name;
  err = tree_.OpenParent(t, parent, name);
  if (err.IsError()) return err;
  if (::unlinkat(parent.get(), name.c_str(), unlinkFlags) != 0) {
    return ServedTree::Error(FX_LOC, errno, "Cannot remove", path);
  }
  return CZoError::Success();
}

CZoError LocalFSInterface::RemoveFile(std::string path, int flag) { return Remove(path, flag, 0); }

CZoError LocalFSInterface::RemoveFolder(std::string path, int flag) { return Remove(path, flag, AT_REMOVEDIR); }

CZoError LocalFSInterface::GetDirContents(std::string path, std::vector<std::string>& files,
                                          std::vector<std::string>& folders) {
  files.clear();
  folders.clear();
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  DirPtr dir;
  err = OpenFolder(tree_, t, dir);
  if (err.IsError()) return err;
  for (;;) {
    errno = 0;
    struct dirent* de = ::readdir(dir.get());
    if (de == nullptr) {
      if (errno != 0) return ServedTree::Error(FX_LOC, errno, "Cannot read folder", path);
      break;
    }
    if (IsDotOrDotDot(de->d_name)) continue;
    int isFolder = EntryIsFolder(::dirfd(dir.get()), de);
    if (isFolder < 0) continue;  // removed meanwhile
    (isFolder ? folders : files).emplace_back(de->d_name);
  }
  return CZoError::Success();
}

CZoError LocalFSInterface::WalkDir(std::string path, void* context, int level, bool filesOnly, WalkerFunc cb,
                                   int /*reserved*/) {
  if (cb == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "WalkDir needs a callback");
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  // A bounded number of descriptors however deep the tree (local/FolderWalk.h).
  UniqueFd top(tree_.Open(t, O_RDONLY | O_DIRECTORY, 0));
  if (!top.valid()) return ServedTree::Error(FX_LOC, -top.release(), "Cannot open folder", t.text);
  return WalkFolderTree(std::move(top), path, level, filesOnly, cb, context);
}

CZoError LocalFSInterface::Chmod(std::string path, int mode) {
  ServedTree::Target t;
  CZoError err = tree_.Locate(path, t);
  if (err.IsError()) return err;
  UniqueFd fd(tree_.Open(t, O_PATH, 0));
  if (!fd.valid()) return ServedTree::Error(FX_LOC, -fd.release(), "Cannot open", path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot stat", path);
  if (S_ISLNK(st.st_mode)) return ServedTree::Error(FX_LOC, EACCES, "Refused to change a symbolic link", path);
  // The descriptor pins the resolved entry; chmod through its /proc name cannot be
  // redirected by a rename in between.
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd.get());
  mode_t bits = static_cast<mode_t>(mode) & 07777;
  if (::chmod(proc, bits) == 0) return CZoError::Success();
  int e = errno;
  if (e != ENOENT) return ServedTree::Error(FX_LOC, e, "Cannot change the mode of", path);
  // No /proc: change it through a readable descriptor.
  UniqueFd rd(tree_.Open(t, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0));
  if (!rd.valid()) return ServedTree::Error(FX_LOC, -rd.release(), "Cannot open", path);
  if (::fchmod(rd.get(), bits) != 0) return ServedTree::Error(FX_LOC, errno, "Cannot change the mode of", path);
  return CZoError::Success();
}

CZoError LocalFSInterface::Move(std::string from, std::string to, int flag) {
  if (flag != 0 && flag != 1) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown Move flag %d", flag);
  ServedTree::Target src, dst;
  CZoError err = tree_.Locate(from, src);
  if (err.IsError()) return err;
  err = tree_.Locate(to, dst);
  if (err.IsError()) return err;
  FolderRef srcParent, dstParent;
  std::string srcName, dstName;
  err = tree_.OpenParent(src, srcParent, srcName);
  if (err.IsError()) return err;
  err = tree_.OpenParent(dst, dstParent, dstName);
  if (err.IsError()) return err;
  int rc = flag == 1 ? ::renameat2(srcParent.get(), srcName.c_str(), dstParent.get(), dstName.c_str(), RENAME_NOREPLACE)
                     : ::renameat(srcParent.get(), srcName.c_str(), dstParent.get(), dstName.c_str());
  if (rc != 0 && flag == 1 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without the flag: a hard link fails just as atomically on an existing name.
    rc = ::linkat(srcParent.get(), srcName.c_str(), dstParent.get(), dstName.c_str(), 0);
    if (rc == 0 && ::unlinkat(srcParent.get(), srcName.c_str(), 0) != 0) {
      int e = errno;
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Moved [%s] to [%s] by a link, but cannot remove the old name: %s",
                                     from.c_str(), to.c_str(), std::strerror(e));
    }
  }
  if (rc != 0) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot move [%s] to [%s]: %s", from.c_str(), to.c_str(),
                                   std::strerror(e));
  }
  // The new name and the removal of the old one must both reach the disk.
  if (int e = SyncFolder(dstParent.get())) return ServedTree::Error(FX_LOC, e, "Moved, but cannot sync the folder of", to);
  struct stat a {}, b {};
  bool sameFolder = srcParent.SameShared(dstParent) ||
                    (::fstat(srcParent.get(), &a) == 0 && ::fstat(dstParent.get(), &b) == 0 && a.st_dev == b.st_dev &&
                     a.st_ino == b.st_ino);
  if (!sameFolder) {
    if (int e = SyncFolder(srcParent.get())) {
      return ServedTree::Error(FX_LOC, e, "Moved, but cannot sync the folder of", from);
    }
  }
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
