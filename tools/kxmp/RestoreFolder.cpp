#include "RestoreFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"
#include "outside/util/DurableSync.h"

namespace kxmp::cli {
namespace {

constexpr mode_t kFolderMode = 0750;

// The components of a stored path; false when one of them could lead out of the folder.
bool SplitComponents(const std::string& relative, std::vector<std::string>& parts) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    std::string part = relative.substr(start, slash - start);
    start = slash + 1;
    if (part.empty()) continue;  // a leading "/" or a doubled one
    if (part == "." || part == ".." || part.find('\0') != std::string::npos) return false;
    parts.push_back(std::move(part));
  }
  return !parts.empty();
}

}  // namespace

CZoError RestoreFolder::Open(const std::string& path, bool create) {
  path_ = path;
  if (create) {
    CZoError err = CZoDirectory::Create(path, true);
    if (err.IsError()) return err;
  }
  root_.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_.valid() && !create && errno == ENOENT) return CZoError::Success();
  if (!root_.valid()) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot open the folder [%s]: %s", path.c_str(), std::strerror(e));
  }
  return CZoError::Success();
}

CZoError RestoreFolder::Place(const std::string& relative, UniqueFd& folder, std::string& name, bool create) const {
  std::vector<std::string> parts;
  if (!SplitComponents(relative, parts)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "The stored name [%s] would lead outside [%s]", relative.c_str(),
                                   path_.c_str());
  }
  name = parts.back();
  parts.pop_back();
  folder.reset();
  if (!create && !root_.valid()) return CZoError::Success();
  folder.reset(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
  if (!folder.valid()) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot use the folder [%s]: %s", path_.c_str(), std::strerror(e));
  }
  for (const std::string& part : parts) {
    if (!create && ::faccessat(folder.get(), part.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
      folder.reset();
      return CZoError::Success();
    }
    const bool created = create && ::mkdirat(folder.get(), part.c_str(), kFolderMode) == 0;
    if (create && !created && errno != EEXIST) {
      const int e = errno;
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot create the folder [%s] of [%s] in [%s]: %s", part.c_str(),
                                     relative.c_str(), path_.c_str(), std::strerror(e));
    }
    // The new folder's entry is made durable with the file's rename later only if its
    // parent is synced too.
    if (int e = created ? kxmp::SyncFolder(folder.get()) : 0) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot sync the folder of [%s] in [%s]: %s", part.c_str(),
                                     path_.c_str(), std::strerror(e));
    }
    UniqueFd next(::openat(folder.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      const int e = errno;
      // ELOOP or ENOTDIR: a link or a file where a folder should be; it is never followed.
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot open the folder [%s] of [%s] in [%s] (links are not followed): %s",
                                     part.c_str(), relative.c_str(), path_.c_str(), std::strerror(e));
    }
    folder = std::move(next);
  }
  return CZoError::Success();
}

}  // namespace kxmp::cli
