#pragma once
// The installed default backend: picks the backend of each storage host. A host configured
// for a remote transport is served by the backend RemoteBackendFor makes for it; every other
// host by the local backend. The choice is made once per data-server context (kept in its
// ContextState); objects made without a context ask each time.

#include <functional>
#include <memory>

#include "outside/dataserver/Backend.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

// The process's backend: the installed one, else the default router. InstallBackend puts
// another in place (null: the default again) and returns the one it replaces; a program
// that serves storage its own way (a test) installs it.
std::shared_ptr<Backend> CurrentBackend();
std::shared_ptr<Backend> InstallBackend(std::shared_ptr<Backend> backend);

// The remote backend that serves the storage host of the parameters, or null for the local
// backend. An error (settings that cannot be used) fails the objects made for the host.
std::shared_ptr<Backend> RemoteBackendFor(const CFSInitParams& params, CZoError& error);

class BackendRouter : public Backend {
 public:
  using RemoteLookup = std::function<std::shared_ptr<Backend>(const CFSInitParams&, CZoError&)>;

  // lookup: how a storage host's remote backend is found (tests count and steer it).
  explicit BackendRouter(std::shared_ptr<Backend> local, RemoteLookup lookup = RemoteBackendFor);
  BackendCapabilities Capabilities(const CFSInitParams& params) override;
  CFSInterface* NewFSInterface(const CFSInitParams& params) override;
  CFileInterface* NewFileInterface(const CFSInitParams& params) override;

 private:
  // The backend for the parameters' storage host, or null when none can serve it.
  std::shared_ptr<Backend> Pick(const CFSInitParams& params);

  std::shared_ptr<Backend> local_;
  RemoteLookup lookup_;
  const std::shared_ptr<const void> token_;  // this router's key in context states
};

}  // namespace kxmp::dataserver
