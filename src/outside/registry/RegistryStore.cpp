#include "outside/registry/RegistryStore.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/AtomicFile.h"
#include "outside/util/DurableSync.h"
#include "outside/util/CZoFile.h"
#include "outside/util/FXPath.h"

namespace kxmp::registry {

namespace {

constexpr mode_t kKeyMode = 0750;
constexpr mode_t kValueMode = 0640;
// Deeper nesting than this is refused while deleting, so that a hostile tree cannot exhaust
// the stack.
constexpr int kMaxDeleteDepth = 128;
// A writer may add a value while a key is being deleted; the sweep is repeated this often.
constexpr int kDeleteSweeps = 8;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsTempName(const char* name) { return std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0; }

bool IsDotName(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

CZoError Errno(const FXCodeLocation& where, int e, const char* what, const std::string& name) {
  return FXErrorUtil::ErrorErrNo(where, e, "%s [%s]: %s", what, name.c_str(), std::strerror(e));
}

// A readdir stream over its own descriptor of the folder (the caller keeps fd for *at calls).
CZoError OpenStream(int fd, const std::string& key, DirStream& out) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Errno(FX_LOC, errno, "Failed to list registry key", key);
  out.reset(::fdopendir(copy));
  if (!out) {
    int e = errno;
    ::close(copy);
    return Errno(FX_LOC, e, "Failed to list registry key", key);
  }
  ::rewinddir(out.get());
  return CZoError::Success();
}

// Opens the sub folder `name`, never through a symbolic link. Returns 0 or an errno number
// (ELOOP for a link, ENOTDIR for a file).
int OpenFolderAt(int dirFd, const char* name, UniqueFd& out) {
  out.reset(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (out.valid()) return 0;
  int e = errno;
  struct stat st {};
  if (e == ENOTDIR && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) e = ELOOP;
  return e;
}

// Reads one value file into text. checkRegular also refuses anything but a regular file (for
// callers that did not learn the type from readdir). buffer is reused between values.
CZoError ReadValueAt(int dirFd, const char* name, bool checkRegular, std::string& buffer, std::string& text) {
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return Errno(FX_LOC, errno, "Failed to open registry value", name);
  if (checkRegular) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Errno(FX_LOC, errno, "Failed to stat registry value", name);
    if (!S_ISREG(st.st_mode)) return Errno(FX_LOC, S_ISDIR(st.st_mode) ? EISDIR : EINVAL,
                                           "Registry value is not a file", name);
  }
  // Most values are a few bytes: the first read goes to the stack, and only a value that fills
  // it gets the buffer of the largest size (growing a string to that size zeroes 16 pages).
  char first[4096];
  ssize_t got;
  do {
    got = ::read(fd.get(), first, sizeof first);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Errno(FX_LOC, errno, "Failed to read registry value", name);
  if (static_cast<size_t>(got) < sizeof first) {
    text.assign(first, static_cast<size_t>(got));
    return CZoError::Success();
  }
  buffer.resize(kMaxValueSize + 1);
  std::memcpy(&buffer[0], first, sizeof first);
  size_t used = sizeof first;
  while (used < buffer.size()) {
    ssize_t n = ::read(fd.get(), &buffer[used], buffer.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno(FX_LOC, errno, "Failed to read registry value", name);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
    // A regular file returns everything it has to one read; a short read is its end, which
    // saves the second read that would only say so.
    if (used < buffer.size()) break;
  }
  if (used > kMaxValueSize) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "Registry value [%s] is larger than %zu bytes", name,
                                   kMaxValueSize);
  }
  text.assign(buffer.data(), used);
  return CZoError::Success();
}

// Removes the folder `name` below parentFd with everything in it; links are removed, never
// followed. Returns 0 or an errno number.
int RemoveTree(int parentFd, const char* name, int depth) {
  if (depth > kMaxDeleteDepth) return ELOOP;
  UniqueFd fd;
  if (int e = OpenFolderAt(parentFd, name, fd)) return e;
  for (int sweep = 0; sweep < kDeleteSweeps; ++sweep) {
    DirStream dir;
    CZoError err = OpenStream(fd.get(), name, dir);
    if (err.IsError()) return FXErrorUtil::Number(err);
    errno = 0;
    while (struct dirent* e = ::readdir(dir.get())) {
      if (IsDotName(e->d_name)) continue;
      int r = 0;
      if (e->d_type == DT_DIR) {
        r = RemoveTree(fd.get(), e->d_name, depth + 1);
      } else if (::unlinkat(fd.get(), e->d_name, 0) != 0) {
        r = errno;
        if (r == EISDIR || r == EPERM) r = RemoveTree(fd.get(), e->d_name, depth + 1);
      }
      if (r != 0 && r != ENOENT) return r;
      errno = 0;
    }
    if (errno != 0) return errno;
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    if (errno != ENOTEMPTY && errno != EEXIST) return errno;
  }
  return ENOTEMPTY;
}

}  // namespace

RegistryStore::RegistryStore(std::string root) : root_(std::move(root)) {}

CZoError RegistryStore::ParseKey(const std::string& key, std::vector<std::string>& parts) {
  parts.clear();
  if (key.find('\0') != std::string::npos) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Registry key [%s] contains a NUL byte", key.c_str());
  }
  size_t i = 0;
  if (!key.empty() && key[0] == '~') {
    i = 1;
  } else if (!key.empty() && IsSeparator(key[0])) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Registry key [%s] is an absolute path", key.c_str());
  }
  while (i < key.size()) {
    size_t j = i;
    while (j < key.size() && !IsSeparator(key[j])) ++j;
    if (j > i) {
      std::string part = key.substr(i, j - i);
      if (part == "." || part == ".." || IsTempName(part.c_str())) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Registry key [%s] has a forbidden part [%s]", key.c_str(),
                                       part.c_str());
      }
      if (part.size() > NAME_MAX) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Registry key [%s] has a part longer than %d bytes",
                                       key.c_str(), NAME_MAX);
      }
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  return CZoError::Success();
}

