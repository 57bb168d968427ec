#pragma once
// The confinement of one data-server object. The served tree R is the mount-path field of
// CFSHost; it must lie below a mount path M that the authority lists for the storage host
// (component-wise: /srv/mp1x is not below /srv/mp1). Every path of an operation is checked
// lexically (absolute, no "..", at or below R) and then resolved relative to a descriptor
// of M or R so that symbolic links cannot lead out: openat2 with RESOLVE_BENEATH, or, where
// the kernel lacks it, a component walk that refuses every symbolic link.
//
// Paths at or above R resolve beneath M (R is created below M when missing); paths below R
// resolve beneath R. M itself must exist: a missing M (a disk that is not mounted) fails
// every operation with ENODEV, and M is never created, moved or removed.
//
// The authority's answer and the descriptors are cached for the life of the object
// (objects are made per operation or per open file).

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/CFSInitParams.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::dataserver {

enum class ResolveMode {
  Auto,           // openat2 + RESOLVE_BENEATH, the component walk where it is missing
  ComponentWalk,  // always the component walk (no symbolic link is followed)
};

class ServedTree {
 public:
  // A checked path: its components from "/".
  struct Target {
    std::string text;
    std::vector<std::string> comps;
  };

  ServedTree(const CFSInitParams& params, std::shared_ptr<MountPathAuthority> authority, ResolveMode mode);

  // Finds M and opens it (once).
  CZoError Connect();
  void Disconnect();

  // Checks a path of an operation and connects.
  CZoError Locate(const std::string& path, Target& out);

  // The target itself, opened with open(2) flags: a descriptor, or -errno.
  int Open(const Target& t, int flags, mode_t mode);
  // The folder holding the target, opened for reading, and the target's last component.
  CZoError OpenParent(const Target& t, UniqueFd& parent, std::string& name);
  // Creates the target folder (and with withParents its missing parents, also those
  // between M and R), syncing each folder that received an entry.
  CZoError MakeFolders(const Target& t, bool withParents);

  bool IsMountPath(const Target& t) const { return t.comps.size() == mountDepth_; }
  int MountFd() const { return mountFd_.get(); }
  // R when it exists, else M (for volume sizes).
  int VolumeFd();
  const std::string& RootText() const { return rootText_; }

  // An errno-kind error naming the path.
  static CZoError Error(const FXCodeLocation& where, int err, const char* what, const std::string& path);

 private:
  int RootFd();
  int OpenPrefix(const std::vector<std::string>& comps, size_t count, int flags, mode_t mode);
  int ResolveAt(int base, const std::string& rel, int flags, mode_t mode);
  int WalkAt(int base, const std::string& rel, int flags, mode_t mode);

  std::string rootText_;
  std::string host_;
  std::vector<std::string> rootComps_;
  int rootCheck_ = 0;  // errno of the lexical check of R, 0 when R is usable
  std::shared_ptr<MountPathAuthority> authority_;
  bool useOpenat2_;

  bool connected_ = false;
  size_t mountDepth_ = 0;
  std::string mountText_;
  UniqueFd mountFd_;
  UniqueFd rootFd_;
};

}  // namespace kxmp::dataserver
