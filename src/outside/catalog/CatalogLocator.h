#pragma once
// Which catalog this machine uses. The platform registry value Catalog/sConnection (written
// by kxmp setup --catalog) holds a libpq connection (a postgresql:// URI or key=value text)
// and selects the site's PostgreSQL catalog; "sqlite:<file>" there selects a SQLite file.
// Without the value, the machine's own SQLite catalog at $KX_HOME/catalog.db is used.

#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/ArMgrTypes.h"
#include "outside/catalog/CatalogStore.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

constexpr const char* kCatalogRegistryKey = "Catalog";
constexpr const char* kCatalogConnectionValue = "sConnection";

struct KXMP_EXPORT CatalogLocation {
  enum class Kind { Sqlite, Postgres };
  Kind kind = Kind::Sqlite;
  std::string target;  // the file, or the connection string

  static CatalogLocation Sqlite(std::string path) { return {Kind::Sqlite, std::move(path)}; }
  static CatalogLocation Postgres(std::string conninfo) { return {Kind::Postgres, std::move(conninfo)}; }
  // The text Catalog/sConnection holds for this location.
  std::string RegistryText() const { return kind == Kind::Sqlite ? "sqlite:" + target : target; }
};

// The catalog file below the home folder.
KXMP_EXPORT std::string DefaultCatalogPath();

// EINVAL (with the reason) when the text is no libpq connection string, or holds a password:
// passwords belong in libpq's password file, never in the registry.
KXMP_EXPORT CZoError CheckCatalogConnection(const std::string& conninfo);

// The configured catalog of the home. An unreadable registry is kUnreadable.
KXMP_EXPORT CZoError LocateCatalog(CatalogLocation& out);

// The store of a location (allocation failures are errors).
KXMP_EXPORT CZoError MakeCatalogStore(const CatalogLocation& where, std::unique_ptr<CatalogStore>& out);

// The store of the SQLite file sqlitePath, or of the configured catalog when it is empty.
KXMP_EXPORT CZoError OpenCatalogStore(const std::string& sqlitePath, std::unique_ptr<CatalogStore>& out);

// What answers the catalog's two look-ups (a subclient's mount paths and its identity) in a
// program that brings its own answers, such as a test. Unset, both ask the configured catalog.
class CatalogStandIn {
 public:
  virtual ~CatalogStandIn() = default;
  // true when it answers (result is then the look-up's return code), false to ask the catalog.
  virtual bool MountPaths(const GetSubclientMountpathListArgs_t& args, GetSubclientMountpathListRet_t& ret,
                          int& result) = 0;
  virtual bool Identity(uint64_t subclientId, SubclientRecord& out, int& result) = 0;
};
void SetCatalogStandIn(std::shared_ptr<CatalogStandIn> standIn);
std::shared_ptr<CatalogStandIn> CurrentCatalogStandIn();

}  // namespace kxmp::catalog
