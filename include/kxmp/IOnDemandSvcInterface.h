#pragma once
// The interface through which the on-demand service host drives a service library: it gets
// the object from the library's exported GetOnDemandSvcLibInstance(), initialises it, hands
// it jobs, delivers the messages of its session server and tells it to stop.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/session/CKxNetworkServer.h"

class IOnDemandSvcApp;  // the host application
class kxsDatabuf_v2;    // an XDR data buffer of the session server

// Types of the host's session library.
namespace CNSession {
enum OnDemandServiceStatusType {
  ONDEMAND_SERVICE_STATUS_OK = 0,
  ONDEMAND_SERVICE_STATUS_FAILED = 1,
  ONDEMAND_SERVICE_STATUS_RUNNING = 2,
};
enum OnDemandServiceMode {
  ONDEMAND_SERVICE_MODE_SYNC = 0,
  ONDEMAND_SERVICE_MODE_ASYNC = 1,
};
}  // namespace CNSession

class KXMP_EXPORT IOnDemandSvcInterface {
 public:
  virtual CZoError Initialize(int argc, char** argv, std::string& text, int& number, IOnDemandSvcApp* app) = 0;
  virtual CZoError SubmitJob(std::string& job, CNSession::OnDemandServiceStatusType& status,
                             CNSession::OnDemandServiceMode mode) = 0;
  virtual CZoError IncomingMsgXMLCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                          KxnHandle_t handle, CNMessageBase* message) = 0;
  virtual CZoError IncomingMsgXDRCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                          KxnHandle_t handle, unsigned long length, kxsDatabuf_v2* data) = 0;
  virtual CZoError KillAllJobs() = 0;
  virtual void CleanUp() = 0;
  virtual ~IOnDemandSvcInterface();
};

// The library's entry: the single service object, as an IOnDemandSvcInterface*. Never freed.
extern "C" KXMP_EXPORT void* GetOnDemandSvcLibInstance();
