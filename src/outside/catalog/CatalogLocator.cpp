#include "outside/catalog/CatalogLocator.h"

#include <errno.h>

#include <atomic>
#include <new>

#include "outside/catalog/postgres/PostgresModule.h"
#include "outside/catalog/sqlite/SqliteCatalogStore.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/registry/RegistryStore.h"
#include "outside/util/KxHome.h"

namespace kxmp::catalog {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryLocatingCatalog =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory locating the catalog");
const CZoError kNoMemoryOpeningCatalog =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory opening the catalog");
}  // namespace

CatalogStore::~CatalogStore() = default;
CatalogWriter::~CatalogWriter() = default;

std::string DefaultCatalogPath() { return home::Path("catalog.db"); }

namespace {
// Set by a program that answers for the catalog; read at every look-up. Never destroyed, as
// look-ups may run during process exit.
std::shared_ptr<CatalogStandIn>& StandInSlot() {
  static auto* slot = new std::shared_ptr<CatalogStandIn>();
  return *slot;
}
}  // namespace

void SetCatalogStandIn(std::shared_ptr<CatalogStandIn> standIn) { std::atomic_store(&StandInSlot(), std::move(standIn)); }

std::shared_ptr<CatalogStandIn> CurrentCatalogStandIn() { return std::atomic_load(&StandInSlot()); }

namespace {

// The PostgreSQL catalog lives in a module (libkxmp-postgres.so), loaded on first use. One that
// cannot be loaded leaves the catalog unreadable, and the message names the file and why.
CZoError LoadPostgres(const PostgresModule*& out) {
  CZoError err = module::LoadTable(kPostgresModuleName, kPostgresModuleEntry, out);
  if (err.IsError()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreadable, "Cannot use the PostgreSQL catalog: %s",
                                   err.Message().c_str());
  }
  return err;
}

}  // namespace

CZoError CheckCatalogConnection(const std::string& conninfo) {
  const PostgresModule* postgres = nullptr;
  CZoError err = LoadPostgres(postgres);
  if (err.IsError()) return err;
  return postgres->checkConnection(conninfo);
}

CZoError LocateCatalog(CatalogLocation& out) {
  try {
    // Read quietly: a machine without the value is the common case, not an event to log.
    std::string text;
    CZoError err = registry::RegistryStore(home::Path("registry")).ReadValue(kCatalogRegistryKey,
                                                                              kCatalogConnectionValue, text);
    if (err.IsError()) {
      if (!FXErrorUtil::IsErrNo(err, ENOENT)) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreadable,
                                       "Cannot read the catalog connection %s/%s from the registry: %s",
                                       kCatalogRegistryKey, kCatalogConnectionValue, err.Message().c_str());
      }
      text.clear();
    }
    static const std::string kSqlitePrefix = "sqlite:";
    if (text.empty()) {
      out = CatalogLocation::Sqlite(DefaultCatalogPath());
    } else if (text.compare(0, kSqlitePrefix.size(), kSqlitePrefix) == 0) {
      out = CatalogLocation::Sqlite(text.substr(kSqlitePrefix.size()));
    } else {
      out = CatalogLocation::Postgres(text);
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kNoMemoryLocatingCatalog, FX_LOC);
  }
}

CZoError MakeCatalogStore(const CatalogLocation& where, std::unique_ptr<CatalogStore>& out) {
  try {
    if (where.kind == CatalogLocation::Kind::Postgres) {
      const PostgresModule* postgres = nullptr;
      CZoError err = LoadPostgres(postgres);
      if (err.IsError()) return err;
      return postgres->makeStore(where.target, out);
    } else {
      out = std::make_unique<SqliteCatalogStore>(where.target);
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kNoMemoryOpeningCatalog, FX_LOC);
  }
}

CZoError OpenCatalogStore(const std::string& sqlitePath, std::unique_ptr<CatalogStore>& out) {
  CatalogLocation where;
  if (!sqlitePath.empty()) {
    try {
      where = CatalogLocation::Sqlite(sqlitePath);
    } catch (...) {
      return CaughtError(kNoMemoryOpeningCatalog, FX_LOC);
    }
  } else {
    CZoError err = LocateCatalog(where);
    if (err.IsError()) return err;
  }
  return MakeCatalogStore(where, out);
}

}  // namespace kxmp::catalog
