#pragma once
// The process's cache of registry keys: the values of a key read once are answered from
// memory until the key's folder changes. inotify tells what changed: a watch on each folder
// from the registry root down to every cached key (so that a replaced or moved folder is seen
// too); every operation first reads the pending events without blocking, so a change that
// another process completed before the operation began (a `kxmp cache refresh`, an
// administrator's editor or `echo > value`, a second host) is always seen. A queue overflow
// forgets everything. No thread is started.
//
// Without inotify (no instance to be had, the watch limit reached, a key that cannot be
// watched) reads go to the disk every time. KX_REGISTRY_NO_CACHE=1 in the environment turns
// the cache off (read when the registry root is first used). A process made by fork() starts
// with an empty cache of its own.
//
// Writes go through the cache so that a write that would not change the stored text writes
// nothing (no temporary file, no fsync, no rename).

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "outside/error/CZoError.h"
#include "outside/registry/RegistryStore.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::registry {

class KeyCache {
 public:
  using Values = std::map<std::string, std::string>;

  struct Counters {
    uint64_t hits = 0;           // answered from memory
    uint64_t loads = 0;          // read from disk and kept
    uint64_t uncached = 0;       // read from disk, not kept
    uint64_t writesSkipped = 0;  // writes that would not have changed the stored text
  };

  // The process-wide cache (never destroyed: reads may run while the process exits).
  static KeyCache& Instance();

  // As RegistryStore::ReadValues / ReadValue / WriteValue of store, answered from memory when
  // the key is cached and unchanged.
  CZoError ReadValues(const RegistryStore& store, const std::string& key, Values& values);
  CZoError ReadValue(const RegistryStore& store, const std::string& key, const std::string& name, std::string& text);
  CZoError WriteValue(const RegistryStore& store, const std::string& key, const std::string& name,
                      const std::string& text);

  // One request of a server, on this thread: inside it the pending changes are read once, at
  // its first registry access, instead of before every access. What another process changed
  // before the request began is still seen by it; a change made while it runs may be seen
  // only by the next request. Scopes nest; outside one every access reads the changes.
  class RequestScope {
   public:
    RequestScope();
    ~RequestScope();
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;
  };

  Counters Snapshot() const;
  // Forgets every key and watch (tests and benchmarks start from a cold cache).
  void Reset();

 private:
  struct Entry {
    Values values;
    std::set<std::string> others;  // names in the folder that are not values
  };

  KeyCache() = default;

  // The cached entry of the key, loading it when needed; null when the key cannot be cached
  // (then the caller reads the disk). err is set when loading failed.
  const Entry* Lookup(const RegistryStore& store, const std::string& key, const std::vector<std::string>& parts,
                      CZoError& err);
  bool Ready(const std::string& root);
  void ResetLocked();
  void Drain();
  void Forget(const std::string& folder, bool watchesToo);
  bool WatchPath(const std::string& root, const std::vector<std::string>& parts);

  mutable std::mutex mutex_;
  std::string root_;
  bool disabled_ = false;     // by the environment, for this root
  bool unavailable_ = false;  // no inotify instance to be had for this root
  UniqueFd notify_;
  volatile unsigned char* forkGuard_ = nullptr;  // a page that fork() hands the child zeroed
  std::unordered_map<int, std::string> folderOf_;  // watch -> folder (parts joined by "/")
  std::unordered_map<std::string, int> watchOf_;   // folder -> watch
  std::map<std::string, Entry> entries_;           // key (parts joined by "/") -> values
  Counters counters_;
};

}  // namespace kxmp::registry
