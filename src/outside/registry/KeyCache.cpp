#include "outside/registry/KeyCache.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

namespace kxmp::registry {

namespace {

// Every change to a folder's entries or to the folder itself.
constexpr uint32_t kWatchMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// Keys beyond this many are read from disk every time.
constexpr size_t kMaxEntries = 4096;

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
  std::string folder;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) folder += '/';
    folder += parts[i];
  }
  return folder;
}

bool IsTemp(const char* name) { return std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0; }

// True when key is folder or lies below it.
bool AtOrBelow(const std::string& key, const std::string& folder) {
  if (folder.empty()) return true;
  return key.compare(0, folder.size(), folder) == 0 && (key.size() == folder.size() || key[folder.size()] == '/');
}

}  // namespace

namespace {

// The request scope of this thread: its depth, and whether its changes were read already.
struct ThreadRequest {
  int depth = 0;
  bool drained = false;
};
thread_local ThreadRequest t_request;

}  // namespace

KeyCache::RequestScope::RequestScope() {
  if (t_request.depth++ == 0) t_request.drained = false;
}

KeyCache::RequestScope::~RequestScope() {
  if (--t_request.depth == 0) t_request.drained = false;
}

KeyCache& KeyCache::Instance() {
  static KeyCache* cache = new KeyCache();  // never destroyed
  return *cache;
}

KeyCache::Counters KeyCache::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void KeyCache::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetLocked();
  root_.clear();
  counters_ = Counters();
}

void KeyCache::ResetLocked() {
  // Closing the instance drops its watches (in a forked child it only lets go of the copy).
  notify_.reset();
  folderOf_.clear();
  watchOf_.clear();
  entries_.clear();
}

bool KeyCache::Ready(const std::string& root) {
  if (root != root_) {
    ResetLocked();
    root_ = root;
    const char* off = ::getenv("KX_REGISTRY_NO_CACHE");
    disabled_ = off != nullptr && *off != '\0' && std::strcmp(off, "0") != 0;
    unavailable_ = false;
  }
  if (disabled_ || unavailable_) return false;
  // A child of fork() shares the parent's instance: reading it would steal the parent's events.
  if (notify_.valid() && *forkGuard_ == 0) ResetLocked();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!notify_.valid()) {
      if (forkGuard_ == nullptr) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        void* p = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED && ::madvise(p, page, MADV_WIPEONFORK) == 0) {
          forkGuard_ = static_cast<volatile unsigned char*>(p);
        } else {
          if (p != MAP_FAILED) ::munmap(p, page);
          KXLOG_TRACE("Registry cache off: a forked process could not be told apart");
          unavailable_ = true;
          return false;
        }
      }
      notify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      if (!notify_.valid()) {
        KXLOG_TRACE("Registry cache off: inotify: %s", std::strerror(errno));
        unavailable_ = true;
        return false;
      }
      *forkGuard_ = 1;
    }
    // Within a request whose changes were read, a change since is the next request's.
    if (t_request.depth > 0 && t_request.drained) return true;
    Drain();
    if (notify_.valid()) {
      t_request.drained = t_request.depth > 0;
      return true;
    }
    // else the queue overflowed: start over with a new instance
  }
  return false;
}

void KeyCache::Drain() {
  alignas(inotify_event) char buf[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(notify_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      // Events may be lost: nothing cached can be trusted.
      ResetLocked();
      return;
    }
    for (const char* p = buf; p < buf + n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        ResetLocked();
        return;
      }
      auto it = folderOf_.find(ev->wd);
      if (it == folderOf_.end()) continue;
      const std::string folder = it->second;
      if (ev->mask & IN_IGNORED) {
        // The kernel dropped the watch (the folder is gone).
        folderOf_.erase(it);
        auto w = watchOf_.find(folder);
        if (w != watchOf_.end() && w->second == ev->wd) watchOf_.erase(w);
        Forget(folder, true);
        continue;
      }
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        Forget(folder, true);
        continue;
      }
      if (ev->len > 0 && IsTemp(ev->name)) continue;  // temporary files are never values
      entries_.erase(folder);
      // A sub folder created, removed or moved: the keys below it may be other folders now.
      if (ev->len > 0 && (ev->mask & IN_ISDIR)) Forget(folder.empty() ? ev->name : folder + "/" + ev->name, true);
    }
  }
}

