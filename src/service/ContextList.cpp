// The data-server contexts that in-process callers (log backups and restores) work through:
// one writable context for a backup, starting from the mount path cached in the registry,
// and every reachable context for a restore.

#include <algorithm>
#include <ctime>
#include <map>
#include <new>
#include <string>

#include "service/ServiceLocation.h"
#include "driver/FailoverCurrent.h"
#include "driver/RegistryNumber.h"
#include "driver/SubclientCache.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "kxmp/RegistryNames.h"
#include "outside/catalog/ArMgrClientAPI.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPI.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXString.h"

namespace {

constexpr int kErrNoLibraryPath = 1359;    // Win32 kind
constexpr int kErrNoDataPath = 774;        // errno kind: no media-agent data path reachable
constexpr int kErrNotInitialized = 774;    // Win32 kind: input missing

// Returned when memory runs out: built at load, so that reporting it allocates nothing.
const CZoError kContextListOutOfMemory(FXErrorUtil::Win32Code(14),
                                       FXCodeLocation("KXMAMountingPointSvc.cpp",
                                                      "KXMAMountingPointSvc::GetDataServerContextList", 0),
                                       "Out of memory");

const char* YesNo(bool value) { return value ? "true" : "false"; }

// Ids travel on as int: their low 32 bits.
int LowBits(int64_t id) { return static_cast<int>(static_cast<uint32_t>(id)); }

// Opens one mount path of the subclient; null when it does not open.
DataServerContextPtr Open(AbstractMountingPointDriver& driver, unsigned long subclientId, const MountPathInfo& entry,
                          const std::string& rootFolder, bool prefixInstanceGuid, bool forBackup,
                          bool createRootFolder) {
  DataServerContextPtr context = driver.InitializeDataServerAPI(subclientId, entry.hostName, entry.mountPath,
                                                                LowBits(entry.mountPathId), rootFolder,
                                                                prefixInstanceGuid, forBackup, createRootFolder);
  if (!context) {
    KXLOG_ERROR("Failed to initialize Data Server IP for MA OSC Subclientid [%lu] [%s] mountPathId [%ld], MA "
                "datapath not accessible",
                subclientId, entry.hostName.c_str(), static_cast<long>(entry.mountPathId));
  }
  return context;
}

bool Same(const MountPathInfo& a, const MountPathInfo& b) {
  return a.hostName == b.hostName && a.mountPath == b.mountPath;
}

// Non-zero when the control server counts as online (as for mount requests).
bool ControlServerOnline() {
  if (KXPI_Base().getPlatformType() & 1u) return true;
  std::string online = "0";
  if (!KXPlatformInfo().getString("Runtime", "nCSONLINE", &online)) return false;
  return kxmp::regnum::ToInt32(online) != 0;
}

CZoError NoPrimary(unsigned long subclientId) {
  KXLOG_ERROR("The catalog lists no primary mount path for subclient [%lu]", subclientId);
  return FXErrorUtil::ErrorWin32(SERVICE_LOC, kxmp::driver::kErrNoPrimary,
                                 "Subclient [%lu] has no primary mount path in the catalog; attach one as primary",
                                 subclientId);
}

}  // namespace

CZoError KXMAMountingPointSvc::GetDataServerContextList(unsigned long subclientId,
                                                        std::list<DataServerContextPtr>& contexts, bool forBackup,
                                                        bool useCache, const std::string& rootFolder,
                                                        bool prefixInstanceGuid) {
  return GetDataServerContextList(subclientId, contexts, forBackup, useCache, rootFolder, prefixInstanceGuid, true);
}

