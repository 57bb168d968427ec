#pragma once
// A context of subclient 42 on storage host "ma1", mount path <home>/mp1 (listed in the
// catalog), whose root folder <home>/mp1/KX_APP_DUMPS/guid-42 exists and is set. The GUID
// comes from the registry cache, so the identity component is never asked. Every data-server
// call goes through a recording FaultyBackend over the default backend.

#include <sys/stat.h>

#include <memory>
#include <string>

#include "kxmp/DataServerContext.h"
#include "outside/dataserver/Backend.h"
#include "support/FaultyBackend.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"
#include "support/MountPathCatalog.h"
#include "support/TempHome.h"

namespace kxmp::test {

class FacadeTest : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    mount_ = home_->sub("mp1");
    ASSERT_EQ(::mkdir(mount_.c_str(), 0750), 0);
    AddCatalogMountPath("ma1", mount_);
    ASSERT_TRUE(KXPlatformInfo().setRegString("~Tessel/MAMountPoint/42", "sSubClientGUID", "guid-42"));
    context_ = std::make_unique<DataServerContext>(42, "ma1", mount_, 7, false);
    root_ = context_->getInitRootFolder();
    ASSERT_EQ(root_, mount_ + "/KX_APP_DUMPS/guid-42");
    ASSERT_FALSE(CZoDirectory::Create(root_, true).IsError());
    context_->setRootFolder(root_);
    faulty_ = std::make_shared<dataserver::FaultyBackend>();
    scope_ = std::make_unique<dataserver::ScopedBackend>(faulty_);
    log_->Clear();
  }
  void TearDown() override {
    scope_.reset();
    context_.reset();
    HomeTest::TearDown();
  }

  std::string At(const std::string& rel) const { return root_ + "/" + rel; }
  // The path of the last recorded call of `op`, "" when there was none.
  std::string LastPath(const std::string& op) const {
    std::string path;
    for (const auto& c : faulty_->Calls()) {
      if (c.op == op) path = c.path;
    }
    return path;
  }

  std::string mount_;
  std::string root_;
  std::unique_ptr<DataServerContext> context_;
  std::shared_ptr<dataserver::FaultyBackend> faulty_;
  std::unique_ptr<dataserver::ScopedBackend> scope_;
};

}  // namespace kxmp::test
