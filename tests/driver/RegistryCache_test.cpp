// Cached entries read back as mount path records, and the control server's own machine.
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/RegistryNumber.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "support/MountCache.h"
#include "support/TempHome.h"

using namespace kxmp::test;

class RegistryCacheTest : public HomeTest {};

TEST_F(RegistryCacheTest, ReadCacheUsesThePlainNamesForThePrimaryOnly) {
  std::map<std::string, std::string> values = {
      {"sMAHostnameMangled", "ma0"}, {"sMAMountPath", "/p0"},    {"iMAMountPathId", "7"},
      {"sMAHostnameMangled_2", "ma2"}, {"sMAMountPath_2", "/p2"}, {"iMAMountPathId_2", "-9"}};
  MountPathInfo primary = AbstractMountingPointDriver::readCache(values, 0);
  EXPECT_EQ(primary.hostName, "ma0");
  EXPECT_EQ(primary.mountPath, "/p0");
  EXPECT_EQ(primary.mountPathId, 7);
  EXPECT_EQ(primary.cacheIndex, 0);
  MountPathInfo second = AbstractMountingPointDriver::readCache(values, 2);
  EXPECT_EQ(second.hostName, "ma2");
  EXPECT_EQ(second.mountPath, "/p2");
  EXPECT_EQ(second.mountPathId, -9);
  EXPECT_EQ(second.cacheIndex, 2);
  // A missing entry reads as empty and its names are added to the map.
  MountPathInfo missing = AbstractMountingPointDriver::readCache(values, 1);
  EXPECT_TRUE(missing.hostName.empty());
  EXPECT_EQ(missing.mountPathId, 0);
  EXPECT_EQ(missing.cacheIndex, 1);
  EXPECT_EQ(values.count("iMAMountPathId_1"), 1u);
}

TEST_F(RegistryCacheTest, ReadCacheToleratesDamagedIds) {
  std::map<std::string, std::string> values = {{"sMAHostnameMangled", "ma"},
                                               {"iMAMountPathId", "99999999999999999999999"},
                                               {"iMAMountPathId_1", "12abc"},
                                               {"iMAMountPathId_2", ""}};
  EXPECT_EQ(AbstractMountingPointDriver::readCache(values, 0).mountPathId, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(AbstractMountingPointDriver::readCache(values, 1).mountPathId, 12);
  EXPECT_EQ(AbstractMountingPointDriver::readCache(values, 2).mountPathId, 0);
  EXPECT_EQ(kxmp::regnum::ToInt64("  -5x"), -5);
  EXPECT_EQ(kxmp::regnum::ToInt32("-99999999999"), std::numeric_limits<int32_t>::min());
}

TEST_F(RegistryCacheTest, ControlServerMachineIsComparedByPlainHostName) {
  // Not configured: nobody is the control server.
  EXPECT_FALSE(AbstractMountingPointDriver::isCSMACombo("cs*cs*0*0"));
  EXPECT_TRUE(log_->Has(-1, "Failed to get CS mangled err[2], consider it is not CS MA combo"));

  SetControlServer(true, "cs*cs*2*0");
  EXPECT_TRUE(AbstractMountingPointDriver::isCSMACombo("cs*display*5*1"));
  EXPECT_TRUE(log_->Has(0, "csHostname [cs], maHostname [cs]"));
  EXPECT_TRUE(AbstractMountingPointDriver::isCSMACombo("cs"));
  EXPECT_FALSE(AbstractMountingPointDriver::isCSMACombo("CS*CS*0*0"));  // case counts
  EXPECT_FALSE(AbstractMountingPointDriver::isCSMACombo("ma*ma*0*0"));
  EXPECT_FALSE(AbstractMountingPointDriver::isCSMACombo(""));
}

TEST_F(RegistryCacheTest, AddFromCacheSkipsEmptyEntriesAndTheOfflineControlServer) {
  SetControlServer(false, "cs*cs*0*0");
  std::vector<MountPathInfo> list;
  MountPathInfo onCS{5, "/cs", "cs*cs*0*0", 1};
  MountPathInfo empty{0, "", "", 2};
  MountPathInfo usable{6, "/ma", "ma*ma*0*0", 3};
  AbstractMountingPointDriver::addMountPathFromCache(list, onCS, 0);
  AbstractMountingPointDriver::addMountPathFromCache(list, empty, 0);
  AbstractMountingPointDriver::addMountPathFromCache(list, usable, 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].cacheIndex, 3);
  EXPECT_TRUE(log_->Has(0, "Skip cache for MAHostnameMangled[cs*cs*0*0] pathToMount[/cs] mountPathId[5]"));
  EXPECT_TRUE(log_->Has(0, "Cache is empty"));
  EXPECT_TRUE(log_->Has(0, "Read cache for MAHostnameMangled[ma*ma*0*0] pathToMount[/ma] mountPathId[6]"));
  // Online, the control server's machine is as good as any.
  AbstractMountingPointDriver::addMountPathFromCache(list, onCS, 1);
  EXPECT_EQ(list.size(), 2u);
}
