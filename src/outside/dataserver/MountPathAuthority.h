#pragma once
// Which mount paths a storage host has: the data server serves a path only below one of
// them, and never creates a mount path itself.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

class KXMP_EXPORT MountPathAuthority {
 public:
  virtual ~MountPathAuthority();
  // The mount paths listed for the storage host (mangled name). An unknown host is an empty
  // list, not an error; an error means the answer could not be had.
  virtual CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) = 0;
};

// Asks the control server's catalog store (the configured catalog, or the given SQLite file)
// for table mount_path (host, path), read-only, per lookup; a missing catalog lists nothing.
class KXMP_EXPORT CatalogMountPathAuthority : public MountPathAuthority {
 public:
  explicit CatalogMountPathAuthority(std::string catalogPath = std::string());
  CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) override;

 private:
  std::string catalogPath_;  // empty: the configured catalog at lookup time
};

// A fixed answer, for tools and tests.
class KXMP_EXPORT FixedMountPathAuthority : public MountPathAuthority {
 public:
  void Add(const std::string& host, const std::string& path);
  CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) override;

 private:
  std::mutex mutex_;
  std::multimap<std::string, std::string> paths_;
};

}  // namespace kxmp::dataserver
