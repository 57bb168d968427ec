#pragma once
// A storage host "ma1" with the mount path <home>/mp1 listed in the catalog, and params
// whose served tree is the root folder <home>/mp1/KX_APP_DUMPS/guid-1 (not created).

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/CFileInterface.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/error/FXErrorUtil.h"
#include "support/MountPathCatalog.h"
#include "support/TempHome.h"

namespace kxmp::test {

// The catalog's answer, counted; the next `failures` questions fail with EIO.
class CountingAuthority : public dataserver::MountPathAuthority {
 public:
  CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) override {
    ++calls;
    if (failures > 0) {
      --failures;
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "catalog unreadable (test)");
    }
    return catalog_.MountPathsOf(host, paths);
  }
  std::atomic<int> calls{0};
  std::atomic<int> failures{0};

 private:
  dataserver::CatalogMountPathAuthority catalog_;
};

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
