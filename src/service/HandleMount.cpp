// Mount requests from the host's session server. The callback borrows the session, hands a
// mount-point request to HandleMount and frees the message; HandleMount answers every request
// it is given with exactly one response carrying the outcome's error code.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "service/ServiceLocation.h"
#include "driver/FailoverCurrent.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"
#include "outside/registry/KeyCache.h"
#include "outside/session/CKxNetworkServer.h"
#include "outside/xml/TesselMessages.h"

namespace {

constexpr int kErrInvalidArgument = 6;
constexpr int kErrNoMemory = 14;

// Returned or answered when memory runs out; built at load so that using it allocates nothing.
const CZoError kOutOfMemory(FXErrorUtil::Win32Code(kErrNoMemory),
                            FXCodeLocation("KXMAMountingPointSvc.cpp", "KXMAMountingPointSvc::HandleMount", 0),
                            "Out of memory while serving a mount request");

// The fields of a mount-point request that drive its handling.
struct MountRequest {
  std::string mountingPoint;  // for a deinit-all request the parent folder
  unsigned long subclientId = 0;
  bool noCacheUpdate = false;
  bool mountAll = false;
  bool deinitAll = false;
  bool refreshCache = false;
};

MountRequest ReadRequest(CNMessageBase& msg) {
  using namespace Tessel;
  MountRequest req;
  req.mountingPoint = msg.getstringByRef(2, 2, kMAMountPointReqTag, kMAMountPointReqMountingPointId);
  req.subclientId =
      static_cast<unsigned long>(msg.getint64ByRef(1, 1, kMAMountPointReqTag, kMAMountPointReqSubclientIdId));
  // The three flags are boolean fields: one byte, 0 or 1.
  req.noCacheUpdate = msg.getboolByRef(3, 6, kMAMountPointReqTag, kMAMountPointReqNoCacheUpdateId);
  req.mountAll = msg.getboolByRef(4, 7, kMAMountPointReqTag, kMAMountPointReqMountAllId);
  req.deinitAll = msg.getboolByRef(5, 8, kMAMountPointReqTag, kMAMountPointReqDeinitAllId);
  req.refreshCache = msg.getint64(13, kMAMountPointReqTag, kMAMountPointReqRefreshCacheId) != 0;
  return req;
}

// Sends the one response of a request; whether it left is not looked at.
void SendResponse(CKxNetwork* network, int32_t code) {
  using namespace Tessel;
  MAMountPointResp response;
  GenericResp generic;
  generic.setint64(1, 1, static_cast<int64_t>(code), kGenericRespTag, kGenericRespErrorCodeId);
  response.setObjectAccessor(&generic, 1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId);
  if (network == nullptr) {
    KXLOG_ERROR("No session to answer on; response [%d] dropped", code);
    return;
  }
  bool sent = false;
  network->SendXMLMessage(&response, 0, -1, &sent);
}
}  // namespace

CZoError KXMAMountingPointSvc::IncomingMsgXMLCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                                      KxnHandle_t handle, CNMessageBase* message) {
  try {
    // Registry keys changed by others are read once per request, not before every access.
    kxmp::registry::KeyCache::RequestScope registryReads;
    KXLOG_NORMAL("Received Msg [%s]", message != nullptr ? message->getTagName() : "");
    if (server == nullptr) {
      return FXErrorUtil::ErrorWin32(SERVICE_LOC, kErrInvalidArgument, "SessionServer argument is invalid");
    }
    CKxNetwork* network = nullptr;
    CZoError result = server->AcquireSession(handle, &network);
    if (result.IsError()) return result;

    if (kind == CKxNetworkServer::KXN_CALLBACK_RECEIVED && message != nullptr) {
      // Only mount-point requests are served; the tag 0x09000102 and every other one are
      // received and dropped. HandleMount answers on its own and lets nothing escape.
      if (message->getTagID() == Tessel::kMAMountPointReqTag) HandleMount(network, message);
      try {
        CKxNetworkServer::CleanXmlBuffer(message);
      } catch (...) {
        // Freeing is the session library's business; its failure must not keep the session.
      }
    }

    result = server->ReleaseSession(handle);
    if (result.IsError()) return result;
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kOutOfMemory, SERVICE_LOC);
  }
}

