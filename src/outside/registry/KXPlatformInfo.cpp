#include "outside/registry/KXPlatformInfo.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"
#include "outside/registry/KeyCache.h"
#include "outside/registry/PlatformState.h"
#include "outside/registry/RegistryStore.h"
#include "outside/util/HostName.h"
#include "outside/util/KxHome.h"

using kxmp::registry::KeyCache;
using kxmp::registry::RegistryStore;

namespace {

// Built at load, so reporting a shortage of memory needs none.
const CZoError kRegistryOutOfMemory = FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory using the registry");

// Runs one registry operation: records its failure for getRegError and traces why. Nothing
// escapes: allocation failures become ENOMEM, any other exception EIO.
template <typename Op>
bool RegistryCall(const char* what, const std::string& key, Op&& op) {
  CZoError err = Guarded(kRegistryOutOfMemory, FX_LOC, [&] {
    CZoError result = op();
    if (result.IsError()) KXLOG_TRACE("Registry %s of [%s] failed: %s", what, key.c_str(), result.AsString().c_str());
    return result;
  });
  if (err.IsSuccess()) return true;
  kxmp::registry::SetRegError(err);
  return false;
}

}  // namespace

KXPlatformInfo::KXPlatformInfo() {
  try {
    registryRoot_ = kxmp::home::Path("registry");
  } catch (...) {
    // Left empty: every registry call then fails on opening the root.
  }
}

KXPlatformInfo::KXPlatformInfo(int, int) : KXPlatformInfo() {}

bool KXPlatformInfo::getRegValues(const std::string& key, std::map<std::string, std::string>* values) const {
  if (values == nullptr) {
    kxmp::registry::SetRegError(EINVAL);
    return false;
  }
  return RegistryCall("read", key,
                      [&] { return KeyCache::Instance().ReadValues(RegistryStore(registryRoot_), key, *values); });
}

bool KXPlatformInfo::createRegKey(const std::string& key) const {
  return RegistryCall("create", key, [&] { return RegistryStore(registryRoot_).CreateKey(key); });
}

bool KXPlatformInfo::delRegKey(const std::string& key) const {
  return RegistryCall("delete", key, [&] { return RegistryStore(registryRoot_).DeleteKey(key); });
}

bool KXPlatformInfo::setRegString(const std::string& key, const std::string& valueName,
                                  const std::string& text) const {
  return RegistryCall("write", key,
                      [&] { return KeyCache::Instance().WriteValue(RegistryStore(registryRoot_), key, valueName, text); });
}

bool KXPlatformInfo::setRegInt(const std::string& key, const std::string& valueName, int32_t value) const {
  return RegistryCall("write", key, [&] {
    return KeyCache::Instance().WriteValue(RegistryStore(registryRoot_), key, valueName, std::to_string(value));
  });
}

int KXPlatformInfo::getString(const std::string& section, const std::string& value, std::string* out) const {
  if (out == nullptr) {
    kxmp::registry::SetRegError(EINVAL);
    return 0;
  }
  std::string text;
  bool ok = RegistryCall(
      "read", section, [&] { return KeyCache::Instance().ReadValue(RegistryStore(registryRoot_), section, value, text); });
  if (!ok) return 0;
  try {
    out->swap(text);
  } catch (...) {
    return 0;
  }
  return 1;
}

int32_t KXPlatformInfo::getRegError() const { return kxmp::registry::RegError(); }

int64_t KXPlatformInfo::getLastError() const { return kxmp::registry::LastError(); }

std::string KXPlatformInfo::expandKeyName(const std::string& key) const {
  std::string path;
  bool ok = RegistryCall("expansion", key, [&] { return RegistryStore(registryRoot_).Expand(key, path); });
  if (!ok) return std::string();
  return path;
}

std::string KXPlatformInfo::getPhysicalMachine() const {
  try {
    std::string name;
    if (kxmp::registry::ReadSetting(registryRoot_, kxmp::registry::kPhysicalMachineVal, name) == 0) return name;
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
      kxmp::registry::SetLastError(static_cast<int64_t>(errno));
      return std::string();
    }
    return std::string(host);
  } catch (...) {
    kxmp::registry::SetLastError(ENOMEM);
    return std::string();
  }
}

bool KXPlatformInfo::getClientHostNameMangled(const std::string& machine, std::string& out) const {
  // A host name is never empty and never holds the separator of the mangled form.
  if (machine.empty() || machine.find('*') != std::string::npos || machine.find('\0') != std::string::npos) {
    kxmp::registry::SetLastError(EINVAL);
    return false;
  }
  try {
    out = MangleHostName(machine, machine, 0, 0);
    return true;
  } catch (...) {
    kxmp::registry::SetLastError(ENOMEM);
    return false;
  }
}

int KXPlatformInfo::getCommClientCSHostName(char* buffer, size_t size) const {
  if (buffer == nullptr || size == 0) {
    kxmp::registry::SetLastError(EINVAL);
    return 0;
  }
  try {
    std::string name;
    int why = kxmp::registry::ReadSetting(registryRoot_, kxmp::registry::kCSHostNameMangledVal, name);
    if (why != 0) {
      kxmp::registry::SetLastError(static_cast<int64_t>(why));
      return 0;
    }
    // A cut name would name another machine: refuse rather than truncate.
    if (name.size() + 1 > size || name.find('\0') != std::string::npos) {
      kxmp::registry::SetLastError(ERANGE);
      return 0;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
  } catch (...) {
    kxmp::registry::SetLastError(ENOMEM);
    return 0;
  }
}
