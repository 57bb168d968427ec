// Moving a context whose mount path stopped answering to another mount path of its
// subclient: the cached alternates, then the primary, are tried in order and the first one whose root folder
// can be made wins; the registry then names that entry as the one in use.

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "driver/FailoverCurrent.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/log/Log.h"

namespace {

// Ids travel on as int: their low 32 bits.
int LowBits(int64_t id) { return static_cast<int>(static_cast<uint32_t>(id)); }
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

    // The list ends with the primary, so a context on an alternate can fail back; the mount
    // path the context fails over from is never a target. Taken as a circle that starts after
    // that mount path, so that repeated failovers reach every entry in turn.
    const std::string fromPath = context->getMountPath();
    const std::string fromHost = context->getServerName();
    auto from = std::find_if(alternatives.begin(), alternatives.end(), [&](const MountPathInfo& m) {
      return m.mountPath == fromPath && m.hostName == fromHost;
    });
    if (from != alternatives.end()) std::rotate(alternatives.begin(), from + 1, alternatives.end());
    for (const MountPathInfo& alternative : alternatives) {
      // Compared with the mount path of the moment too: after a failed alternative that is the
      // alternative's own. A mount path is a path on its storage host: the same path on
      // another storage host is other storage and a valid alternative.
      if ((alternative.mountPath == context->getMountPath() && alternative.hostName == context->getServerName()) ||
          (alternative.mountPath == fromPath && alternative.hostName == fromHost)) {
        KXLOG_NORMAL("No new mount path to update in failover for subclient [%lu]", subclientId);
        continue;
      }
      context->update(alternative.hostName, alternative.mountPath, LowBits(alternative.mountPathId));
      if (!CreateRootFolder(context, std::string(), false, true)) {
        KXLOG_ERROR("Failed to create or make sure root folder exists.");
        continue;
      }
      kxmp::driver::RecordFailoverCurrent(subclientId, alternative.cacheIndex);
      KXLOG_NORMAL("update new mount path [%s] in failover for subclient[%lu]", alternative.mountPath.c_str(),
                   subclientId);
      return;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the context stays where the last completed step left it (see above).
  }
}
