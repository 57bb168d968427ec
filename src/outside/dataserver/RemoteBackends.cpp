// Which storage hosts are served remotely: those with settings under DataServer/Hosts/<NAME>
// (StorageHostSettings.h), over SFTP, whose backend is the module libkxmp-sftp.so.
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/StorageHostSettings.h"
#include "outside/dataserver/sftp/SftpModule.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

namespace kxmp::dataserver {

namespace {

bool Same(const SftpSettings& a, const SftpSettings& b) {
  return a.address == b.address && a.port == b.port && a.user == b.user && a.identityFile == b.identityFile &&
         a.passphraseFile == b.passphraseFile &&
         a.knownHostsFile == b.knownHostsFile && a.connectTimeoutSec == b.connectTimeoutSec &&
         a.ioTimeoutSec == b.ioTimeoutSec;
}

// The SFTP backend of each configured storage host, made on first use and kept while the
// host's settings stay the same: the backend owns the connection pool, so keeping one per
// host is what lets every context and object of the host share one connection. Changed
// settings get a new backend; objects made by the old one keep it alive until they are done.
class SftpBackends {
 public:
  // A module that cannot be loaded is an error naming it: the host is then unreachable.
  CZoError For(const std::string& plainName, const SftpSettings& settings, std::shared_ptr<Backend>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entries_[plainName];
    if (!entry.backend || !Same(entry.settings, settings)) {
      const SftpModule* sftp = nullptr;
      CZoError err = LoadSftpModule(sftp);
      if (err.IsError()) return err;
      entry.settings = settings;
      entry.backend = sftp->makeBackend(settings, plainName, nullptr);
    }
    out = entry.backend;
    return CZoError::Success();
  }

 private:
  struct Entry {
    SftpSettings settings;
    std::shared_ptr<Backend> backend;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

std::atomic<int> sessionsPerHost{kDefaultSftpSessionsPerHost};
std::atomic<int> downPeriod{0};

SftpBackends& TheSftpBackends() {
  // Never destroyed: interface objects may still be made and closed during process exit.
  static SftpBackends* backends = new SftpBackends();
  return *backends;
}

}  // namespace

std::shared_ptr<Backend> RemoteBackendFor(const CFSInitParams& params, CZoError& error) {
  const std::string name = PlainStorageHostName(params.host.hostName);
  bool found = false;
  SftpSettings settings;
  error = ReadStorageHost(name, found, settings);
  if (error.IsError() || !found) return nullptr;
  std::shared_ptr<Backend> backend;
  error = TheSftpBackends().For(name, settings, backend);
  if (error.IsError()) return nullptr;
  if (!backend) {
    error = FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Cannot make the SFTP backend of storage host %s", name.c_str());
  }
  return backend;
}

void SetSftpSessionsPerHost(int sessions) { sessionsPerHost = sessions < 1 ? 1 : sessions; }

int SftpSessionsPerHost() { return sessionsPerHost; }

void SetSftpDownPeriod(int seconds) { downPeriod = seconds < 0 ? 0 : seconds; }

int SftpDownPeriod() { return downPeriod; }

CZoError LoadSftpModule(const SftpModule*& out) {
  return module::LoadTable(kSftpModuleName, kSftpModuleEntry, out);
}

std::shared_ptr<Backend> MakeSftpBackend(const SftpSettings& settings, std::string plainHostName,
                                         std::shared_ptr<MountPathAuthority> authority) {
  const SftpModule* sftp = nullptr;
  CZoError err = LoadSftpModule(sftp);
  if (err.IsError()) {
    KXLOG_ERROR("No SFTP backend for storage host [%s]: %s", plainHostName.c_str(), err.AsString().c_str());
    return nullptr;
  }
  return sftp->makeBackend(settings, std::move(plainHostName), std::move(authority));
}

CZoError CheckSftpHost(const SftpSettings& settings, const std::string& plainHostName, SftpHostCheck& out) {
  const SftpModule* sftp = nullptr;
  CZoError err = LoadSftpModule(sftp);
  if (err.IsError()) return err;
  return sftp->checkHost(settings, plainHostName, out);
}

}  // namespace kxmp::dataserver
