#pragma once
// The catalog in one SQLite file (by default $KX_HOME/catalog.db), opened per call so that
// several processes can use it at once. Readers open it read-only and never create it; a
// write takes the write lock up front (BEGIN IMMEDIATE), so the checks and the changes of one
// writer see no other writer between them. A missing file is kNotFound, except for
// CreateSchema, which makes it (and its folder).

#include <string>

#include "outside/catalog/CatalogStore.h"

namespace kxmp::catalog {

class KXMP_EXPORT SqliteCatalogStore : public CatalogStore {
 public:
  explicit SqliteCatalogStore(std::string path);

  std::string Name() const override { return path_; }
  CZoError CreateSchema(bool& created, int& upgradedFrom) override;
  CZoError SchemaVersion(int& version) override;
  CZoError DetachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) override;
  CZoError FindSubclient(uint64_t id, SubclientRecord& out, bool& found) override;
  CZoError AttachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) override;
  CZoError MountPathsOfHost(const std::string& host, std::vector<std::string>& paths) override;
  CZoError AllSubclients(std::vector<SubclientRecord>& out) override;
  CZoError AllMountPaths(std::vector<MountPathRecord>& out) override;
  CZoError Write(const WriteBody& body) override;

 private:
  std::string path_;
};

}  // namespace kxmp::catalog
