#include "outside/dataserver/StorageHostNotices.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "outside/event/EvEvent.h"
#include "outside/event/EventLog.h"
#include "outside/log/Log.h"

namespace kxmp::dataserver {

namespace {

constexpr std::chrono::minutes kQuiet{10};
// Enough of the log's end to hold the last quiet period's events of a busy machine.
constexpr size_t kRecentBytes = 256 * 1024;

struct Notices {
  std::mutex mutex;
  std::vector<StorageHostNotice> pending;
};

Notices& TheNotices() {
  static Notices* notices = new Notices();  // never destroyed: noted during process exit too
  return *notices;
}

bool RaisedLately(unsigned int id, const std::vector<std::string>& key) {
  const auto since = std::chrono::system_clock::now() - kQuiet;
  for (const events::EventRecord& e : events::ReadRecent(kRecentBytes)) {
    if (e.id == id && e.time >= since && e.args.size() >= key.size() &&
        std::equal(key.begin(), key.end(), e.args.begin())) {
      return true;
    }
  }
  return false;
}

void Raise(unsigned int id, const std::vector<std::string>& args, size_t keyArgs) {
  if (RaisedLately(id, std::vector<std::string>(args.begin(), args.begin() + static_cast<long>(keyArgs)))) return;
  EvEvent event;
  if (!event.initialize(2, 0x31F8390E, 0, nullptr, "")) KXLOG_ERROR("Failed to init event");
  for (const std::string& a : args) event.addArgument(a.c_str(), EvEvent::kArgText);
  event.MajorEvent(id, 0, 0);
}

}  // namespace

void NoteStorageHostUnusable(const std::string& host, const std::string& reason, const HostKeyMismatch* mismatch) {
  try {
    {
      Notices& n = TheNotices();
      std::lock_guard<std::mutex> lock(n.mutex);
      const bool seen = std::any_of(n.pending.begin(), n.pending.end(), [&](const StorageHostNotice& p) {
        return p.host == host && p.reason == reason;
      });
      if (!seen) n.pending.push_back(StorageHostNotice{host, reason, mismatch != nullptr});
    }
    KXLOG_ERROR("Storage host [%s] cannot be used: %s", host.c_str(), reason.c_str());
    if (mismatch != nullptr) {
      Raise(kEventHostKeyChanged,
            {host, mismatch->address, mismatch->keyType, mismatch->fingerprint, mismatch->knownHostsFile}, 4);
    }
    Raise(kEventStorageHostUnusable, {host, reason}, 2);
  } catch (...) {
    // Out of memory: the failure itself still reaches the caller.
  }
}

std::vector<StorageHostNotice> TakeStorageHostNotices() {
  Notices& n = TheNotices();
  std::lock_guard<std::mutex> lock(n.mutex);
  std::vector<StorageHostNotice> out;
  out.swap(n.pending);
  return out;
}

}  // namespace kxmp::dataserver
