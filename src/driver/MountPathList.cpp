// A subclient's mount paths: from the archive manager while the control server is online and
// the cached list is stale or not wanted, else from the registry cache, which a fresh answer
// refills. Also decides the order in which the paths are to be tried.

#include <cstddef>
#include <ctime>
#include <exception>
#include <map>
#include <new>

#include "driver/DriverLocation.h"
#include "driver/RegistryNumber.h"
#include "driver/SubclientCache.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/RegistryNames.h"
#include "outside/catalog/ArMgrClientAPI.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/event/EvEvent.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPI.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/Endian.h"
#include "outside/util/FXString.h"

namespace {

constexpr int kDefaultRefreshHours = 8;
constexpr unsigned int kEventCatalog = 0x31F8390E;
constexpr unsigned int kNoUsableMountPathEvent = 0x4A000574;
constexpr int kErrNoLibraryPathForSubclient = 4306;
constexpr int kErrNoLibraryPath = 1359;
constexpr int kErrNoMountPathReady = 50;
constexpr int kErrNoMemory = 14;

// Returned when memory runs out; built at load so that returning it allocates nothing.
const CZoError kOutOfMemory(FXErrorUtil::Win32Code(kErrNoMemory),
                            FXCodeLocation("AbstractMountingPointDriver.cpp",
                                           "AbstractMountingPointDriver::GetSubclientMountpathList", 0),
                            "Out of memory while getting the mount paths");

using Values = std::map<std::string, std::string>;

std::string ValueName(const char* plain, int index) {
  return index < 1 ? std::string(plain) : FXString::Format("%s_%d", plain, index);
}

// Value `name` as text; a missing value reads as empty.
const std::string& Lookup(Values& values, const std::string& name) { return values[name]; }

// Reads the refresh interval from the mount-point key and the subclient's values into
// `values`, creating keys that are missing. Returns the interval in seconds.
int64_t ReadCacheSettings(const KXPlatformInfo& platform, const std::string& parentKey,
                          const std::string& subclientKey, Values& values, int64_t& lastRefresh) {
  int64_t intervalHours = kDefaultRefreshHours;
  if (platform.getRegValues(parentKey, &values)) {
    const std::string& hours = Lookup(values, MACacheRefreshHours);
    if (!hours.empty()) intervalHours = kxmp::regnum::ToInt32(hours);
  } else {
    KXLOG_NORMAL("Creating registry key [%s]", parentKey.c_str());
    if (!platform.createRegKey(parentKey)) {
      KXLOG_ERROR("Failed to creating registry key [%s] err[%d]", parentKey.c_str(), platform.getRegError());
    }
  }
  lastRefresh = 0;
  if (platform.getRegValues(subclientKey, &values)) {
    const std::string& last = Lookup(values, MALastRefreshTime);
    if (!last.empty()) lastRefresh = kxmp::regnum::ToInt64(last);
  } else {
    KXLOG_NORMAL("Creating registry key [%s]", subclientKey.c_str());
    if (!platform.createRegKey(subclientKey)) {
      KXLOG_ERROR("Failed to create registry key [%s] err[%d]", subclientKey.c_str(), platform.getRegError());
    }
  }
  return intervalHours * 3600;  // 64-bit: any configured hour count fits
}

// Non-zero when the control server counts as online.
unsigned int ControlServerOnline(const KXPlatformInfo& platform) {
  if (KXPI_Base().getPlatformType() & 1u) return 1;
  std::string online = "0";
  if (!platform.getString("Runtime", "nCSONLINE", &online)) online = "0";
  return static_cast<unsigned int>(kxmp::regnum::ToInt32(online));
}

// Strictly inside (last refresh, last refresh + interval): a refresh time in the future (the
// clock was set back) or exactly the interval old counts as stale.
bool IsFresh(int64_t lastRefresh, int64_t now, int64_t intervalSeconds) {
  if (!(lastRefresh < now) || intervalSeconds <= 0) return false;
  // The difference of two 64-bit times may not fit a signed 64-bit number.
  uint64_t age = static_cast<uint64_t>(now) - static_cast<uint64_t>(lastRefresh);
  return age < static_cast<uint64_t>(intervalSeconds);
}

void LogMalformed(const MountpathInfo_t& entry) {
  KXLOG_ERROR("Skip malformed mount path [%s] id[%ld] of MAHostnameMangled[%s]", entry.rawMountPath.c_str(),
              static_cast<long>(entry.mountPathId), entry.hostNameMangled.c_str());
}

// Writes one entry of a fresh reply under the value names of cache entry `index`.
void CacheEntry(const KXPlatformInfo& platform, const std::string& key, const MountPathInfo& record, int index) {
  const std::string hostName = ValueName(MAHostnameMangledVal, index);
  const std::string pathName = ValueName(MAMountPathVal, index);
  const std::string idName = ValueName(MAMountPathIdVal, index);
  if (!platform.setRegString(key, hostName, record.hostName)) {
    KXLOG_ERROR("Failed to set registry key [%s] for [%s] with value [%s] err[%d]", key.c_str(), hostName.c_str(),
                record.hostName.c_str(), platform.getRegError());
  }
  if (!platform.setRegString(key, pathName, record.mountPath)) {
    KXLOG_ERROR("Failed to set registry key [%s] for [%s] with value [%s] err[%d]", key.c_str(), pathName.c_str(),
                record.mountPath.c_str(), platform.getRegError());
  }
  // The cache keeps ids cut to 32 bits.
  if (!platform.setRegInt(key, idName, static_cast<int32_t>(record.mountPathId))) {
    KXLOG_ERROR("Failed to set registry key [%s] for [%s] with value [%ld] err[%d]", key.c_str(), idName.c_str(),
                static_cast<long>(record.mountPathId), platform.getRegError());
  }
  KXLOG_NORMAL("Cached [%s][%s] [%s][%s] [%s][%ld]", hostName.c_str(), record.hostName.c_str(), pathName.c_str(),
               record.mountPath.c_str(), idName.c_str(), static_cast<long>(record.mountPathId));
}

// Rewrites the cache with a fresh reply's entries (entry 0 too when the reply has no
// primary: the cache then says so) and resets the refresh time, the count and the entry in use.
void CacheFreshReply(const KXPlatformInfo& platform, const std::string& key, const std::vector<MountPathInfo>& entries,
                     time_t now) {
  for (const MountPathInfo& record : entries) CacheEntry(platform, key, record, record.cacheIndex);
  const int alternates = static_cast<int>(entries.size()) - 1;
  const long nowValue = static_cast<long>(now);
  if (!platform.setRegString(key, MALastRefreshTime, FXString::Format("%ld", nowValue))) {
    KXLOG_ERROR("Failed to set registry key [%s] for LastRefreshTime with value [%ld] err[%d]", key.c_str(), nowValue,
                platform.getRegError());
  }
  if (!platform.setRegInt(key, FailoverNumber, alternates)) {
    KXLOG_ERROR("Failed to set registry key [%s] for nFailoverNumber with value [%d] err[%d]", key.c_str(), alternates,
                platform.getRegError());
  }
  if (!platform.setRegInt(key, FailoverCurrent, 0)) {
    KXLOG_ERROR("Failed to reset registry key [%s] for FailoverCurrent err[%d]", key.c_str(), platform.getRegError());
  }
  KXLOG_NORMAL("Cached LastRefreshTime[%ld] nFailoverNumber[%d] and reset nFailoverCurrent", nowValue, alternates);
}

// The value map a cache holding exactly `entries` would have, for the cached-list readers.
Values ValuesOf(const std::vector<MountPathInfo>& entries) {
  Values values;
  for (const MountPathInfo& e : entries) {
    values[ValueName(MAHostnameMangledVal, e.cacheIndex)] = e.hostName;
    values[ValueName(MAMountPathVal, e.cacheIndex)] = e.mountPath;
    values[ValueName(MAMountPathIdVal, e.cacheIndex)] = std::to_string(static_cast<int32_t>(e.mountPathId));
  }
  values[FailoverNumber] = std::to_string(entries.size() - 1);
  return values;
}

// The cached entries in the order to try them: the entry in use, the primary, then the
// other alternates.
void TakeCachedList(Values& values, unsigned int csOnline, std::vector<MountPathInfo>& list) {
  int32_t count = kxmp::regnum::ToInt32(Lookup(values, FailoverNumber));
  const int32_t current = kxmp::regnum::ToInt32(Lookup(values, FailoverCurrent));
  // Each real entry has its own values in the key, so a larger count is damage: never walk
  // more entries than there are values.
  if (static_cast<size_t>(count > 0 ? count : 0) > values.size()) count = static_cast<int32_t>(values.size());
  if (current > 0 && current <= count) {
    MountPathInfo entry = AbstractMountingPointDriver::readCache(values, current);
    AbstractMountingPointDriver::addMountPathFromCache(list, entry, csOnline);
  }
  MountPathInfo primary = AbstractMountingPointDriver::readCache(values, 0);
  AbstractMountingPointDriver::addMountPathFromCache(list, primary, csOnline);
  for (int32_t i = 1; i <= count; ++i) {
    if (i == current) continue;
    MountPathInfo entry = AbstractMountingPointDriver::readCache(values, i);
    AbstractMountingPointDriver::addMountPathFromCache(list, entry, csOnline);
  }
}

// The entries a failover may move to: the alternates in rising order, then the primary, so
// that a context that failed over to an alternate can fail back.
void TakeFailoverList(Values& values, unsigned int csOnline, std::vector<MountPathInfo>& list) {
  int32_t count = kxmp::regnum::ToInt32(Lookup(values, FailoverNumber));
  if (static_cast<size_t>(count > 0 ? count : 0) > values.size()) count = static_cast<int32_t>(values.size());
  for (int32_t i = 1; i <= count + 1; ++i) {
    const int index = i <= count ? i : 0;
    const std::string hostName = ValueName(MAHostnameMangledVal, index);
    const std::string pathName = ValueName(MAMountPathVal, index);
    const std::string idName = ValueName(MAMountPathIdVal, index);
    MountPathInfo entry = AbstractMountingPointDriver::readCache(values, index);
    if (index == 0 && entry.hostName.empty()) break;  // no primary to fail back to
    if (csOnline == 0 && AbstractMountingPointDriver::isCSMACombo(entry.hostName)) {
      KXLOG_NORMAL("Skip failover [%s][%s] [%s][%s] [%s][%ld] for CS/MA Combo and CS is offline", hostName.c_str(),
                   entry.hostName.c_str(), pathName.c_str(), entry.mountPath.c_str(), idName.c_str(),
                   static_cast<long>(entry.mountPathId));
      continue;
    }
    list.push_back(entry);
    KXLOG_NORMAL("Read failover [%s][%s] [%s][%s] [%s][%ld]", hostName.c_str(), entry.hostName.c_str(),
                 pathName.c_str(), entry.mountPath.c_str(), idName.c_str(), static_cast<long>(entry.mountPathId));
  }
}

// Refreshed, with alternates, without a primary and without an alternate in use.
bool CacheLacksPrimary(Values& values) {
  const int32_t count = kxmp::regnum::ToInt32(Lookup(values, FailoverNumber));
  const int32_t current = kxmp::regnum::ToInt32(Lookup(values, FailoverCurrent));
  return !Lookup(values, MALastRefreshTime).empty() && count > 0 && Lookup(values, MAHostnameMangledVal).empty() &&
         !(current > 0 && current <= count);
}

CZoError NoPrimaryError(unsigned long subclientId) {
  KXLOG_ERROR("The catalog lists no primary mount path for subclient[%lu]", subclientId);
  return FXErrorUtil::ErrorWin32(DRIVER_LOC, kxmp::driver::kErrNoPrimary,
                                 "The catalog lists no primary mount path for subclient[%lu]; attach one as primary",
                                 subclientId);
}

// Tells operators that a subclient has no usable mount path left.
void RaiseNoUsableMountPath(unsigned long subclientId) {
  EvEvent event;
  if (!event.initialize(2, kEventCatalog, 0, nullptr, "")) KXLOG_ERROR("Failed to init event");
  uint64_t id = ulittleEndianLongLong(static_cast<uint64_t>(subclientId));
  event.addArgument(&id, EvEvent::kArgUInt64LE);
  event.MajorEvent(kNoUsableMountPathEvent, 0, 0);
}

}  // namespace

