#pragma once
// The PostgreSQL module (libkxmp-postgres.so): what the shared library asks of the PostgreSQL
// catalog. CatalogLocator loads it when a site catalog is configured or checked.

#include <memory>
#include <string>

#include "outside/catalog/CatalogStore.h"
#include "outside/module/Module.h"

namespace kxmp::catalog {

constexpr char kPostgresModuleName[] = "postgres";
constexpr char kPostgresModuleEntry[] = "kxmp_postgres_module";

struct PostgresModule {
  module::Header header;
  CZoError (*makeStore)(const std::string& conninfo, std::unique_ptr<CatalogStore>& out);
  // PgConnection::CheckConnectionString.
  CZoError (*checkConnection)(const std::string& conninfo);
};

}  // namespace kxmp::catalog

extern "C" const kxmp::catalog::PostgresModule* kxmp_postgres_module();
