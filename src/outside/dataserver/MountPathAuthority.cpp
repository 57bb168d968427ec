#include "outside/dataserver/MountPathAuthority.h"

#include <errno.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "kxmp/RegistryNames.h"
#include "outside/catalog/CatalogLocator.h"
#include "outside/catalog/CatalogOutage.h"
#include "outside/dataserver/ServedPath.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXString.h"

namespace kxmp::dataserver {

MountPathAuthority::~MountPathAuthority() = default;

CZoError MountPathAuthority::MountPathsFor(const MountPathQuery& query, std::vector<std::string>& paths) {
  return MountPathsOf(query.host, paths);
}

namespace {

// The mount paths the subclient's cache lists on the host (entries 0..nFailoverNumber).
void CachedMountPaths(const MountPathQuery& query, std::vector<std::string>& paths) {
  paths.clear();
  if (query.subclientId == 0) return;
  std::map<std::string, std::string> values;
  if (!KXPlatformInfo().getRegValues(FXString::Format("~%s/%llu", MAMountPointKey,
                                                      static_cast<unsigned long long>(query.subclientId)),
                                     &values)) {
    return;
  }
  // A damaged count never walks more entries than the key has values.
  long long count = std::strtoll(values[FailoverNumber].c_str(), nullptr, 10);
  if (count < 0) count = 0;
  if (static_cast<unsigned long long>(count) > values.size()) count = static_cast<long long>(values.size());
  for (long long i = 0; i <= count; ++i) {
    const std::string suffix = i == 0 ? std::string() : "_" + std::to_string(i);
    if (values[MAHostnameMangledVal + suffix] != query.host) continue;
    const std::string& path = values[MAMountPathVal + suffix];
    if (!path.empty()) paths.push_back(path);
  }
}

// Whether `mount` holds `root`, component-wise.
bool Holds(const std::string& mount, const std::string& root) {
  std::vector<std::string> m, r;
  if (ServedPath::SplitAbsolute(mount, m) != 0 || ServedPath::SplitAbsolute(root, r) != 0) return false;
  if (m.size() > r.size()) return false;
  for (size_t i = 0; i < m.size(); ++i) {
    if (m[i] != r[i]) return false;
  }
  return true;
}

}  // namespace

CZoError CatalogMountPathAuthority::MountPathsFor(const MountPathQuery& query, std::vector<std::string>& paths) {
  try {
    if (catalogPath_.empty()) {
      CachedMountPaths(query, paths);
      for (const std::string& m : paths) {
        if (Holds(m, query.root)) return CZoError::Success();
      }
    }
    return MountPathsOf(query.host, paths);
  } catch (const std::bad_alloc&) {
    paths.clear();
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory reading the mount paths of host [%s]",
                                   query.host.c_str());
  }
}

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
    if (!FXErrorUtil::IsErrNo(err, ENOMEM)) catalog::NoteCatalogFailed(err);
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
