#include "support/CatalogSeams.h"

#include "outside/catalog/CatalogLocator.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace kxmp::catalog {

namespace {

// The installed states of one seam, innermost last. States are shared so that a call in
// progress keeps its state alive while its installer goes away.
template <typename State>
class SeamStack {
 public:
  void Push(const std::shared_ptr<State>& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    stack_.push_back(s);
  }
  // Removes s wherever it is, so that installers destroyed out of order do not corrupt it.
  void Remove(const std::shared_ptr<State>& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    stack_.erase(std::remove(stack_.begin(), stack_.end(), s), stack_.end());
  }
  std::shared_ptr<State> Top() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stack_.empty() ? nullptr : stack_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<State>> stack_;
};

// One state per installer: its function, its counter and the last input it saw.
template <typename Fn, typename Input>
struct SeamState {
  explicit SeamState(Fn f) : fn(std::move(f)) {}
  Input Record(const Input& in) {
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    last = in;
    return last;
  }
  int Calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  Input Last() const {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }

  const Fn fn;
  mutable std::mutex mutex;
  int calls = 0;
  Input last{};
};

}  // namespace

struct ScopedArchiveManager::State : SeamState<ArchiveManagerFn, GetSubclientMountpathListArgs_t> {
  using SeamState::SeamState;
};
struct ScopedIdentity::State : SeamState<IdentityFn, uint64_t> {
  using SeamState::SeamState;
};

namespace {
SeamStack<ScopedArchiveManager::State>& ArchiveManagerStack() {
  static SeamStack<ScopedArchiveManager::State> stack;
  return stack;
}
SeamStack<ScopedIdentity::State>& IdentityStack() {
  static SeamStack<ScopedIdentity::State> stack;
  return stack;
}

// The innermost installer answers; none installed asks the catalog.
class StackedAnswers : public CatalogStandIn {
 public:
  bool MountPaths(const GetSubclientMountpathListArgs_t& args, GetSubclientMountpathListRet_t& ret,
                  int& result) override {
    auto state = ArchiveManagerStack().Top();
    if (!state) return false;
    GetSubclientMountpathListArgs_t seen = state->Record(args);
    result = state->fn ? state->fn(seen, ret) : 0;
    return true;
  }
  bool Identity(uint64_t subclientId, SubclientRecord& out, int& result) override {
    auto state = IdentityStack().Top();
    if (!state) return false;
    state->Record(subclientId);
    result = state->fn ? state->fn(subclientId, out) : 2;
    return true;
  }
};

void InstallStackedAnswers() {
  static const bool installed = [] {
    SetCatalogStandIn(std::make_shared<StackedAnswers>());
    return true;
  }();
  (void)installed;
}
}  // namespace

ScopedArchiveManager::ScopedArchiveManager(ArchiveManagerFn fn)
    : state_(std::make_shared<State>(std::move(fn))) {
  InstallStackedAnswers();
  ArchiveManagerStack().Push(state_);
}
ScopedArchiveManager::~ScopedArchiveManager() { ArchiveManagerStack().Remove(state_); }
int ScopedArchiveManager::calls() const { return state_->Calls(); }
GetSubclientMountpathListArgs_t ScopedArchiveManager::lastArgs() const { return state_->Last(); }

ScopedIdentity::ScopedIdentity(IdentityFn fn) : state_(std::make_shared<State>(std::move(fn))) {
  InstallStackedAnswers();
  IdentityStack().Push(state_);
}
ScopedIdentity::~ScopedIdentity() { IdentityStack().Remove(state_); }
int ScopedIdentity::calls() const { return state_->Calls(); }
uint64_t ScopedIdentity::lastSubclientId() const { return state_->Last(); }


}  // namespace kxmp::catalog
