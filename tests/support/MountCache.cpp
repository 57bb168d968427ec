#include "support/MountCache.h"

#include <gtest/gtest.h>

#include "outside/registry/KXPlatformInfo.h"

namespace kxmp::test {

std::string SubclientKey(unsigned long subclientId) {
  return "~Tessel/MAMountPoint/" + std::to_string(subclientId);
}

static std::string Name(const char* plain, int index) {
  return index < 1 ? std::string(plain) : std::string(plain) + "_" + std::to_string(index);
}

void CacheEntry(unsigned long subclientId, int index, const std::string& host, const std::string& path,
                int32_t mountPathId) {
  KXPlatformInfo platform;
  const std::string key = SubclientKey(subclientId);
  ASSERT_TRUE(platform.setRegString(key, Name("sMAHostnameMangled", index), host));
  ASSERT_TRUE(platform.setRegString(key, Name("sMAMountPath", index), path));
  ASSERT_TRUE(platform.setRegInt(key, Name("iMAMountPathId", index), mountPathId));
}

void CacheState(unsigned long subclientId, int failoverNumber, int failoverCurrent, int64_t lastRefresh) {
  KXPlatformInfo platform;
  const std::string key = SubclientKey(subclientId);
  ASSERT_TRUE(platform.setRegInt(key, "nFailoverNumber", failoverNumber));
  ASSERT_TRUE(platform.setRegInt(key, "nFailoverCurrent", failoverCurrent));
  ASSERT_TRUE(platform.setRegString(key, "nLastRefreshTime", std::to_string(lastRefresh)));
}

std::map<std::string, std::string> CacheValues(unsigned long subclientId) {
  std::map<std::string, std::string> values;
  KXPlatformInfo().getRegValues(SubclientKey(subclientId), &values);
  return values;
}

bool CacheKeyExists(unsigned long subclientId) {
  std::map<std::string, std::string> values;
  return KXPlatformInfo().getRegValues(SubclientKey(subclientId), &values);
}

void SetControlServer(bool online, const std::string& csMangled) {
  KXPlatformInfo platform;
  ASSERT_TRUE(platform.setRegString("Runtime", "nCSONLINE", online ? "1" : "0"));
  if (!csMangled.empty()) {
    ASSERT_TRUE(platform.setRegString("Runtime", "sCSHostNameMangled", csMangled));
  }
}

MountpathInfo_t ReplyEntry(int64_t id, const std::string& path, int64_t kind, const std::string& host) {
  MountpathInfo_t entry;
  entry.mountPathId = id;
  entry.rawMountPath = "lib|[" + path + "]|" + std::to_string(id);
  entry.kind = kind;
  entry.hostNameMangled = host;
  return entry;
}

}  // namespace kxmp::test
