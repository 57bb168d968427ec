#pragma once
// The catalog of a site in PostgreSQL, shared by its client machines. Each call opens its
// own connection (the connection string of the registry), so a failing server costs at most
// the connect timeout and leaves nothing behind.
//
// Reads are single SELECT statements (read rights suffice). A write runs in one READ
// COMMITTED transaction; LockSubclient takes the subclient's row with SELECT ... FOR UPDATE
// and FindMountPath takes the mount path's row FOR SHARE, so the checks of two writers of
// one subclient never interleave and an attachment never outlives its mount path. A
// transaction that loses a deadlock or a serialization race is run again (a few times).
// CreateSchema reads the version first and creates or upgrades under an advisory lock, so two
// machines may run it at once.

#include <string>

#include "outside/catalog/CatalogStore.h"

namespace kxmp::catalog {

class KXMP_EXPORT PostgresCatalogStore : public CatalogStore {
 public:
  static constexpr int kWriteAttempts = 5;

  explicit PostgresCatalogStore(std::string conninfo);

  std::string Name() const override;
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
  std::string conninfo_;
};

}  // namespace kxmp::catalog
