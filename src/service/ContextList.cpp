// The data-server contexts that in-process callers (log backups and restores) work through:
// one writable context for a backup, starting from the mount path cached in the registry,
// and every reachable context for a restore.

#include <map>
#include <new>
#include <string>

#include "service/ServiceLocation.h"
#include "driver/RegistryNumber.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "kxmp/RegistryNames.h"
#include "outside/catalog/ArMgrClientAPI.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
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

// Writes the entry about to be tried as the cached start of the next backup. The first write
// that fails is logged and ends the caching of this entry; the entry is tried either way.
void CacheEntry(KXPlatformInfo& platform, const std::string& key, const MountPathInfo& entry) {
  if (!platform.setRegString(key, MAHostnameMangledVal, entry.hostName)) {
    KXLOG_ERROR("Failed to set registry key [%s] for MAHostnameMangled with value [%s] err[%d]", key.c_str(),
                entry.hostName.c_str(), platform.getRegError());
    return;
  }
  if (!platform.setRegString(key, MAMountPathVal, entry.mountPath) ||
      !platform.setRegInt(key, MAMountPathIdVal, LowBits(entry.mountPathId))) {
    KXLOG_ERROR("Failed to set registry key [%s] for mountpath with value [%s] err[%d]", key.c_str(),
                entry.mountPath.c_str(), platform.getRegError());
    return;
  }
  KXLOG_NORMAL("Successfuly Cached MAHostnameMangled[%s] pathToMount[%s] mountPathId[%ld]", entry.hostName.c_str(),
               entry.mountPath.c_str(), static_cast<long>(entry.mountPathId));
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

    if (forBackup && useCache) {
      std::map<std::string, std::string> values;
      if (!platform.getRegValues(key, &values)) {
        KXLOG_ERROR("Failed to get values for registry key [%s] err[%d]", key.c_str(), platform.getRegError());
        useCache = false;
      } else {
        const std::string& host = values[MAHostnameMangledVal];
        const std::string& path = values[MAMountPathVal];
        const std::string& idText = values[MAMountPathIdVal];
        const long id = idText.empty() ? 0 : static_cast<long>(kxmp::regnum::ToInt64(idText));
        if (host.empty() || path.empty()) {
          KXLOG_DETAIL("Cache does not have MA info");
          useCache = false;
        } else {
          KXLOG_NORMAL("Read cache for MAHostnameMangled[%s] pathToMount[%s] mountPathid=[%ld] "
                       "prefixInstanceGuid = [%s]",
                       host.c_str(), path.c_str(), id, YesNo(prefixInstanceGuid));
          DataServerContextPtr context = driver->InitializeDataServerAPI(
              subclientId, host, path, LowBits(id), rootFolder, prefixInstanceGuid, true, createRootFolder);
          if (context) {
            contexts.push_back(context);
          } else {
            KXLOG_ERROR("Failed to initialize Data Server IP, we will read from CS & refresh registry");
          }
        }
      }
    }

    if (!useCache || contexts.empty()) {
      GetSubclientMountpathListArgs_t args{};
      args.subclientId = subclientId;
      args.withDetails = 1;
      args.forWrite = forBackup ? 1 : 0;
      args.forRead = forBackup ? 0 : 1;
      GetSubclientMountpathListRet_t ret;
      ArMgrClientAPI archiveManager;
      const int r = archiveManager.getSubclientMountpathList(&args, &ret);
      if (r != 0) {
        return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNoLibraryPath, "Failed to getSubclientMountpathList with error [%d]\n",
                                       r);
      }
      if (ret.mountPaths.empty()) {
        KXLOG_ERROR("getSubclientMountpathList return no library path");
        return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNoLibraryPath, "getSubclientMountpathList return no library path\n");
      }

      for (const MountpathInfo_t& raw : ret.mountPaths) {
        MountPathInfo entry;
        if (!AbstractMountingPointDriver::tryParseMountPath(raw, entry)) {
          // Nothing can be opened from a text without a path between its "|" characters.
          KXLOG_ERROR("Skipping mount path [%s] of MA [%s] mountPathId [%ld]: no path between its \"|\" characters",
                      raw.rawMountPath.c_str(), raw.hostNameMangled.c_str(), static_cast<long>(raw.mountPathId));
          continue;
        }
        if (forBackup && createRootFolder && DataServerContext::createRegistryPaths(platform, subclientId)) {
          CacheEntry(platform, key, entry);
        }
        DataServerContextPtr context =
            driver->InitializeDataServerAPI(subclientId, entry.hostName, entry.mountPath, LowBits(entry.mountPathId),
                                            rootFolder, prefixInstanceGuid, forBackup, createRootFolder);
        if (context) {
          contexts.push_back(context);
          if (forBackup) break;
          continue;
        }
        KXLOG_ERROR("Failed to initialize Data Server IP for MA OSC Subclientid [%lu] [%s] mountPathId [%ld], MA "
                    "datapath not accessible",
                    subclientId, entry.hostName.c_str(), static_cast<long>(entry.mountPathId));
      }
    }

    if (contexts.empty()) {
      KXLOG_ERROR("None of the MA datapaths for Storage policy belonging to subclientid [%lu]  accesible ",
                  subclientId);
      return FXErrorUtil::ErrorErrNo(SERVICE_LOC, kErrNoDataPath,
                                     "Failed to access all the MA data paths, backup/restore from disk not possible");
    }
    return CZoError::Success();
  } catch (const std::bad_alloc&) {
    return kContextListOutOfMemory;
  }
}
