#pragma once
// Subclient 42 (GUID "sc-guid-42", backup set "bs-guid-42") in the catalog of the test's
// home, and three storage hosts ma1..ma3 with one mount path each (<home>/mpN, created and
// listed in the catalog, not attached to the subclient). A fault-injecting backend over the
// local one is installed for the test.

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/UnixMountingPointDriver.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/dataserver/Backend.h"
#include "support/FaultyBackend.h"
#include "outside/event/EventLog.h"
#include "support/TempHome.h"

namespace kxmp::test {

class ContextTest : public HomeTest {
 protected:
  static constexpr unsigned long kSubclient = 42;

  void SetUp() override {
    HomeTest::SetUp();
    admin_ = std::make_unique<catalog::CatalogAdmin>();
    ASSERT_FALSE(admin_->CreateSchema().IsError());
    ASSERT_FALSE(admin_->PutSubclient({kSubclient, "sc-guid-42", "bs-guid-42"}).IsError());
    for (int i = 1; i <= 3; ++i) {
      const std::string mp = home_->sub("mp" + std::to_string(i));
      ::mkdir(mp.c_str(), 0750);
      mounts_.push_back(mp);
      hosts_.push_back("ma" + std::to_string(i));
      CZoError e = admin_->PutMountPath({i, hosts_.back(), mp, "lib"});
      ASSERT_FALSE(e.IsError()) << e.AsString();
    }
    faulty_ = std::make_shared<dataserver::FaultyBackend>();
    scope_ = std::make_unique<dataserver::ScopedBackend>(faulty_);
  }

  void TearDown() override {
    scope_.reset();
    HomeTest::TearDown();
  }

  // The subclient's root folder on mount path i (0-based).
  std::string RootOn(size_t i, const std::string& guid = "sc-guid-42") const {
    return mounts_.at(i) + "/KX_APP_DUMPS/" + guid;
  }

  DataServerContextPtr Open(size_t i, bool forBackup, const std::string& appendPath = "",
                            bool prefixInstanceGuid = false) {
    return driver_.InitializeDataServerAPI(kSubclient, hosts_.at(i), mounts_.at(i), static_cast<int>(i + 1),
                                           appendPath, prefixInstanceGuid, forBackup);
  }

  // Events of one id whose first argument is `arg`.
  static int EventsFor(unsigned int id, const std::string& arg) {
    int n = 0;
    for (const auto& e : events::ReadAll()) {
      if (e.id == id && !e.args.empty() && e.args[0] == arg) ++n;
    }
    return n;
  }

  static int SuppressionCount(const std::string& host) {
    std::lock_guard<std::mutex> guard(AbstractMountingPointDriver::m_eventSuppressorLock);
    auto it = AbstractMountingPointDriver::m_eventSuppressor.find(host);
    return it == AbstractMountingPointDriver::m_eventSuppressor.end() ? 0 : it->second;
  }

  std::unique_ptr<catalog::CatalogAdmin> admin_;
  std::vector<std::string> mounts_;
  std::vector<std::string> hosts_;
  std::shared_ptr<dataserver::FaultyBackend> faulty_;
  std::unique_ptr<dataserver::ScopedBackend> scope_;
  UnixMountingPointDriver driver_;
};

constexpr unsigned int kEventDataServerNotReady = 0x4A000569;

}  // namespace kxmp::test