CZoError KXMAMountingPointSvc::GetDataServerContextList(unsigned long subclientId,
                                                        std::list<DataServerContextPtr>& contexts, bool forBackup,
                                                        bool useCache, const std::string& rootFolder,
                                                        bool prefixInstanceGuid, bool createRootFolder) {
  try {
    const std::string key = FXString::Format("~/%s/%lu", MAMountPointKey, subclientId);
    KXLOG_NORMAL("subclient [%lu] forBackup =[%s] useCache= [%s]", subclientId, YesNo(forBackup), YesNo(useCache));

    std::shared_ptr<AbstractMountingPointDriver> driver = GetDriverPtr();
    if (!driver) {
      // Callers allocate the driver first; without it no mount path can be opened.
      KXLOG_ERROR("Driver is not allocated, no DataServerContext for subclientid [%lu]", subclientId);
      return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNotInitialized, "Driver is not allocated");
    }

    KXPlatformInfo platform(0, 0);
    kxmp::driver::CachedMountPaths cache;
    const bool cached = forBackup && kxmp::driver::ReadCachedMountPaths(subclientId, cache);
    std::vector<MountPathInfo> tried;

    // A backup starts on the cached entry in use without asking the catalog, unless the cache
    // is known stale while the catalog can be asked.
    if (forBackup && useCache && contexts.empty()) {
      std::vector<MountPathInfo> order = cache.InOrder();
      const bool stale = cache.lastRefresh != 0 && !cache.fresh && ControlServerOnline();
      if (!cached) {
        KXLOG_ERROR("Failed to get values for registry key [%s] err[%d]", key.c_str(), platform.getRegError());
      } else if (order.empty() || cache.LacksPrimary()) {
        KXLOG_DETAIL("Cache does not have MA info");
      } else if (!stale) {
        const MountPathInfo& entry = order.front();
        KXLOG_NORMAL("Read cache for MAHostnameMangled[%s] pathToMount[%s] mountPathid=[%ld] "
                     "prefixInstanceGuid = [%s]",
                     entry.hostName.c_str(), entry.mountPath.c_str(), static_cast<long>(entry.mountPathId),
                     YesNo(prefixInstanceGuid));
        DataServerContextPtr context = driver->InitializeDataServerAPI(
            subclientId, entry.hostName, entry.mountPath, LowBits(entry.mountPathId), rootFolder, prefixInstanceGuid, true,
            createRootFolder);
        if (context) {
          contexts.push_back(context);
          return CZoError::Success();
        }
        KXLOG_ERROR("Failed to initialize Data Server IP, we will read from CS & refresh registry");
        tried.push_back(entry);
      }
    }

    if (contexts.empty()) {
      GetSubclientMountpathListArgs_t args{};
      args.subclientId = subclientId;
      args.withDetails = 1;
      args.forWrite = forBackup ? 1 : 0;
      args.forRead = forBackup ? 0 : 1;
      GetSubclientMountpathListRet_t ret;
      ArMgrClientAPI archiveManager;
      const int r = archiveManager.getSubclientMountpathList(&args, &ret);
      if (r != 0) {
        // The catalog cannot be asked: the cached mount paths carry the work, the primary's
        // absence included.
        const bool fallback = forBackup ? (useCache && cached) : kxmp::driver::ReadCachedMountPaths(subclientId, cache);
        if (!fallback) {
          return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNoLibraryPath,
                                         "Failed to getSubclientMountpathList with error [%d]\n", r);
        }
        KXLOG_NORMAL("Failed to getSubclientMountpathList with error [%d], proceed with cache", r);
        if (forBackup && cache.LacksPrimary()) return NoPrimary(subclientId);
        for (const MountPathInfo& entry : cache.InOrder()) {
          if (std::any_of(tried.begin(), tried.end(), [&](const MountPathInfo& t) { return Same(t, entry); })) continue;
          if (DataServerContextPtr context = Open(*driver, subclientId, entry, rootFolder, prefixInstanceGuid, forBackup, createRootFolder)) {
            contexts.push_back(context);
            if (!forBackup) continue;
            if (createRootFolder && entry.cacheIndex != cache.current) kxmp::driver::RecordFailoverCurrent(subclientId, entry.cacheIndex);
            break;
          }
        }
      } else if (ret.mountPaths.empty()) {
        KXLOG_ERROR("getSubclientMountpathList return no library path");
        if (forBackup && cached && createRootFolder && !platform.delRegKey(key)) {
          KXLOG_ERROR("Failed to delete registry key [%s] err[%d]", key.c_str(), platform.getRegError());
        }
        return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNoLibraryPath, "getSubclientMountpathList return no library path\n");
      } else if (forBackup) {
        // The answer becomes the cache (the set of the catalog, the primary in use) and is
        // tried primary first; the entry that opens is recorded as the one in use.
        std::vector<MountPathInfo> entries = kxmp::driver::CacheEntriesOf(ret);
        for (const MountpathInfo_t& raw : ret.mountPaths) {
          MountPathInfo entry;
          if (!AbstractMountingPointDriver::tryParseMountPath(raw, entry)) {
            KXLOG_ERROR("Skipping mount path [%s] of MA [%s] mountPathId [%ld]: no path between its \"|\" characters",
                        raw.rawMountPath.c_str(), raw.hostNameMangled.c_str(), static_cast<long>(raw.mountPathId));
          }
        }
        // A dry run (createRootFolder false) leaves the cache as it is.
        if (createRootFolder && DataServerContext::createRegistryPaths(platform, subclientId)) {
          kxmp::driver::WriteCatalogAnswer(subclientId, entries, time(nullptr));
        }
        if (entries[0].hostName.empty()) return NoPrimary(subclientId);
        for (const MountPathInfo& entry : entries) {
          if (entry.hostName.empty() || entry.mountPath.empty()) continue;
          if (DataServerContextPtr context = Open(*driver, subclientId, entry, rootFolder, prefixInstanceGuid, true, createRootFolder)) {
            contexts.push_back(context);
            if (createRootFolder && entry.cacheIndex != 0) kxmp::driver::RecordFailoverCurrent(subclientId, entry.cacheIndex);
            break;
          }
        }
      } else {
        for (const MountpathInfo_t& raw : ret.mountPaths) {
          MountPathInfo entry;
          if (!AbstractMountingPointDriver::tryParseMountPath(raw, entry)) {
            // Nothing can be opened from a text without a path between its "|" characters.
            KXLOG_ERROR("Skipping mount path [%s] of MA [%s] mountPathId [%ld]: no path between its \"|\" characters",
                        raw.rawMountPath.c_str(), raw.hostNameMangled.c_str(), static_cast<long>(raw.mountPathId));
            continue;
          }
          if (DataServerContextPtr context = Open(*driver, subclientId, entry, rootFolder, prefixInstanceGuid, false, createRootFolder)) {
            contexts.push_back(context);
          }
        }
      }
    }

    if (contexts.empty()) {
      KXLOG_ERROR("None of the MA datapaths for Storage policy belonging to subclientid [%lu]  accesible ",
                  subclientId);
      return FXErrorUtil::ErrorErrNo(SERVICE_LOC, kErrNoDataPath,
                                     "Failed to access all the MA data paths, backup/restore from disk not possible");
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kContextListOutOfMemory, SERVICE_LOC);
  }
}
