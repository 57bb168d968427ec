// The interfaces' part of the public API: the factories ask the process's backend.
#include "outside/dataserver/Backend.h"

#include "outside/dataserver/BackendRouter.h"

namespace kxmp::dataserver {

Backend::~Backend() = default;

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
