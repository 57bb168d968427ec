// The entry of the PostgreSQL module.
#include "outside/catalog/postgres/PostgresModule.h"

#include <new>

#include "outside/catalog/postgres/PgConnection.h"
#include "outside/catalog/postgres/PostgresCatalogStore.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::catalog {

namespace {

CZoError MakeStore(const std::string& conninfo, std::unique_ptr<CatalogStore>& out) {
  try {
    out = std::make_unique<PostgresCatalogStore>(conninfo);
    return CZoError::Success();
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory opening the catalog");
  }
}

CZoError CheckConnection(const std::string& conninfo) {
  try {
    return PgConnection::CheckConnectionString(conninfo);
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory checking the catalog connection");
  }
}

const PostgresModule kModule{module::MakeHeader(kPostgresModuleName, KXMP_MODULE_VERSION), &MakeStore,
                             &CheckConnection};

}  // namespace

}  // namespace kxmp::catalog

extern "C" KXMP_EXPORT const kxmp::catalog::PostgresModule* kxmp_postgres_module() { return &kxmp::catalog::kModule; }
