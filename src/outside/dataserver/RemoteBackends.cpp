#include "outside/dataserver/BackendRouter.h"

namespace kxmp::dataserver {

// No remote transport is built in yet: every storage host is served locally.
std::shared_ptr<Backend> RemoteBackendFor(const CFSInitParams& /*params*/, CZoError& error) {
  error = CZoError::Success();
  return nullptr;
}

}  // namespace kxmp::dataserver
