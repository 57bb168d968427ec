#pragma once
// A storage host "ma1" with the mount path <home>/mp1 listed in the catalog, and params
// whose served tree is the root folder <home>/mp1/KX_APP_DUMPS/guid-1 (not created).

#include <sys/stat.h>

#include <memory>
#include <string>

#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/CFileInterface.h"
#include "support/MountPathCatalog.h"
#include "support/TempHome.h"

namespace kxmp::test {

class DataServerTest : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    mount_ = home_->sub("mp1");
    ::mkdir(mount_.c_str(), 0750);
    root_ = mount_ + "/KX_APP_DUMPS/guid-1";
    AddCatalogMountPath("ma1", mount_);
    params_.version = 2;
    params_.protocol = 4;
    params_.host.hostName = "ma1";
    params_.host.mountPath = root_;
  }

  std::unique_ptr<CFSInterface> FS() const {
    return std::unique_ptr<CFSInterface>(CFSInterface::GetFSInterfaceInstance(params_));
  }
  std::unique_ptr<CFileInterface> File() const {
    return std::unique_ptr<CFileInterface>(CFileInterface::GetFileInterfaceInstance(params_));
  }
  std::string At(const std::string& rel) const { return root_ + "/" + rel; }

  std::string mount_;
  std::string root_;
  CFSInitParams params_;
};

}  // namespace kxmp::test
