#pragma once
// The descriptor half of confining a local data-server object (the lexical half is
// ServedPath). Checked paths are resolved relative to a descriptor of the mount path M or the
// served tree R so that symbolic links cannot lead out: openat2 with RESOLVE_BENEATH, or,
// where the kernel lacks it, a component walk that refuses every symbolic link.
//
// Paths at or above R resolve beneath M (R is created below M when missing); paths below R
// resolve beneath R. M itself must exist: a missing M (a disk that is not mounted) fails
// every operation with ENODEV, and M is never created, moved or removed.
//
// An object made for a live data-server context shares a LocalTreeCache with every other
// object of that context: the authority's answer (asked once per context) and the opened
// descriptors of M and R. Before an object first uses a cached descriptor it checks that the
// path still names the same folder (device and inode by stat; R's last component is not
// followed); a folder removed or replaced meanwhile is dropped from the cache and resolved
// afresh, and an operation that meets ESTALE drops the cache and runs once more. Objects made
// without a context ask the authority and open M and R themselves.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/ServedPath.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::dataserver {

enum class ResolveMode {
  Auto,           // openat2 + RESOLVE_BENEATH, the component walk where it is missing
  ComponentWalk,  // always the component walk (no symbolic link is followed)
};

struct LocalTreeCache;  // per-context state of the local backend (ServedTree.cpp)
struct CachedFolder;

// A folder descriptor: the object's own, or a descriptor of the context's cache that stays
// open as long as it is held.
class FolderRef {
 public:
  int get() const { return shared_ ? shared_->get() : own_.get(); }
  void Own(int fd) {
    shared_.reset();
    own_.reset(fd);
  }
  void Share(std::shared_ptr<const UniqueFd> fd) {
    own_.reset();
    shared_ = std::move(fd);
  }
  // Whether both name the same shared descriptor (and so the same folder).
  bool SameShared(const FolderRef& other) const { return shared_ && shared_ == other.shared_; }

 private:
  UniqueFd own_;
  std::shared_ptr<const UniqueFd> shared_;
};

class ServedTree : public ServedPath {
 public:
  // cache: the context's cache, or null for an object made without a context.
  ServedTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority, ResolveMode mode,
             std::shared_ptr<LocalTreeCache> cache);
  ~ServedTree();

  // The piece of a context's state the local backend keeps (owner: the backend's token).
  static std::shared_ptr<LocalTreeCache> CacheOf(const CFSInitParams& params, const std::shared_ptr<const void>& owner);

  // Finds M (once) and makes sure it, or a still valid R, is open.
  CZoError Connect();
  void Disconnect();

  // Checks a path of an operation and connects.
  CZoError Locate(const std::string& path, Target& out);

  // The target itself, opened with open(2) flags: a descriptor, or -errno.
  int Open(const Target& t, int flags, mode_t mode);
  // The folder holding the target and the target's last component.
  CZoError OpenParent(const Target& t, FolderRef& parent, std::string& name);
  // Creates the target folder (and with withParents its missing parents, also those
  // between M and R), syncing each folder that received an entry.
  CZoError MakeFolders(const Target& t, bool withParents);

  bool IsMountPath(const Target& t) const { return t.comps.size() == mount_.depth; }
  // M's descriptor, or -errno.
  int MountFd();
  // R when it exists, else M (for volume sizes); -errno when neither opens.
  int VolumeFd();

 private:
  CZoError LearnMountPath();
  CZoError MountError(int err) const;
  std::shared_ptr<const UniqueFd> Cached(CachedFolder LocalTreeCache::*which, const std::string& path, int statFlags);
  std::shared_ptr<const UniqueFd> Keep(CachedFolder LocalTreeCache::*which, int fd);
  bool TakeCachedRoot();
  int RootFd();
  int OpenPrefix(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode);
  int OpenPrefixOnce(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode);
  void DropCache();
  int ResolveAt(int base, const std::string& rel, int flags, mode_t mode);
  int WalkAt(int base, const std::string& rel, int flags, mode_t mode);

  std::shared_ptr<MountPathAuthority> authority_;
  bool useOpenat2_;
  std::shared_ptr<LocalTreeCache> cache_;

  bool located_ = false;  // mount_ is known
  bool connected_ = false;
  MountPathChoice mount_;
  std::shared_ptr<const UniqueFd> mountFd_;
  std::shared_ptr<const UniqueFd> rootFd_;
};

}  // namespace kxmp::dataserver
