// Moving a context whose mount path stopped answering to another mount path of its
// subclient: the cached alternates are tried in order and the first one whose root folder
// can be made wins; the registry then names that entry as the one in use.

#include <new>
#include <string>
#include <vector>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/RegistryNames.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXString.h"

namespace {

// Ids travel on as int: their low 32 bits.
int LowBits(int64_t id) { return static_cast<int>(static_cast<uint32_t>(id)); }

// Records in the subclient's cache which entry the context now uses.
void RecordFailoverCurrent(unsigned long subclientId, int cacheIndex) {
  const std::string key = FXString::Format("%s%s\\%lu", "~", MAMountPointKey, subclientId);
  KXPlatformInfo platform;
  if (!platform.setRegInt(key, FailoverCurrent, cacheIndex)) {
    KXLOG_ERROR("Failed to set registry key [%s] for nFailoverCurrent with value [%d] err[%d]", key.c_str(),
                cacheIndex, platform.getRegError());
  }
}

}  // namespace

void AbstractMountingPointDriver::Failover(DataServerContext* context) {
  if (context == nullptr) {
    KXLOG_ERROR("context should not be null");
    return;
  }
  try {
    if (!context->needFailover()) {
      KXLOG_NORMAL("No need to do failover");
      return;
    }
    KXLOG_NORMAL("Doing failover");

    const unsigned long subclientId = context->getSubClientID();
    std::vector<MountPathInfo> alternatives;
    CZoError err = GetSubclientMountpathList(subclientId, alternatives, false, true, true, false);
    if (err.IsError()) {
      KXLOG_ERROR("Failed to get mountpath for failover subclient[%lu]", subclientId);
      return;
    }

    for (const MountPathInfo& alternative : alternatives) {
      // Compared with the mount path of the moment: after a failed alternative that is the
      // alternative's own.
      if (alternative.mountPath == context->getMountPath()) {
        KXLOG_NORMAL("No new mount path to update in failover for subclient [%lu]", subclientId);
        continue;
      }
      context->update(alternative.hostName, alternative.mountPath, LowBits(alternative.mountPathId));
      if (!CreateRootFolder(context, std::string(), false, true)) {
        KXLOG_ERROR("Failed to create or make sure root folder exists.");
        continue;
      }
      RecordFailoverCurrent(subclientId, alternative.cacheIndex);
      KXLOG_NORMAL("update new mount path [%s] in failover for subclient[%lu]", alternative.mountPath.c_str(),
                   subclientId);
      return;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the context stays where the last completed step left it (see above).
  }
}