CZoError RegistryStore::CheckValueName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || IsTempName(name.c_str()) ||
      name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid registry value name [%s]", name.c_str());
  }
  if (name.size() > NAME_MAX) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Registry value name [%s] is longer than %d bytes",
                                   name.c_str(), NAME_MAX);
  }
  return CZoError::Success();
}

CZoError RegistryStore::Expand(const std::string& key, std::string& path) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  path = root_;
  for (const std::string& part : parts) path = FXPath::Join(path, part);
  return CZoError::Success();
}

CZoError RegistryStore::OpenRoot(bool create, UniqueFd& out) const {
  out.reset(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out.valid() && errno == ENOENT && create) {
    CZoError err = CZoDirectory::Create(root_, true);
    if (err.IsError()) return err.Push(FX_LOC, "Failed to create the registry root");
    out.reset(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!out.valid()) return Errno(FX_LOC, errno, "Failed to open the registry root", root_);
  return CZoError::Success();
}

CZoError RegistryStore::OpenKey(const std::string& key, const std::vector<std::string>& parts, size_t count,
                                bool create, UniqueFd& out) const {
  UniqueFd cur;
  CZoError err = OpenRoot(create, cur);
  if (err.IsError()) return err.Push(FX_LOC);
  for (size_t i = 0; i < count; ++i) {
    const char* part = parts[i].c_str();
    if (create && ::mkdirat(cur.get(), part, kKeyMode) != 0 && errno != EEXIST) {
      return Errno(FX_LOC, errno, "Failed to create registry key", key);
    }
    // O_NOFOLLOW: a symbolic link inside the registry is never a way out of it.
    UniqueFd next;
    int e = OpenFolderAt(cur.get(), part, next);
    if (e != 0) return Errno(FX_LOC, e, "Failed to open registry key", key);
    cur = std::move(next);
  }
  out = std::move(cur);
  return CZoError::Success();
}

CZoError RegistryStore::ReadValues(const std::string& key, std::map<std::string, std::string>& values,
                                   std::set<std::string>* others) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  UniqueFd fd;
  err = OpenKey(key, parts, parts.size(), false, fd);
  if (err.IsError()) return err.Push(FX_LOC);
  DirStream dir;
  err = OpenStream(fd.get(), key, dir);
  if (err.IsError()) return err.Push(FX_LOC);

  std::map<std::string, std::string> found;
  std::set<std::string> notValues;
  std::string buffer;
  errno = 0;
  while (struct dirent* e = ::readdir(dir.get())) {
    const unsigned char type = e->d_type;
    if (IsDotName(e->d_name) || IsTempName(e->d_name)) continue;
    if (type != DT_REG && type != DT_UNKNOWN) {  // subkeys, links and special files
      if (others) notValues.insert(e->d_name);
      continue;
    }
    std::string text;
    err = ReadValueAt(fd.get(), e->d_name, type == DT_UNKNOWN, buffer, text);
    if (err.IsError()) {
      // Gone meanwhile (the key is being deleted) or not a value after all: not part of the key.
      if (FXErrorUtil::IsErrNo(err, ENOENT) || FXErrorUtil::IsErrNo(err, ELOOP) ||
          FXErrorUtil::IsErrNo(err, EISDIR) || FXErrorUtil::IsErrNo(err, EINVAL)) {
        if (others && !FXErrorUtil::IsErrNo(err, ENOENT)) notValues.insert(e->d_name);
        errno = 0;
        continue;
      }
      return err.Push(FX_LOC, "Failed to read registry key [%s]", key.c_str());
    }
    found[e->d_name] = std::move(text);
    errno = 0;
  }
  if (errno != 0) return Errno(FX_LOC, errno, "Failed to list registry key", key);
  for (auto& kv : found) values[kv.first] = std::move(kv.second);
  if (others) others->swap(notValues);
  return CZoError::Success();
}

