#pragma once
// A fixture with an empty catalog in the test's own home folder, and shorthands that build
// rows through the admin API (failing the test when a write fails).

#include <gtest/gtest.h>

#include <string>

#include "outside/catalog/CatalogAdmin.h"
#include "outside/catalog/CatalogDb.h"
#include "support/TempHome.h"

namespace kxmp::test {

class CatalogTest : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    admin_ = std::make_unique<catalog::CatalogAdmin>();
    ASSERT_FALSE(admin_->CreateSchema().IsError());
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
};

}  // namespace kxmp::test
