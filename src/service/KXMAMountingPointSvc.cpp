#include "service/ServiceLocation.h"
#include "kxmp/KXMAMountingPointSvc.h"

#include <atomic>
#include <new>

#include "kxmp/FXNamedMutex.h"
#include "kxmp/UnixMountingPointDriver.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"

namespace {
// Serialises driver creation among every holder of the name, in and out of this process.
const char kDriverInitializeLock[] = "KXMAMountingPointSvc_DriverInitialize";
// An error for when memory is short, built at load so that returning it allocates nothing.
CZoError MakeReserveError(int number, const char* message) {
  return CZoError(FXErrorUtil::Win32Code(number), FXCodeLocation("KXMAMountingPointSvc.cpp", "KXMAMountingPointSvc", 0),
                  message);
}
const CZoError kDriverAllocationFailed = MakeReserveError(8, "Failed to allocate [UnixMountingPointDriver]");
}  // namespace

IOnDemandSvcInterface::~IOnDemandSvcInterface() = default;

extern "C" void* GetOnDemandSvcLibInstance() {
  try {
    KXLOG_TRACE("KXMAMountingPointSvc Library is loading");
  } catch (...) {
    // The trace line is best effort; the host still gets the service.
  }
  return static_cast<void*>(static_cast<IOnDemandSvcInterface*>(KXMAMountingPointSvc::getInstance()));
}

KXMAMountingPointSvc* KXMAMountingPointSvc::getInstance() {
  static KXMAMountingPointSvc instance;
  return &instance;
}

KXMAMountingPointSvc::KXMAMountingPointSvc() = default;

KXMAMountingPointSvc::~KXMAMountingPointSvc() = default;

CZoError KXMAMountingPointSvc::Initialize(int, char**, std::string&, int&, IOnDemandSvcApp*) {
  return AllocateDriverPtr(true);
}

CZoError KXMAMountingPointSvc::SubmitJob(std::string&, CNSession::OnDemandServiceStatusType& status,
                                         CNSession::OnDemandServiceMode) {
  status = static_cast<CNSession::OnDemandServiceStatusType>(0);
  return CZoError::Success();
}

CZoError KXMAMountingPointSvc::IncomingMsgXDRCallback(CKxNetworkServer::KxnCallback_e, CKxNetworkServer*,
                                                      KxnHandle_t, unsigned long, kxsDatabuf_v2*) {
  return CZoError::Success();
}

CZoError KXMAMountingPointSvc::KillAllJobs() { return CZoError::Success(); }

void KXMAMountingPointSvc::CleanUp() {}

std::shared_ptr<AbstractMountingPointDriver> KXMAMountingPointSvc::GetDriverPtr() const {
  return std::atomic_load(&m_driver);
}

void KXMAMountingPointSvc::SetDriverPtr(std::shared_ptr<AbstractMountingPointDriver> driver) {
  std::atomic_store(&m_driver, std::move(driver));
}

CZoError KXMAMountingPointSvc::AllocateDriverPtr(bool) {
  if (std::atomic_load(&m_driver)) return CZoError::Success();
  try {
    bool created = false;
    bool byOther = false;
    {
      FXNamedMutex initLock(kDriverInitializeLock);
      initLock.Lock();
      if (std::atomic_load(&m_driver)) {
        byOther = true;
      } else {
        std::shared_ptr<AbstractMountingPointDriver> driver;
        try {
          driver = std::make_shared<UnixMountingPointDriver>();
        } catch (const std::bad_alloc&) {
        }
        if (driver) {
          std::atomic_store(&m_driver, std::move(driver));
          created = true;
        }
      }
      initLock.Unlock();
    }
    if (byOther) {
      KXLOG_TRACE("Driver initialized by another thread");
      KXLOG_TRACE("KXMAMountingPointSvc initialized");
      return CZoError::Success();
    }
    if (!created) {
      return FXErrorUtil::ErrorWin32(SERVICE_LOC, 8, "Failed to allocate [%s]", "UnixMountingPointDriver");
    }
    KXLOG_TRACE("KXMAMountingPointSvc initialized");
    return CZoError::Success();
  } catch (...) {
    // The lock or a log line could not be made; a driver stored before stays in place.
    if (std::atomic_load(&m_driver)) return CZoError::Success();
    return CaughtError(kDriverAllocationFailed, SERVICE_LOC);
  }
}