CZoError RegistryStore::ReadValue(const std::string& key, const std::string& name, std::string& text) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  err = CheckValueName(name);
  if (err.IsError()) return err.Push(FX_LOC);
  UniqueFd fd;
  err = OpenKey(key, parts, parts.size(), false, fd);
  if (err.IsError()) return err.Push(FX_LOC);
  std::string buffer;
  err = ReadValueAt(fd.get(), name.c_str(), true, buffer, text);
  if (err.IsError()) return err.Push(FX_LOC, "Failed to read registry key [%s]", key.c_str());
  return CZoError::Success();
}

CZoError RegistryStore::CreateKey(const std::string& key) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  UniqueFd fd;
  err = OpenKey(key, parts, parts.size(), true, fd);
  if (err.IsError()) return err.Push(FX_LOC);
  return CZoError::Success();
}

CZoError RegistryStore::DeleteKey(const std::string& key) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  if (parts.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The registry root [%s] cannot be deleted", key.c_str());
  }
  UniqueFd parent;
  err = OpenKey(key, parts, parts.size() - 1, false, parent);
  if (err.IsError()) return err.Push(FX_LOC);
  int r = RemoveTree(parent.get(), parts.back().c_str(), 0);
  if (r != 0) return Errno(FX_LOC, r, "Failed to delete registry key", key);
  if (int e = SyncFolder(parent.get())) return Errno(FX_LOC, e, "Failed to sync registry key", key);
  return CZoError::Success();
}

CZoError RegistryStore::WriteValue(const std::string& key, const std::string& name, const std::string& text) const {
  std::vector<std::string> parts;
  CZoError err = ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  err = CheckValueName(name);
  if (err.IsError()) return err.Push(FX_LOC);
  if (text.size() > kMaxValueSize) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "Registry value [%s] of %zu bytes is larger than %zu bytes",
                                   name.c_str(), text.size(), kMaxValueSize);
  }
  UniqueFd dir;
  err = OpenKey(key, parts, parts.size(), true, dir);
  if (err.IsError()) return err.Push(FX_LOC);

  // The one local durable write: a temporary file (".tmp.<random>.<name>.tmp", which readers
  // skip), synced, renamed over the value, the key's folder synced.
  AtomicFile value;
  err = value.CreateAt(dir.get(), name, kValueMode);
  if (err.IsSuccess()) err = value.Write(text);
  if (err.IsSuccess()) err = value.Commit(AtomicFile::kReplace);
  if (err.IsError()) return err.Push(FX_LOC, "Failed to write registry value [%s] of key [%s]", name.c_str(), key.c_str());
  return CZoError::Success();
}

}  // namespace kxmp::registry