bool AbstractMountingPointDriver::tryParseMountPath(const MountpathInfo_t& entry, MountPathInfo& record) {
  // "library|[path]|id": the path starts two characters after the first "|" and ends one
  // character before the last.
  const std::string& raw = entry.rawMountPath;
  const size_t first = raw.find('|');
  const size_t last = raw.rfind('|');
  if (first == std::string::npos || last == first || last - first <= 3) return false;
  record.mountPath = raw.substr(first + 2, last - first - 3);
  record.hostName = entry.hostNameMangled;
  record.mountPathId = entry.mountPathId;
  return true;
}

void AbstractMountingPointDriver::parseMountPath(MountpathInfo_t& entry, MountPathInfo& record) {
  try {
    if (!tryParseMountPath(entry, record)) {
      LogMalformed(entry);
      record.mountPath.clear();
      record.hostName = entry.hostNameMangled;
      record.mountPathId = entry.mountPathId;
    }
  } catch (const std::bad_alloc&) {
    record.mountPath.clear();
  }
}

CZoError AbstractMountingPointDriver::GetSubclientMountpathList(unsigned long subclientId,
                                                                std::vector<MountPathInfo>& list, bool mountAll,
                                                                bool forFailover, bool useCache, bool refreshCache) {
  const size_t before = list.size();
  try {
    KXPlatformInfo platform;
    const std::string parentKey = FXString::Format("~%s", MAMountPointKey);
    const std::string key = FXString::Format("%s%s\\%lu", "~", MAMountPointKey, subclientId);
    Values values;
    int64_t lastRefresh = 0;
    const int64_t interval = ReadCacheSettings(platform, parentKey, key, values, lastRefresh);
    const unsigned int csOnline = ControlServerOnline(platform);
    const time_t now = time(nullptr);

    const bool cacheWanted = !mountAll && !forFailover && !refreshCache && IsFresh(lastRefresh, now, interval);
    GetSubclientMountpathListRet_t reply;
    bool fresh = false;
    if (csOnline != 0 && !cacheWanted) {
      GetSubclientMountpathListArgs_t args{};  // every field starts at 0
      args.subclientId = subclientId;
      args.withDetails = 1;
      args.forWrite = mountAll ? 0 : 1;
      args.forRead = mountAll ? 1 : 0;
      args.reserved = 0;
      const int rc = ArMgrClientAPI().getSubclientMountpathList(&args, &reply);
      if (rc == 0 && !reply.mountPaths.empty()) {
        fresh = true;
      } else if (rc == 0) {
        KXLOG_ERROR("getSubclientMountpathList return no library path for subclient[%lu]\n", subclientId);
        if (!platform.delRegKey(key)) {
          KXLOG_ERROR("Failed to delete registry key [%s] err[%d]", key.c_str(), platform.getRegError());
        }
        return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoLibraryPathForSubclient,
                                       "getSubclientMountpathList return no library path for subclient[%lu]\n",
                                       subclientId);
      } else if (!useCache) {
        KXLOG_ERROR("Failed to getSubclientMountpathList with error [%d]\n", rc);
        return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoLibraryPath, "Failed to getSubclientMountpathList with error [%d]\n",
                                       rc);
      } else {
        KXLOG_NORMAL("Failed to getSubclientMountpathList with error [%d], proceed with cache\n", rc);
        reply.mountPaths.clear();  // a failed call promises nothing about the reply
      }
    }

    if (mountAll) {
      // Every path the archive manager knows, in its order; the cache plays no part.
      for (MountpathInfo_t& entry : reply.mountPaths) {
        MountPathInfo record;
        if (!tryParseMountPath(entry, record)) {
          LogMalformed(entry);
          continue;
        }
        list.push_back(record);
      }
    } else if (fresh) {
      std::vector<MountPathInfo> entries = kxmp::driver::CacheEntriesOf(reply);
      if (useCache) CacheFreshReply(platform, key, entries, now);
      if (forFailover) {
        Values answer = ValuesOf(entries);
        TakeFailoverList(answer, csOnline, list);
      } else if (entries[0].hostName.empty()) {
        return NoPrimaryError(subclientId);
      } else {
        list.push_back(entries[0]);  // the alternates reach callers through the cache (failover)
      }
    } else if (!forFailover) {
      if (CacheLacksPrimary(values)) return NoPrimaryError(subclientId);
      TakeCachedList(values, csOnline, list);
    } else {
      TakeFailoverList(values, csOnline, list);
    }

    if (list.size() == before) {
      KXLOG_ERROR("Failed to find usable mount path");
      RaiseNoUsableMountPath(subclientId);
      return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoMountPathReady, "No mount path is ready to use.");
    }
    return CZoError::Success();
  } catch (...) {
    // Allocation failures (or a library exception): nothing is promised, nothing is kept.
    if (list.size() > before) list.erase(list.begin() + static_cast<std::ptrdiff_t>(before), list.end());
    return CaughtError(kOutOfMemory, DRIVER_LOC);
  }
}

