#pragma once
// The archive manager's request and reply records for "which mount paths serve this
// subclient". Plain records with value semantics; fields keep the order callers rely on.

#include <cstdint>
#include <string>
#include <vector>

// The request. Callers zero the whole record before they set the fields.
struct GetSubclientMountpathListArgs_t {
  uint64_t subclientId = 0;
  // Always 1: the reply carries the mount path details (host, path, kind).
  uint8_t withDetails = 0;
  // 1 when the caller wants a path to write to (one path at a time is tried).
  uint8_t forWrite = 0;
  // 1 when the caller wants every path to read from or mount.
  uint8_t forRead = 0;
  // Reserved, always 0.
  uint64_t reserved = 0;
};

// One mount path of the reply.
struct MountpathInfo_t {
  int64_t mountPathId = 0;
  // "library|[path]|id": the path sits between the first and the last "|", with one
  // character ("[" and "]") between each "|" and the path.
  std::string rawMountPath;
  // 0 the primary mount path, -1 an alternate.
  int64_t kind = 0;
  // The entry's position in the subclient's list (the list is already in this order).
  int64_t position = 0;
  // The mangled host name of the storage host.
  std::string hostNameMangled;
};

// The reply.
struct GetSubclientMountpathListRet_t {
  // The subclient the list belongs to (an echo of the request).
  uint64_t subclientId = 0;
  std::vector<MountpathInfo_t> mountPaths;
};
