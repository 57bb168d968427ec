#pragma once
// A fixture with an empty catalog in the test's own home folder, and shorthands that build
// rows through the admin API (failing the test when a write fails). The catalog is the
// home's SQLite file, or (CatalogContract) a fresh schema of the test PostgreSQL server
// that the home's registry names, as kxmp setup --catalog leaves it.

#include <gtest/gtest.h>

#include <string>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/catalog/CatalogLocator.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/PostgresServer.h"
#include "support/TempHome.h"

namespace kxmp::test {

enum class CatalogBackend { Sqlite, Postgres };

inline std::string BackendName(const ::testing::TestParamInfo<CatalogBackend>& info) {
  return info.param == CatalogBackend::Sqlite ? "Sqlite" : "Postgres";
}

class CatalogTest : public HomeTest {
 protected:
  void SetUp() override { SetUpCatalog(CatalogBackend::Sqlite); }

  // Skips the test when the backend's server cannot run on this machine.
  void SetUpCatalog(CatalogBackend backend) {
    HomeTest::SetUp();
    if (backend == CatalogBackend::Postgres) {
      std::string why;
      bool installed = false;
      pg_ = PostgresServer::Shared(why, installed);
      if (pg_ == nullptr && !installed) GTEST_SKIP() << why;
      ASSERT_NE(pg_, nullptr) << why;
      connection_ = pg_->NewCatalog(&schema_);
      ASSERT_TRUE(KXPlatformInfo().setRegString(catalog::kCatalogRegistryKey, catalog::kCatalogConnectionValue,
                                                connection_));
    }
    admin_ = std::make_unique<catalog::CatalogAdmin>();
    CZoError e = admin_->CreateSchema();
    ASSERT_FALSE(e.IsError()) << e.AsString();
  }

  void AddMountPath(int64_t id, const std::string& host, const std::string& path,
                    const std::string& library = "lib") {
    CZoError e = admin_->PutMountPath({id, host, path, library});
    ASSERT_FALSE(e.IsError()) << e.AsString();
  }
  void AddSubclient(uint64_t id, const std::string& guid, const std::string& backupsetGuid = "") {
    CZoError e = admin_->PutSubclient({id, guid, backupsetGuid});
    ASSERT_FALSE(e.IsError()) << e.AsString();
  }
  void Attach(uint64_t subclient, int64_t mountPath, int64_t kind, int64_t position) {
    CZoError e = admin_->Attach(subclient, mountPath, kind, position);
    ASSERT_FALSE(e.IsError()) << e.AsString();
  }
  std::string CatalogPath() const { return catalog::DefaultCatalogPath(); }

  std::unique_ptr<catalog::CatalogAdmin> admin_;
  PostgresServer* pg_ = nullptr;  // the PostgreSQL backend's server and schema
  std::string connection_;
  std::string schema_;
};

// The same tests on every catalog store.
class CatalogContract : public CatalogTest, public ::testing::WithParamInterface<CatalogBackend> {
 protected:
  void SetUp() override { SetUpCatalog(GetParam()); }
};

#define KXMP_CATALOG_CONTRACT(suite)                                                                \
  INSTANTIATE_TEST_SUITE_P(Stores, suite,                                                           \
                           ::testing::Values(::kxmp::test::CatalogBackend::Sqlite,                  \
                                             ::kxmp::test::CatalogBackend::Postgres),               \
                           ::kxmp::test::BackendName)

}  // namespace kxmp::test
