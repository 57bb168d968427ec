#pragma once
// Lists a mount path of a storage host in the catalog of the test's home
// ($KX_HOME/catalog.db, table mount_path), creating the file and the table when missing.

#include <string>

namespace kxmp::test {

void AddCatalogMountPath(const std::string& host, const std::string& path, const std::string& library = "");

}  // namespace kxmp::test
