#pragma once
// State of the data-server component that lives as long as a data-server context: what the
// interface objects made for the context (one per operation or open file) would otherwise
// learn again each time: the mount-path authority's answer, the router's choice, open
// descriptors of the mount path and the served tree.
//
// A context attaches once for its parameters and holds the handle; the factories find the
// state by the parameters they are given (storage host and served tree). Objects made with
// parameters no live context holds find nothing and work as if alone. Contexts with the same
// storage host and served tree share one state.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInitParams.h"

namespace kxmp::dataserver {

class ContextState {
 public:
  explicit ContextState(std::string key) : key_(std::move(key)) {}
  ContextState(const ContextState&) = delete;
  ContextState& operator=(const ContextState&) = delete;

  // The piece an owner (a backend, the router) keeps here, made empty on first use; every
  // owner uses one type T, which guards itself against concurrent use. Owners are told apart
  // by their control block, so a piece of a destroyed owner is never handed to another one.
  template <class T>
  std::shared_ptr<T> Piece(const std::shared_ptr<const void>& owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<void>& slot = pieces_[owner];
    if (!slot) slot = std::make_shared<T>();
    return std::static_pointer_cast<T>(slot);
  }

  const std::string& Key() const { return key_; }

 private:
  const std::string key_;
  std::mutex mutex_;
  std::map<std::weak_ptr<const void>, std::shared_ptr<void>, std::owner_less<std::weak_ptr<const void>>> pieces_;
};

// The state for a context's parameters: the one live contexts with the same storage host and
// served tree already hold, else a new one. The context keeps it for its life.
KXMP_EXPORT std::shared_ptr<ContextState> AttachContextState(const CFSInitParams& params);

// The state a live context holds for these parameters, or null. Exported for the SFTP module.
KXMP_EXPORT std::shared_ptr<ContextState> FindContextState(const CFSInitParams& params);

}  // namespace kxmp::dataserver
