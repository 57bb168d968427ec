// Which storage hosts are served remotely: those with settings under DataServer/Hosts/<NAME>
// (StorageHostSettings.h), over SFTP.
#include <cerrno>
#include <map>
#include <mutex>

#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/StorageHostSettings.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

bool Same(const SftpSettings& a, const SftpSettings& b) {
  return a.address == b.address && a.port == b.port && a.user == b.user && a.identityFile == b.identityFile &&
         a.knownHostsFile == b.knownHostsFile && a.connectTimeoutSec == b.connectTimeoutSec &&
         a.ioTimeoutSec == b.ioTimeoutSec;
}

// The SFTP backend of each configured storage host, made on first use and kept while the
// host's settings stay the same: the backend owns the connection pool, so keeping one per
// host is what lets every context and object of the host share one connection. Changed
// settings get a new backend; objects made by the old one keep it alive until they are done.
class SftpBackends {
 public:
  std::shared_ptr<Backend> For(const std::string& plainName, const SftpSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entries_[plainName];
    if (!entry.backend || !Same(entry.settings, settings)) {
      entry.settings = settings;
      entry.backend = MakeSftpBackend(settings, plainName);
    }
    return entry.backend;
  }

 private:
  struct Entry {
    SftpSettings settings;
    std::shared_ptr<Backend> backend;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

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
  std::shared_ptr<Backend> backend = TheSftpBackends().For(name, settings);
  if (!backend) {
    error = FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Cannot make the SFTP backend of storage host %s", name.c_str());
  }
  return backend;
}

}  // namespace kxmp::dataserver
