#include "outside/dataserver/sftp/SftpBackend.h"

#include "outside/dataserver/sftp/SftpFSInterface.h"
#include "outside/dataserver/sftp/SftpFileInterface.h"

namespace kxmp::dataserver {

SftpBackend::SftpBackend(SftpSettings settings, std::string plainHostName,
                         std::shared_ptr<MountPathAuthority> authority, std::chrono::steady_clock::duration idleLimit)
    : settings_(std::move(settings)),
      hostName_(std::move(plainHostName)),
      authority_(authority ? std::move(authority) : std::make_shared<CatalogMountPathAuthority>()),
      pool_(std::make_shared<SftpPool>(idleLimit)) {}

CFSInterface* SftpBackend::NewFSInterface(const CFSInitParams& params) {
  return new SftpFSInterface(params, authority_, pool_->Get(settings_, hostName_),
                             SftpTree::CacheOf(params, token_));
}

CFileInterface* SftpBackend::NewFileInterface(const CFSInitParams& params) {
  return new SftpFileInterface(params, authority_, pool_->Get(settings_, hostName_),
                               SftpTree::CacheOf(params, token_));
}

}  // namespace kxmp::dataserver
