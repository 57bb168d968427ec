#include "kxmp/ReadPlaces.h"

#include <new>

#include "driver/SubclientCache.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/catalog/ArMgrClientAPI.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"
#include "service/ServiceLocation.h"

namespace kxmp::service {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryListingMountPaths =
    FXErrorUtil::ErrorErrNo(SERVICE_LOC, ENOMEM, "Out of memory listing mount paths");

constexpr int kErrNoLibraryPath = 1359;  // Win32 kind, as the context list says it

void Open(AbstractMountingPointDriver& driver, unsigned long subclientId, const std::string& rootFolder,
          ReadPlace& place) {
  const MountPathInfo& e = place.entry;
  // Opened as a dry run's backup would: the root folder is set whether it exists or not, and
  // the context is null only when the storage did not answer.
  place.context = driver.InitializeDataServerAPI(subclientId, e.hostName, e.mountPath,
                                                 static_cast<int>(static_cast<uint32_t>(e.mountPathId)), rootFolder,
                                                 true, true, false);
  if (!place.context) {
    place.why = "storage host " + e.hostName + " did not answer for mount path " + e.mountPath + " (see the log)";
    return;
  }
  bool exists = false;
  CZoError err = AbstractMountingPointDriver::AMExists(place.context.get(), place.context->getRootFolder(), exists);
  if (err.IsError()) {
    place.context.reset();
    place.why = err.Message();
    return;
  }
  place.holdsRoot = exists;
}

}  // namespace

CZoError ListReadPlaces(unsigned long subclientId, const std::string& rootFolder, std::vector<ReadPlace>& places) try {
  places.clear();
  KXMAMountingPointSvc* service = KXMAMountingPointSvc::getInstance();
  CZoError err = service->AllocateDriverPtr(false);
  if (err.IsError()) return err;
  std::shared_ptr<AbstractMountingPointDriver> driver = service->GetDriverPtr();
  if (!driver) return FXErrorUtil::ErrorWin32(SERVICE_LOC, 774, "Driver is not allocated");

  GetSubclientMountpathListArgs_t args{};
  args.subclientId = subclientId;
  args.withDetails = 1;
  args.forRead = 1;
  GetSubclientMountpathListRet_t ret;
  ArMgrClientAPI archiveManager;
  const int r = archiveManager.getSubclientMountpathList(&args, &ret);
  if (r == 0) {
    for (const MountpathInfo_t& raw : ret.mountPaths) {
      ReadPlace place;
      if (!AbstractMountingPointDriver::tryParseMountPath(raw, place.entry)) {
        KXLOG_ERROR("Skipping mount path [%s] of MA [%s]: no path between its \"|\" characters", raw.rawMountPath.c_str(),
                    raw.hostNameMangled.c_str());
        continue;
      }
      places.push_back(place);
    }
  } else {
    kxmp::driver::CachedMountPaths cache;
    if (!kxmp::driver::ReadCachedMountPaths(subclientId, cache)) {
      return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrNoLibraryPath,
                                     "The catalog cannot be asked for the mount paths of subclient %lu (error %d) and "
                                     "nothing is cached for it",
                                     subclientId, r);
    }
    KXLOG_NORMAL("Failed to getSubclientMountpathList with error [%d], proceed with cache", r);
    for (const MountPathInfo& entry : cache.InOrder()) places.push_back(ReadPlace{entry, {}, false, {}});
  }
  for (ReadPlace& place : places) Open(*driver, subclientId, rootFolder, place);
  return CZoError::Success();
} catch (...) {
  return CaughtError(kNoMemoryListingMountPaths, SERVICE_LOC);
}

}  // namespace kxmp::service
