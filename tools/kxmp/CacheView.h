#pragma once
// What the registry caches for one subclient (the key "~Tessel/MAMountPoint/<id>"), read
// for people and scripts: the cached mount paths, the refresh time, the failover entries and
// the GUIDs.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "kxmp/MountPathInfo.h"

namespace kxmp::cli {

struct CacheView {
  uint64_t subclientId = 0;
  std::string guid;
  std::string backupsetGuid;
  int64_t lastRefreshTime = 0;  // seconds since 1970; 0 when never refreshed
  int64_t refreshHours = 8;     // CacheRefreshHour of the mount-point key
  int64_t failoverNumber = 0;   // alternates cached (entries 1..n)
  int64_t failoverCurrent = 0;  // the entry in use
  std::vector<MountPathInfo> entries;  // 0 the primary, n alternate n

  // False when nothing is cached for the subclient (no key).
  static bool Read(uint64_t subclientId, CacheView& view);
  // Fresh as the mount-point service judges it: strictly between the refresh time and the
  // refresh time plus the interval.
  bool IsFresh(time_t now) const;
  // Refreshed from a catalog that listed no primary, and no alternate in use: backups fail.
  bool LacksPrimary() const;
  Json ToJson(time_t now) const;
  std::string ToText(time_t now) const;
};

// UTC "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcText(int64_t seconds);

}  // namespace kxmp::cli
