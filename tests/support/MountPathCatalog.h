#pragma once
// Lists a mount path of a storage host in the catalog of the test's home
// (through the admin API, under a new id), creating the catalog when missing.

#include <string>

namespace kxmp::test {

void AddCatalogMountPath(const std::string& host, const std::string& path, const std::string& library = "");

}  // namespace kxmp::test
