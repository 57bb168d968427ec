#pragma once
// One mount path of a storage host as it travels through the system (archive manager reply,
// registry cache, mount requests, failover). A plain value type.

#include <cstdint>
#include <string>

struct MountPathInfo {
  // The archive manager's id of the mount path (cut to 32 bits wherever it is cached or
  // handed on as int).
  int64_t mountPathId = 0;
  // The path on the storage host.
  std::string mountPath;
  // The storage host's name, mangled (HOST*SECOND*N1*N2).
  std::string hostName;
  // Position in the registry cache: 0 for the primary entry, n for alternate entry n.
  int32_t cacheIndex = 0;
};
