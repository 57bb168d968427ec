#include "outside/dataserver/BackendRouter.h"

#include <mutex>

#include "outside/dataserver/ContextState.h"
#include "outside/dataserver/local/LocalBackend.h"
#include "outside/log/Log.h"

namespace kxmp::dataserver {

namespace {

// The installed backend: the one process-wide slot of this component, guarded by its
// mutex. Never destroyed, so objects made during process exit still find a backend. The
// fallback routes each storage host to its backend, the local one unless configured else.
struct Slot {
  std::mutex mutex;
  std::shared_ptr<Backend> installed;
  const std::shared_ptr<Backend> fallback = std::make_shared<BackendRouter>(std::make_shared<LocalBackend>());
};

Slot& TheSlot() {
  static Slot* slot = new Slot();
  return *slot;
}

// The router's choice for one context.
struct Route {
  std::mutex mutex;
  bool asked = false;
  std::shared_ptr<Backend> remote;
  CZoError error;
};

}  // namespace

BackendRouter::BackendRouter(std::shared_ptr<Backend> local, RemoteLookup lookup)
    : local_(std::move(local)), lookup_(std::move(lookup)), token_(std::make_shared<char>()) {}

std::shared_ptr<Backend> BackendRouter::Pick(const CFSInitParams& params) {
  std::shared_ptr<Backend> remote;
  CZoError error;
  if (std::shared_ptr<ContextState> state = FindContextState(params)) {
    std::shared_ptr<Route> route = state->Piece<Route>(token_);
    std::lock_guard<std::mutex> lock(route->mutex);
    if (!route->asked) {
      route->remote = lookup_(params, route->error);
      route->asked = true;
    }
    remote = route->remote;
    error = route->error;
  } else {
    remote = lookup_(params, error);
  }
  if (error.IsError()) {
    KXLOG_ERROR("No data server for storage host [%s]: %s", params.host.hostName.c_str(), error.AsString().c_str());
    return nullptr;
  }
  return remote ? remote : local_;
}

BackendCapabilities BackendRouter::Capabilities(const CFSInitParams& params) {
  std::shared_ptr<Backend> backend = Pick(params);
  return backend ? backend->Capabilities(params) : BackendCapabilities{};
}

CFSInterface* BackendRouter::NewFSInterface(const CFSInitParams& params) {
  std::shared_ptr<Backend> backend = Pick(params);
  return backend ? backend->NewFSInterface(params) : nullptr;
}

CFileInterface* BackendRouter::NewFileInterface(const CFSInitParams& params) {
  std::shared_ptr<Backend> backend = Pick(params);
  return backend ? backend->NewFileInterface(params) : nullptr;
}

std::shared_ptr<Backend> CurrentBackend() {
  Slot& s = TheSlot();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.installed ? s.installed : s.fallback;
}

std::shared_ptr<Backend> InstallBackend(std::shared_ptr<Backend> backend) {
  Slot& s = TheSlot();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::swap(s.installed, backend);
  return backend;
}

}  // namespace kxmp::dataserver
