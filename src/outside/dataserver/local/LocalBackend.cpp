#include "outside/dataserver/local/LocalBackend.h"

#include <new>

#include "outside/dataserver/local/LocalFSInterface.h"
#include "outside/dataserver/local/LocalFileInterface.h"

namespace kxmp::dataserver {

LocalBackend::LocalBackend(std::shared_ptr<MountPathAuthority> authority, ResolveMode mode)
    : authority_(authority ? std::move(authority) : std::make_shared<CatalogMountPathAuthority>()),
      mode_(mode),
      token_(std::make_shared<char>()) {}

CFSInterface* LocalBackend::NewFSInterface(const CFSInitParams& params) {
  try {
    return new LocalFSInterface(params, authority_, mode_, ServedTree::CacheOf(params, token_));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

CFileInterface* LocalBackend::NewFileInterface(const CFSInitParams& params) {
  try {
    return new LocalFileInterface(params, authority_, mode_, ServedTree::CacheOf(params, token_));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace kxmp::dataserver