void KXMAMountingPointSvc::HandleMount(CKxNetwork* network, CNMessageBase* request) {
  try {
    if (request == nullptr) {
      SendResponse(network, FXErrorUtil::Win32Code(kErrInvalidArgument));
      return;
    }
    MountRequest req = ReadRequest(*request);
    m_event.debugWait();

    bool useCache = !req.noCacheUpdate;
    if (req.mountAll) useCache = false;  // a mount over all paths neither reads nor writes the cache
    if (req.refreshCache) {
      KXLOG_NORMAL("refreshed cache");
      req.deinitAll = false;
      req.mountAll = false;
      useCache = true;
    }

    // The driver exists once the host initialised the service; a request that comes first
    // makes it, as in-process callers do.
    std::shared_ptr<AbstractMountingPointDriver> driver;
    auto getDriver = [&](CZoError& error) -> AbstractMountingPointDriver* {
      if (!driver) driver = GetDriverPtr();
      if (!driver) {
        error = AllocateDriverPtr(false);
        if (!error.IsError()) driver = GetDriverPtr();
        if (!driver && !error.IsError()) {
          error = FXErrorUtil::ErrorWin32(SERVICE_LOC, 8, "Failed to allocate [%s]", "UnixMountingPointDriver");
        }
      }
      return driver.get();
    };

    CZoError result = CZoError::Success();
    if (req.deinitAll) {
      KXLOG_NORMAL("KXMAMountingPointSvc deinitall parentfolder [%s]", req.mountingPoint.c_str());
      if (AbstractMountingPointDriver* d = getDriver(result)) result = d->DeinitAll(req.mountingPoint);
    } else {
      std::vector<MountPathInfo> mountPaths;
      result = AbstractMountingPointDriver::GetSubclientMountpathList(req.subclientId, mountPaths, req.mountAll,
                                                                      false, useCache, req.refreshCache);
      if (!result.IsError() && req.mountAll) {
        KXLOG_NORMAL("Initializing mountingpoint [%s] subclientID [%lu] mountAll[true]", req.mountingPoint.c_str(),
                     req.subclientId);
        if (AbstractMountingPointDriver* d = getDriver(result)) {
          result = d->Initialize(req.mountingPoint, req.subclientId, mountPaths, false);
        }
      } else if (!result.IsError() && !req.refreshCache) {
        // One after the other in list order until one mounts; the outcome is the last attempt's.
        for (const MountPathInfo& entry : mountPaths) {
          KXLOG_NORMAL("Trying initialize mountingpoint [%s] subclientID [%lu] serverMangledName [%s] pathToMount[%s]",
                       req.mountingPoint.c_str(), req.subclientId, entry.hostName.c_str(), entry.mountPath.c_str());
          AbstractMountingPointDriver* d = getDriver(result);
          if (d == nullptr) break;
          // The driver takes the id as its low 32 bits.
          result = d->Initialize(req.mountingPoint, req.subclientId, entry.hostName, entry.mountPath,
                                 static_cast<int32_t>(static_cast<uint32_t>(entry.mountPathId)), false);
          if (!result.IsError()) {
            kxmp::driver::RecordFailoverCurrent(req.subclientId, entry.cacheIndex);
            break;
          }
        }
      }
    }
    // A refresh is answered with success: the cache was rewritten if it could be.
    if (req.refreshCache) result = CZoError::Success();
    SendResponse(network, result.GetErrorCode());
  } catch (...) {
    try {
      SendResponse(network, CaughtError(kOutOfMemory, SERVICE_LOC).GetErrorCode());
    } catch (...) {
      // Not even the response can be made; the request ends unanswered.
    }
  }
}
