#include "support/MountPathCatalog.h"

#include <gtest/gtest.h>

#include "outside/catalog/CatalogAdmin.h"

namespace kxmp::test {

void AddCatalogMountPath(const std::string& host, const std::string& path, const std::string& library) {
  catalog::CatalogAdmin admin;
  CZoError err = admin.CreateSchema();
  if (!err.IsError()) err = admin.PutMountPath({0, host, path, library});
  if (err.IsError()) ADD_FAILURE() << "cannot list mount path " << path << " of " << host << ": " << err.AsString();
}

}  // namespace kxmp::test
