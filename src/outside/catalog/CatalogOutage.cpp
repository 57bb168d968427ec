#include "outside/catalog/CatalogOutage.h"

#include <ctime>
#include <exception>
#include <map>

#include "outside/catalog/CatalogLocator.h"
#include "outside/catalog/CatalogStore.h"
#include "outside/event/EvEvent.h"
#include "outside/lock/KxNamedMutex.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"

namespace kxmp::catalog {

namespace {

constexpr const char* kOutageLock = "kxmp_CatalogOutage";

bool OutageGoingOn(const KXPlatformInfo& platform) {
  std::map<std::string, std::string> values;
  if (!platform.getRegValues(kCatalogRegistryKey, &values)) return false;
  auto it = values.find(kCatalogOutageValue);
  return it != values.end() && !it->second.empty() && it->second != "0";
}

// The catalog's name for operators: the file, or the connection without secrets.
std::string CatalogName() {
  CatalogLocation where;
  std::unique_ptr<CatalogStore> store;
  if (LocateCatalog(where).IsError() || MakeCatalogStore(where, store).IsError()) return "(not configured)";
  return store->Name();
}

}  // namespace

void NoteCatalogFailed(const CZoError& why) {
  try {
    KXPlatformInfo platform;
    if (OutageGoingOn(platform)) return;
    // Two processes failing at once raise one event: the check and the mark are taken together.
    KxNamedMutex lock(kOutageLock);
    const bool held = lock.lock();
    if (OutageGoingOn(platform)) return;
    if (!platform.setRegString(kCatalogRegistryKey, kCatalogOutageValue, std::to_string(time(nullptr)))) {
      KXLOG_ERROR("Failed to mark the catalog outage err[%d]", platform.getRegError());
    }
    if (held) lock.unlock();
    const std::string name = CatalogName();
    const std::string reason = why.Message();
    KXLOG_ERROR("The control server's catalog [%s] cannot be reached: %s", name.c_str(), reason.c_str());
    EvEvent event;
    if (!event.initialize(2, 0x31F8390E, 0, nullptr, "")) KXLOG_ERROR("Failed to init event");
    event.addArgument(name.c_str(), EvEvent::kArgText);
    event.addArgument(reason.c_str(), EvEvent::kArgText);
    event.MajorEvent(kCatalogUnreachableEvent, 0, 0);
  } catch (const std::exception&) {
    // Out of memory: the operator is told at the next failure.
  }
}

void NoteCatalogAnswered() {
  try {
    KXPlatformInfo platform;
    if (!OutageGoingOn(platform)) return;
    if (platform.setRegString(kCatalogRegistryKey, kCatalogOutageValue, "0")) {
      KXLOG_NORMAL("The control server's catalog answers again");
    }
  } catch (const std::exception&) {
  }
}

}  // namespace kxmp::catalog
