#include "outside/dataserver/Backend.h"

#include <mutex>

#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/local/LocalBackend.h"

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

}  // namespace

Backend::~Backend() = default;

std::shared_ptr<Backend> CurrentBackend() {
  Slot& s = TheSlot();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.installed ? s.installed : s.fallback;
}

ScopedBackend::ScopedBackend(std::shared_ptr<Backend> backend) {
  Slot& s = TheSlot();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = std::move(s.installed);
  s.installed = std::move(backend);
}

ScopedBackend::ScopedBackend(Backend& backend) : ScopedBackend(std::shared_ptr<Backend>(&backend, [](Backend*) {})) {}

ScopedBackend::~ScopedBackend() {
  Slot& s = TheSlot();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.installed = std::move(previous_);
}

}  // namespace kxmp::dataserver

CFSInterface::~CFSInterface() = default;
CFileInterface::~CFileInterface() = default;

CFSInterface* CFSInterface::GetFSInterfaceInstance(const CFSInitParams& params) {
  try {
    std::shared_ptr<kxmp::dataserver::Backend> backend = kxmp::dataserver::CurrentBackend();
    return backend ? backend->NewFSInterface(params) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

CFileInterface* CFileInterface::GetFileInterfaceInstance(const CFSInitParams& params) {
  try {
    std::shared_ptr<kxmp::dataserver::Backend> backend = kxmp::dataserver::CurrentBackend();
    return backend ? backend->NewFileInterface(params) : nullptr;
  } catch (...) {
    return nullptr;
  }
}
