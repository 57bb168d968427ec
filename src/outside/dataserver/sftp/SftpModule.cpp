// The entry of the SFTP module.
#include "outside/dataserver/sftp/SftpModule.h"

#include <chrono>
#include <new>

#include "outside/dataserver/sftp/SftpBackend.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

std::shared_ptr<Backend> MakeBackend(const SftpSettings& settings, std::string plainHostName,
                                     std::shared_ptr<MountPathAuthority> authority) {
  try {
    return std::make_shared<SftpBackend>(settings, std::move(plainHostName), std::move(authority));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

CZoError CheckHost(const SftpSettings& settings, const std::string& plainHostName, SftpHostCheck& out) {
  try {
    out = SftpHostCheck();
    std::unique_ptr<SshSession> session;
    CZoError err = SshSession::Open(settings, plainHostName, session);
    if (err.IsError()) return err;
    out.hostKeyType = session->HostKeyType();
    out.hostKeyFingerprint = session->HostKeyFingerprint();
    out.serverBanner = session->Banner();
    out.extensions = session->ServerExtensions();
    std::string real;
    const auto start = std::chrono::steady_clock::now();
    long rc = session->Sftp().RealPath(".", real);
    if (rc != 0) return session->Fail(FX_LOC, rc, "Cannot resolve", ".");
    out.roundTripMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return CZoError::Success();
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory checking storage host %s", settings.address.c_str());
  }
}

const SftpModule kModule{module::MakeHeader(kSftpModuleName, KXMP_MODULE_VERSION), &MakeBackend, &CheckHost};

}  // namespace

}  // namespace kxmp::dataserver

extern "C" KXMP_EXPORT const kxmp::dataserver::SftpModule* kxmp_sftp_module() { return &kxmp::dataserver::kModule; }
