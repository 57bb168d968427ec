#pragma once
// Seeds and reads the mount-point cache of the test's registry, sets the control server's
// state, and builds archive manager reply entries.

#include <cstdint>
#include <map>
#include <string>

#include "outside/catalog/ArMgrTypes.h"

namespace kxmp::test {

// "~Tessel/MAMountPoint/<id>".
std::string SubclientKey(unsigned long subclientId);
// Writes cache entry `index` (0 the primary, n alternate n) of a subclient.
void CacheEntry(unsigned long subclientId, int index, const std::string& host, const std::string& path,
                int32_t mountPathId);
// Writes nFailoverNumber, nFailoverCurrent and nLastRefreshTime.
void CacheState(unsigned long subclientId, int failoverNumber, int failoverCurrent, int64_t lastRefresh);
// The subclient key's values; empty when the key is missing.
std::map<std::string, std::string> CacheValues(unsigned long subclientId);
bool CacheKeyExists(unsigned long subclientId);
// Runtime/nCSONLINE; a non-empty name also sets the control server's mangled host name.
void SetControlServer(bool online, const std::string& csMangled = "");
// A reply entry whose raw mount path is "lib|[path]|id".
MountpathInfo_t ReplyEntry(int64_t id, const std::string& path, int64_t kind, const std::string& host);

}  // namespace kxmp::test
