#pragma once
// A subclient's mount-point cache as a whole, for the callers that keep it in step with the
// catalog. The rule: entries 0..nFailoverNumber hold exactly the catalog's answer at the last
// refresh (entry 0 the primary, left empty when the catalog lists none; n the alternates in
// the catalog's order). Only a refresh rewrites them. What a mount, a backup or a failover
// records about the mount path it uses is nFailoverCurrent, the entry in use, so every mount
// path of the last answer stays reachable from the cache.

#include <cstdint>
#include <ctime>
#include <vector>

#include "kxmp/MountPathInfo.h"
#include "outside/catalog/ArMgrTypes.h"

namespace kxmp::driver {

// Win32 number of "the catalog lists no primary mount path for the subclient".
constexpr int kErrNoPrimary = 1168;

struct CachedMountPaths {
  bool present = false;               // the subclient's key exists
  std::vector<MountPathInfo> entries;  // entries[i].cacheIndex == i; entry 0 always there
  int32_t current = 0;                // nFailoverCurrent when it names an entry, else 0
  int64_t lastRefresh = 0;            // nLastRefreshTime, 0 never
  bool fresh = false;                 // refreshed less than CacheRefreshHour hours ago

  bool HasPrimary() const { return !entries.empty() && !entries[0].hostName.empty(); }
  // Refreshed, with alternates but no primary, and no alternate in use: the administrator
  // left the subclient without a primary.
  bool LacksPrimary() const;
  // Every non-empty entry in the order to try: the entry in use, the primary, the others.
  std::vector<MountPathInfo> InOrder() const;
};

// False when the key is missing or unreadable (out is then empty).
bool ReadCachedMountPaths(unsigned long subclientId, CachedMountPaths& out);

// The cache entries of a catalog answer: entry 0 the (last) primary or an empty record,
// then the alternates in answer order; malformed texts and other kinds are left out.
std::vector<MountPathInfo> CacheEntriesOf(const GetSubclientMountpathListRet_t& reply);

// Rewrites the subclient's cache with the entries of a catalog answer, refreshed at now,
// with the primary in use.
void WriteCatalogAnswer(unsigned long subclientId, const std::vector<MountPathInfo>& entries, time_t now);

}  // namespace kxmp::driver
