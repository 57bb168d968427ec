#pragma once
// Rows of the control server's catalog ($KX_HOME/catalog.db), as the admin API and the
// readers hand them around.

#include <cstdint>
#include <string>

namespace kxmp::catalog {

// Kinds of an attachment of a mount path to a subclient.
constexpr int64_t kKindPrimary = 0;
constexpr int64_t kKindAlternate = -1;
// Not stored in subclient_mount_path: a mount path detached from the subclient, listed for
// reading (search, restore) until the mount path is removed or attached again.
constexpr int64_t kKindDetached = 1;

// A row of table subclient. Ids are stored as their 64-bit pattern (an id above 2^63 - 1
// reads back unchanged).
struct SubclientRecord {
  uint64_t id = 0;
  std::string guid;
  std::string backupsetGuid;  // empty when the subclient has no backup set GUID
};

// A row of table mount_path.
struct MountPathRecord {
  int64_t id = 0;
  std::string host;  // mangled storage host name
  std::string path;  // the mount path on the storage host
  std::string library;
};

// A row of table subclient_mount_path joined with its mount path.
struct AttachedMountPath {
  uint64_t subclientId = 0;
  MountPathRecord mountPath;
  int64_t kind = kKindPrimary;
  int64_t position = 0;
};

}  // namespace kxmp::catalog
