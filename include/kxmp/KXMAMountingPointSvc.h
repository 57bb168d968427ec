#pragma once
// The mount-point service: the single object the host drives through IOnDemandSvcInterface
// and that in-process callers reach with getInstance(). It owns the one driver, created on
// first need under the named lock "KXMAMountingPointSvc_DriverInitialize" and never
// replaced.

#include <list>
#include <memory>
#include <string>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContextPtr.h"
#include "kxmp/IOnDemandSvcInterface.h"
#include "outside/event/EvEvent.h"

class CKxNetwork;

class KXMP_EXPORT KXMAMountingPointSvc : public IOnDemandSvcInterface {
 public:
  // The process's service object, constructed on first call (thread-safe) and destroyed at
  // exit. Construction does not create the driver.
  static KXMAMountingPointSvc* getInstance();

  CZoError Initialize(int argc, char** argv, std::string& text, int& number, IOnDemandSvcApp* app) override;
  CZoError SubmitJob(std::string& job, CNSession::OnDemandServiceStatusType& status,
                     CNSession::OnDemandServiceMode mode) override;
  CZoError IncomingMsgXMLCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                  KxnHandle_t handle, CNMessageBase* message) override;
  CZoError IncomingMsgXDRCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                  KxnHandle_t handle, unsigned long length, kxsDatabuf_v2* data) override;
  CZoError KillAllJobs() override;
  void CleanUp() override;
  ~KXMAMountingPointSvc() override;

  // Makes sure the driver exists (double-checked under the named lock). fromInitialize is
  // true when the host's Initialize calls it; the allocation does not depend on it.
  CZoError AllocateDriverPtr(bool fromInitialize);
  // The driver, or empty before the first successful AllocateDriverPtr.
  std::shared_ptr<AbstractMountingPointDriver> GetDriverPtr() const;

  // Serves one mount-point request received on a session and answers on it.
  void HandleMount(CKxNetwork* network, CNMessageBase* request);
  // The data-server contexts of a subclient: one writable context for a backup, every
  // reachable one for a restore.
  CZoError GetDataServerContextList(unsigned long subclientId, std::list<DataServerContextPtr>& contexts,
                                    bool forBackup, bool useCache, const std::string& rootFolder,
                                    bool prefixInstanceGuid);
  // The same; with createRootFolder false nothing is made or written (no root folder on the
  // storage, no cache entry): a backup's dry run sees where the backup would go.
  CZoError GetDataServerContextList(unsigned long subclientId, std::list<DataServerContextPtr>& contexts,
                                    bool forBackup, bool useCache, const std::string& rootFolder,
                                    bool prefixInstanceGuid, bool createRootFolder);

  KXMAMountingPointSvc(const KXMAMountingPointSvc&) = delete;
  KXMAMountingPointSvc& operator=(const KXMAMountingPointSvc&) = delete;

 protected:
  // Only getInstance() makes the process's object; derived test services make their own.
  KXMAMountingPointSvc();
  // For tests that derive a fresh service: installs a driver of their own.
  void SetDriverPtr(std::shared_ptr<AbstractMountingPointDriver> driver);

 private:
  EvEvent m_event;
  std::shared_ptr<AbstractMountingPointDriver> m_driver;  // atomic load/store only
};
