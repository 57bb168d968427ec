// The entry of the PostgreSQL module.
#include "outside/catalog/postgres/PostgresModule.h"

#include <new>

#include "outside/catalog/postgres/PgConnection.h"
#include "outside/catalog/postgres/PostgresCatalogStore.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"

namespace kxmp::catalog {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryOpeningCatalog =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory opening the catalog");
const CZoError kNoMemoryCheckingCatalogConnection =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory checking the catalog connection");

CZoError MakeStore(const std::string& conninfo, std::unique_ptr<CatalogStore>& out) {
  try {
    out = std::make_unique<PostgresCatalogStore>(conninfo);
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kNoMemoryOpeningCatalog, FX_LOC);
  }
}

CZoError CheckConnection(const std::string& conninfo) {
  try {
    return PgConnection::CheckConnectionString(conninfo);
  } catch (...) {
    return CaughtError(kNoMemoryCheckingCatalogConnection, FX_LOC);
  }
}

const PostgresModule kModule{module::MakeHeader(kPostgresModuleName, KXMP_MODULE_VERSION), &MakeStore,
                             &CheckConnection};

}  // namespace

}  // namespace kxmp::catalog

extern "C" KXMP_EXPORT const kxmp::catalog::PostgresModule* kxmp_postgres_module() { return &kxmp::catalog::kModule; }
