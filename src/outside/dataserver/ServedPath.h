#pragma once
// The lexical half of confining a data-server object, the same for every backend. The served
// tree R is the mount-path field of CFSHost; it must lie below a mount path M that the
// authority lists for the storage host (component-wise: /srv/mp1x is not below /srv/mp1; the
// deepest listed M wins). Every path of an operation must be absolute, without a ".."
// component and at or below R. Backends then resolve the checked components on their storage
// so that links cannot lead out.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInitParams.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

// The error number (Win32 kind) of an operation whose mount paths could not be learned (the
// catalog could not be asked): no failure of the storage host.
constexpr int kMountPathsUnknown = 1359;

// The mount path that holds a served tree: its text as listed and its number of components.
struct MountPathChoice {
  std::string text;
  size_t depth = 0;
};

// The authority's answer kept for the objects of one data-server context (in its state).
struct SharedMountPath {
  std::mutex mutex;
  bool located = false;
  MountPathChoice mount;
};

// Exported for the SFTP module (libkxmp-sftp.so) only: not part of the installed API.
class KXMP_EXPORT ServedPath {
 public:
  // A checked path: its components from "/".
  struct Target {
    std::string text;
    std::vector<std::string> comps;
  };

  explicit ServedPath(const CFSInitParams& params);

  // Checks a path of an operation (absolute, no "..", at or below R); EACCES otherwise, EINVAL
  // for an embedded NUL.
  CZoError Check(const std::string& path, Target& out) const;
  // Asks the authority for the storage host's mount paths and picks the deepest that holds R.
  // EACCES when R is not absolute or lies below none of them; Win32 kMountPathsUnknown when
  // the authority could not answer.
  CZoError FindMountPath(MountPathAuthority* authority, MountPathChoice& out) const;
  // The same through shared when there is one: asked under its lock, so once per context
  // however many objects start at once; a failure is not kept (the next operation asks again).
  CZoError FindMountPath(MountPathAuthority* authority, SharedMountPath* shared, MountPathChoice& out) const;

  const std::string& Host() const { return host_; }
  const std::string& RootText() const { return rootText_; }
  const std::vector<std::string>& RootComps() const { return rootComps_; }

  // Splits an absolute path into components; "." and empty components vanish. Returns 0, or
  // EACCES for a relative path or a ".." component, EINVAL for an embedded NUL.
  static int SplitAbsolute(const std::string& path, std::vector<std::string>& comps);
  // comps[from, to) joined with "/", or "." when empty.
  static std::string JoinRange(const std::vector<std::string>& comps, size_t from, size_t to);
  // "/" + comps[0, count) joined, for messages.
  static std::string PathText(const std::vector<std::string>& comps, size_t count);
  // An errno-kind error naming the path.
  static CZoError Error(const FXCodeLocation& where, int err, const char* what, const std::string& path);

 protected:
  CZoError RootCheckError(const FXCodeLocation& where) const;

  std::string rootText_;
  std::string host_;
  uint64_t subclientId_ = 0;
  std::vector<std::string> rootComps_;
  int rootCheck_ = 0;  // errno of the lexical check of R, 0 when R is usable
};

}  // namespace kxmp::dataserver
