#pragma once
// Whether the control server's catalog could be asked, as operators are told: the first
// failure of an outage raises one event ("the control server's catalog cannot be reached"),
// later failures raise none until an answer ends the outage. The outage is a registry value
// (Catalog/nUnreachableSince, seconds since 1970, 0 or missing: none), so it is one outage for
// every process of the machine: the host, and each run of the tool.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

constexpr unsigned int kCatalogUnreachableEvent = 0x4A00057A;
constexpr const char* kCatalogOutageValue = "nUnreachableSince";

// The catalog could not be asked: starts the outage and raises the event when none is going on.
KXMP_EXPORT void NoteCatalogFailed(const CZoError& why);
// The catalog answered: ends an outage that is going on (and writes nothing otherwise).
KXMP_EXPORT void NoteCatalogAnswered();

}  // namespace kxmp::catalog
