#include "outside/dataserver/ContextState.h"

#include <unordered_map>

namespace kxmp::dataserver {

namespace {

// The component's table of live states by key. Never destroyed, so contexts released during
// process exit still find it.
struct Table {
  std::mutex mutex;
  std::unordered_map<std::string, std::weak_ptr<ContextState>> states;
};

Table& TheTable() {
  static Table* table = new Table();
  return *table;
}

std::string KeyOf(const CFSInitParams& params) {
  std::string key;
  key.reserve(params.host.hostName.size() + params.host.mountPath.size() + 1);
  key += params.host.hostName;
  key.push_back('\0');  // a host name holds no NUL
  key += params.host.mountPath;
  return key;
}

// Deletes a state and its table entry, unless a newer state took the key meanwhile.
void Release(ContextState* state) {
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.states.find(state->Key());
    if (it != t.states.end() && it->second.expired()) t.states.erase(it);
  }
  delete state;
}

}  // namespace

std::shared_ptr<ContextState> AttachContextState(const CFSInitParams& params) {
  const std::string key = KeyOf(params);
  Table& t = TheTable();
  // Made outside the lock: a failed or unused state is released through Release, which
  // takes the lock itself.
  std::shared_ptr<ContextState> fresh;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(t.mutex);
      auto it = t.states.find(key);
      if (it != t.states.end()) {
        if (std::shared_ptr<ContextState> live = it->second.lock()) return live;
      }
      if (fresh) {
        t.states[key] = fresh;
        return fresh;
      }
    }
    fresh = std::shared_ptr<ContextState>(new ContextState(key), Release);
  }
}

std::shared_ptr<ContextState> FindContextState(const CFSInitParams& params) {
  const std::string key = KeyOf(params);
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.states.find(key);
  return it == t.states.end() ? nullptr : it->second.lock();
}

}  // namespace kxmp::dataserver
