#include "outside/dataserver/sftp/SftpBackend.h"

#include <chrono>

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
  return new SftpFSInterface(params, authority_, pool_->Get(settings_, hostName_), faults_);
}

CFileInterface* SftpBackend::NewFileInterface(const CFSInitParams& params) {
  return new SftpFileInterface(params, authority_, pool_->Get(settings_, hostName_), faults_);
}

std::shared_ptr<Backend> MakeSftpBackend(const SftpSettings& settings, std::string plainHostName,
                                         std::shared_ptr<MountPathAuthority> authority) {
  return std::make_shared<SftpBackend>(settings, std::move(plainHostName), std::move(authority));
}

CZoError CheckSftpHost(const SftpSettings& settings, SftpHostCheck& out) {
  out = SftpHostCheck();
  std::unique_ptr<SshSession> session;
  CZoError err = SshSession::Open(settings, settings.address, session);
  if (err.IsError()) return err;
  out.hostKeyType = session->HostKeyType();
  out.hostKeyFingerprint = session->HostKeyFingerprint();
  out.serverBanner = session->Banner();
  out.extensions = session->ServerExtensions();
  char buf[4096];
  const auto start = std::chrono::steady_clock::now();
  long rc = session->Call([&] {
    return libssh2_sftp_symlink_ex(session->Sftp(), ".", 1, buf, sizeof buf, LIBSSH2_SFTP_REALPATH);
  });
  if (rc < 0) return session->Fail(FX_LOC, rc, "Cannot resolve", ".");
  out.roundTripMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