void KeyCache::Forget(const std::string& folder, bool watchesToo) {
  for (auto it = entries_.lower_bound(folder); it != entries_.end() && it->first.compare(0, folder.size(), folder) == 0;) {
    it = AtOrBelow(it->first, folder) ? entries_.erase(it) : std::next(it);
  }
  if (!watchesToo) return;
  for (auto it = watchOf_.begin(); it != watchOf_.end();) {
    if (AtOrBelow(it->first, folder)) {
      ::inotify_rm_watch(notify_.get(), it->second);
      folderOf_.erase(it->second);
      it = watchOf_.erase(it);
    } else {
      ++it;
    }
  }
}

bool KeyCache::WatchPath(const std::string& root, const std::vector<std::string>& parts) {
  // From the root down, so that a folder replaced after its parent is watched is seen there.
  for (size_t i = 0; i <= parts.size(); ++i) {
    std::string folder = JoinParts(parts, i);
    if (watchOf_.count(folder)) continue;
    const std::string path = folder.empty() ? root : root + "/" + folder;
    const int wd = ::inotify_add_watch(notify_.get(), path.c_str(), kWatchMask);
    if (wd < 0) {
      if (errno == ENOSPC) KXLOG_TRACE("Registry cache: no more inotify watches; [%s] is read uncached", path.c_str());
      return false;
    }
    auto known = folderOf_.find(wd);
    if (known != folderOf_.end() && known->second != folder) {
      // The folder moved here from a path we watched it under: nothing known about it holds.
      Forget(known->second, false);
      watchOf_.erase(known->second);
    }
    folderOf_[wd] = folder;
    watchOf_[folder] = wd;
  }
  return true;
}

const KeyCache::Entry* KeyCache::Lookup(const RegistryStore& store, const std::string& key,
                                        const std::vector<std::string>& parts, CZoError& err) {
  if (!Ready(store.Root())) return nullptr;
  const std::string rel = JoinParts(parts, parts.size());
  auto it = entries_.find(rel);
  if (it != entries_.end()) {
    ++counters_.hits;
    return &it->second;
  }
  if (entries_.size() >= kMaxEntries || !WatchPath(store.Root(), parts)) {
    ++counters_.uncached;
    return nullptr;
  }
  Entry entry;
  err = store.ReadValues(key, entry.values, &entry.others);
  if (err.IsError()) return nullptr;
  ++counters_.loads;
  return &(entries_[rel] = std::move(entry));
}

CZoError KeyCache::ReadValues(const RegistryStore& store, const std::string& key, Values& values) {
  std::vector<std::string> parts;
  CZoError err = RegistryStore::ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = Lookup(store, key, parts, err);
    if (entry != nullptr) {
      for (const auto& kv : entry->values) values[kv.first] = kv.second;
      return CZoError::Success();
    }
    if (err.IsError()) return err.Push(FX_LOC);
  }
  return store.ReadValues(key, values);
}

CZoError KeyCache::ReadValue(const RegistryStore& store, const std::string& key, const std::string& name,
                             std::string& text) {
  std::vector<std::string> parts;
  CZoError err = RegistryStore::ParseKey(key, parts);
  if (err.IsError()) return err.Push(FX_LOC);
  err = RegistryStore::CheckValueName(name);
  if (err.IsError()) return err.Push(FX_LOC);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = Lookup(store, key, parts, err);
    if (entry != nullptr) {
      auto it = entry->values.find(name);
      if (it != entry->values.end()) {
        text = it->second;
        return CZoError::Success();
      }
      if (entry->others.count(name) == 0) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Registry value [%s] of key [%s] does not exist", name.c_str(),
                                       key.c_str());
      }
      // Not a value: the store tells why.
    }
    // A key that cannot be read whole (one value too large or unreadable) still has values
    // that can be read one by one: the store answers for this one.
  }
  return store.ReadValue(key, name, text);
}

CZoError KeyCache::WriteValue(const RegistryStore& store, const std::string& key, const std::string& name,
                              const std::string& text) {
  std::vector<std::string> parts;
  if (!RegistryStore::ParseKey(key, parts).IsError() && !RegistryStore::CheckValueName(name).IsError() &&
      text.size() <= kMaxValueSize) {
    bool known = false;
    bool same = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      CZoError err;
      if (const Entry* entry = Lookup(store, key, parts, err)) {
        known = true;
        auto it = entry->values.find(name);
        same = it != entry->values.end() && it->second == text;
      }
    }
    if (!known) {
      std::string current;
      same = !store.ReadValue(key, name, current).IsError() && current == text;
    }
    if (same) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.writesSkipped;
      return CZoError::Success();
    }
  }
  return store.WriteValue(key, name, text);
}

}  // namespace kxmp::registry
