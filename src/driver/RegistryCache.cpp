// The mount-point cache in the registry: reading cached entries back as mount path records,
// and recognising a storage host that is the control server's own machine.

#include <cstring>
#include <new>

#include "driver/FailoverCurrent.h"
#include "driver/RegistryNumber.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/RegistryNames.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXString.h"
#include "outside/util/HostName.h"

namespace {
// The control server's name fits this buffer on every platform of the suite.
constexpr size_t kCSHostNameSize = 256;

// The value name of cache entry `index`: the plain name for the primary, "name_n" for
// alternate n.
std::string EntryValueName(const char* plain, int index) {
  return index < 1 ? std::string(plain) : FXString::Format("%s_%d", plain, index);
}
}  // namespace

MountPathInfo AbstractMountingPointDriver::readCache(std::map<std::string, std::string>& values, int index) {
  MountPathInfo record;
  record.cacheIndex = index;
  try {
    // operator[] on purpose: a missing value reads as empty, as a failed registry read does.
    record.hostName = values[EntryValueName(MAHostnameMangledVal, index)];
    record.mountPath = values[EntryValueName(MAMountPathVal, index)];
    const std::string& id = values[EntryValueName(MAMountPathIdVal, index)];
    record.mountPathId = id.empty() ? 0 : kxmp::regnum::ToInt32(id);
  } catch (const std::bad_alloc&) {
    // An entry without a host name is never used.
    record = MountPathInfo();
    record.cacheIndex = index;
  }
  return record;
}

void AbstractMountingPointDriver::addMountPathFromCache(std::vector<MountPathInfo>& list, MountPathInfo& entry,
                                                        unsigned int csOnline) {
  try {
    // A storage host that is also the control server is unreachable while the control server
    // is offline. Checked before the empty test, so an empty name is asked about too.
    if (csOnline == 0 && isCSMACombo(entry.hostName)) {
      KXLOG_NORMAL("Skip cache for MAHostnameMangled[%s] pathToMount[%s] mountPathId[%ld]", entry.hostName.c_str(),
                   entry.mountPath.c_str(), static_cast<long>(entry.mountPathId));
      return;
    }
    if (!entry.hostName.empty()) {
      list.push_back(entry);
      KXLOG_NORMAL("Read cache for MAHostnameMangled[%s] pathToMount[%s] mountPathId[%ld]", entry.hostName.c_str(),
                   entry.mountPath.c_str(), static_cast<long>(entry.mountPathId));
    } else {
      KXLOG_NORMAL("Cache is empty");
    }
  } catch (const std::bad_alloc&) {
    // The entry is not offered; the caller goes on with the others.
  }
}

bool AbstractMountingPointDriver::isCSMACombo(const std::string& hostNameMangled) {
  try {
    KXPlatformInfo platform;
    char csMangled[kCSHostNameSize] = {};
    if (platform.getCommClientCSHostName(csMangled, sizeof csMangled) == 0) {
      KXLOG_ERROR("Failed to get CS mangled err[%ld], consider it is not CS MA combo",
                  static_cast<long>(platform.getLastError()));
      return false;
    }
    // Both names are compared in their plain form: the control server's name is configured
    // mangled, and a plain name demangles to itself.
    std::string csHost, maHost, second;
    int64_t n1 = 0, n2 = 0;
    DemangleHostName(csMangled, csHost, second, n1, n2);
    DemangleHostName(hostNameMangled, maHost, second, n1, n2);
    KXLOG_NORMAL("csHostname [%s], maHostname [%s]", csHost.c_str(), maHost.c_str());
    return std::strcmp(csHost.c_str(), maHost.c_str()) == 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

namespace kxmp::driver {

void RecordFailoverCurrent(unsigned long subclientId, int32_t cacheIndex) {
  const std::string key = FXString::Format("%s%s\\%lu", "~", MAMountPointKey, subclientId);
  KXPlatformInfo platform;
  if (!platform.setRegInt(key, FailoverCurrent, cacheIndex)) {
    KXLOG_ERROR("Failed to set registry key [%s] for nFailoverCurrent with value [%d] err[%d]", key.c_str(),
                cacheIndex, platform.getRegError());
  }
}

}  // namespace kxmp::driver
