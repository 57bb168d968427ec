#include "outside/dataserver/MountPathAuthority.h"

#include <errno.h>

#include <memory>
#include <new>

#include "outside/catalog/CatalogLocator.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

MountPathAuthority::~MountPathAuthority() = default;

CatalogMountPathAuthority::CatalogMountPathAuthority(std::string catalogPath)
    : catalogPath_(std::move(catalogPath)) {}

CZoError CatalogMountPathAuthority::MountPathsOf(const std::string& host, std::vector<std::string>& paths) {
  paths.clear();
  try {
    std::unique_ptr<catalog::CatalogStore> store;
    CZoError err = catalog::OpenCatalogStore(catalogPath_, store);
    if (!err.IsError()) err = store->MountPathsOfHost(host, paths);
    if (!err.IsError()) return err;
    paths.clear();
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kNotFound)) return CZoError::Success();  // no catalog
    return err.Push(FX_LOC, "Cannot read the mount paths of host [%s]", host.c_str());
  } catch (const std::bad_alloc&) {
    paths.clear();
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory reading the mount paths of host [%s]", host.c_str());
  }
}

void FixedMountPathAuthority::Add(const std::string& host, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.emplace(host, path);
}

CZoError FixedMountPathAuthority::MountPathsOf(const std::string& host, std::vector<std::string>& paths) {
  paths.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  auto range = paths_.equal_range(host);
  for (auto it = range.first; it != range.second; ++it) paths.push_back(it->second);
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
