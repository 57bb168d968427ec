#pragma once
// Records in a subclient's cache which entry is in use (0 primary, n alternate n): written
// when a mount request mounted an entry and when a context failed over to one. A failed write
// is logged and otherwise ignored: the cache only steers the next request.

#include <cstdint>

namespace kxmp::driver {

void RecordFailoverCurrent(unsigned long subclientId, int32_t cacheIndex);

}  // namespace kxmp::driver