namespace kxmp::driver {

std::vector<MountPathInfo> CacheEntriesOf(const GetSubclientMountpathListRet_t& reply) {
  std::vector<MountPathInfo> entries(1);  // entry 0: empty until a primary comes
  for (const MountpathInfo_t& entry : reply.mountPaths) {
    MountPathInfo record;
    if (!AbstractMountingPointDriver::tryParseMountPath(entry, record)) {
      LogMalformed(entry);
      continue;
    }
    if (entry.kind == 0) {
      record.cacheIndex = 0;
      entries[0] = record;  // a later primary replaces an earlier one
    } else if (entry.kind == -1) {
      record.cacheIndex = static_cast<int32_t>(entries.size());
      entries.push_back(record);
    } else {
      // Only the two known kinds have a place in the cache.
      KXLOG_NORMAL("Skip mount path [%s] of kind [%ld]", record.mountPath.c_str(), static_cast<long>(entry.kind));
    }
  }
  return entries;
}

void WriteCatalogAnswer(unsigned long subclientId, const std::vector<MountPathInfo>& entries, time_t now) {
  KXPlatformInfo platform;
  CacheFreshReply(platform, FXString::Format("~%s\\%lu", MAMountPointKey, subclientId), entries, now);
}

bool ReadCachedMountPaths(unsigned long subclientId, CachedMountPaths& out) {
  out = CachedMountPaths();
  out.entries.resize(1);
  KXPlatformInfo platform;
  Values values;
  int64_t intervalHours = kDefaultRefreshHours;
  if (platform.getRegValues(FXString::Format("~%s", MAMountPointKey), &values)) {
    const std::string& hours = Lookup(values, MACacheRefreshHours);
    if (!hours.empty()) intervalHours = kxmp::regnum::ToInt32(hours);
  }
  if (!platform.getRegValues(FXString::Format("~%s\\%lu", MAMountPointKey, subclientId), &values)) return false;
  out.present = true;
  int32_t count = kxmp::regnum::ToInt32(Lookup(values, FailoverNumber));
  if (count < 0) count = 0;
  if (static_cast<size_t>(count) > values.size()) count = static_cast<int32_t>(values.size());
  out.entries[0] = AbstractMountingPointDriver::readCache(values, 0);
  for (int32_t i = 1; i <= count; ++i) out.entries.push_back(AbstractMountingPointDriver::readCache(values, i));
  const int32_t current = kxmp::regnum::ToInt32(Lookup(values, FailoverCurrent));
  out.current = current > 0 && current <= count ? current : 0;
  const std::string& last = Lookup(values, MALastRefreshTime);
  out.lastRefresh = last.empty() ? 0 : kxmp::regnum::ToInt64(last);
  out.fresh = IsFresh(out.lastRefresh, static_cast<int64_t>(time(nullptr)), intervalHours * 3600);
  return true;
}

bool CachedMountPaths::LacksPrimary() const {
  return lastRefresh != 0 && entries.size() > 1 && !HasPrimary() && current == 0;
}

std::vector<MountPathInfo> CachedMountPaths::InOrder() const {
  std::vector<MountPathInfo> out;
  auto add = [&](const MountPathInfo& e) {
    if (!e.hostName.empty() && !e.mountPath.empty()) out.push_back(e);
  };
  if (current > 0) add(entries[static_cast<size_t>(current)]);
  for (const MountPathInfo& e : entries) {
    if (e.cacheIndex != current || current == 0) add(e);
  }
  return out;
}

}  // namespace kxmp::driver
