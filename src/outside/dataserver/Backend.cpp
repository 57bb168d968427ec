// The interfaces' part of the public API: the factories ask the process's backend; what
// every backend answers alike from its other operations is answered here once.
#include "outside/dataserver/Backend.h"

#include <sys/stat.h>

#include "outside/dataserver/BackendRouter.h"

namespace kxmp::dataserver {

Backend::~Backend() = default;

}  // namespace kxmp::dataserver

CFSInterface::~CFSInterface() = default;
CFileInterface::~CFileInterface() = default;

CZoError CFSInterface::IsFolder(std::string path, bool& isFolder) {
  isFolder = false;
  SZoFileStat st {};
  CZoError err = Stat(std::move(path), st);
  if (err.IsError()) return err;
  isFolder = S_ISDIR(st.st_mode);
  return CZoError::Success();
}

CZoError CFileInterface::GetSize(long long& size) {
  size = 0;
  SZoFileStat st {};
  CZoError err = Stat(st);
  if (err.IsError()) return err;
  size = st.st_size;
  return CZoError::Success();
}

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
