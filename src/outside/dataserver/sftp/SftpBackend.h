#pragma once
// The SFTP backend: serves the mount paths of one storage host over SSH. Its objects share
// the pooled connection for (address, port, user); the pool belongs to the backend, and
// every object holds a shared pointer to its connection, so objects may outlive the backend.

#include <chrono>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/Backend.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/dataserver/sftp/SftpConnection.h"
#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/dataserver/sftp/SftpTree.h"

namespace kxmp::dataserver {

class KXMP_EXPORT SftpBackend : public Backend {
 public:
  SftpBackend(SftpSettings settings, std::string plainHostName, std::shared_ptr<MountPathAuthority> authority,
              std::chrono::steady_clock::duration idleLimit = std::chrono::seconds(60));
  // No locks over SFTP; the plain rename never replaces; folders are synced with
  // fsync@openssh.com and volumes sized with statvfs@openssh.com (a server without them is
  // refused, ENOTSUP).
  BackendCapabilities Capabilities(const CFSInitParams&) override { return {false, true, true, true}; }
  CFSInterface* NewFSInterface(const CFSInitParams& params) override;
  CFileInterface* NewFileInterface(const CFSInitParams& params) override;

  SftpPool& Pool() { return *pool_; }

 private:
  SftpSettings settings_;
  std::string hostName_;
  std::shared_ptr<MountPathAuthority> authority_;
  std::shared_ptr<SftpPool> pool_;
  const std::shared_ptr<const void> token_ = std::make_shared<int>(0);  // this backend's key in context states
};

}  // namespace kxmp::dataserver
