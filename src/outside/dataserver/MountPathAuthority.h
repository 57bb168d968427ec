#pragma once
// Which mount paths a storage host has: the data server serves a path only below one of
// them, and never creates a mount path itself.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

// What a data server asks about: the storage host, the tree it is to serve and, when a
// context of a subclient serves it, the subclient.
struct MountPathQuery {
  std::string host;
  std::string root;
  uint64_t subclientId = 0;
};

class KXMP_EXPORT MountPathAuthority {
 public:
  virtual ~MountPathAuthority();
  // The mount paths listed for the storage host (mangled name). An unknown host is an empty
  // list, not an error; an error means the answer could not be had.
  virtual CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) = 0;
  // The mount paths that may hold the query's tree; by default those of MountPathsOf.
  virtual CZoError MountPathsFor(const MountPathQuery& query, std::vector<std::string>& paths);
};

// Asks the control server's catalog store (the configured catalog, or the given SQLite file)
// for table mount_path (host, path), read-only, per lookup; a missing catalog lists nothing.
// For a subclient's tree the subclient's registry cache answers first: a mount path cached
// for it on that host that holds the tree is listed without asking the catalog, so backups
// go on while the catalog cannot be reached and a fresh cache costs no catalog connection.
// The cache holds only what the catalog answered at its last refresh.
class KXMP_EXPORT CatalogMountPathAuthority : public MountPathAuthority {
 public:
  explicit CatalogMountPathAuthority(std::string catalogPath = std::string());
  CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) override;
  CZoError MountPathsFor(const MountPathQuery& query, std::vector<std::string>& paths) override;

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
