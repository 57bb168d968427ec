// The context's registry keys: created when missing, removed on request.
#include <string>

#include <gtest/gtest.h>

#include "kxmp/DataServerContext.h"
#include "outside/registry/KXPlatformInfo.h"
#include "support/MountCache.h"
#include "support/TempHome.h"

using namespace kxmp::test;

class ContextRegistryTest : public HomeTest {};

TEST_F(ContextRegistryTest, CreateRegistryPathsMakesBothKeysOnceAndKeepsValues) {
  KXPlatformInfo platform;
  EXPECT_TRUE(DataServerContext::createRegistryPaths(platform, 42));
  EXPECT_TRUE(CacheKeyExists(42));
  CacheEntry(42, 0, "ma", "/p", 1);
  // Existing keys are left as they are.
  EXPECT_TRUE(DataServerContext::createRegistryPaths(platform, 42));
  EXPECT_EQ(CacheValues(42)["sMAMountPath"], "/p");
  EXPECT_TRUE(DataServerContext::createRegistryPaths(platform, 43));
  EXPECT_TRUE(CacheKeyExists(43));
}

TEST_F(ContextRegistryTest, CreateRegistryPathsReportsAKeyThatCannotBeMade) {
  // A file where the mount-point key's folder belongs.
  WriteFile(home_->sub("registry/Tessel"), "not a folder");
  KXPlatformInfo platform;
  EXPECT_FALSE(DataServerContext::createRegistryPaths(platform, 42));
  EXPECT_TRUE(log_->Has(-1, "Failed to create registry ~Tessel/MAMountPoint"));
}

TEST_F(ContextRegistryTest, DeleteRegistryKeysRemovesOneSubclientOnly) {
  CacheEntry(42, 0, "ma", "/p", 1);
  CacheEntry(420, 0, "ma", "/q", 2);
  DataServerContext::deleteRegistryKeys(42);
  EXPECT_FALSE(CacheKeyExists(42));
  EXPECT_TRUE(CacheKeyExists(420));
  // Nothing to delete: logged, no harm.
  DataServerContext::deleteRegistryKeys(42);
  EXPECT_EQ(log_->CountContaining("Failed to delete registry ["), 1);
}
