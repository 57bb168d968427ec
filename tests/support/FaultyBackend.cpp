#include "support/FaultyBackend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>

#include "outside/dataserver/local/LocalBackend.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

const std::set<std::string>& KnownOps() {
  static const std::set<std::string> ops = {
      // factories
      "GetFSInterfaceInstance", "GetFileInterfaceInstance",
      // CFSInterface
      "Connect", "Disconnect", "Exists", "IsFolder", "CreateFolder", "GetVolumeSize", "Lstat", "Stat", "RemoveFile",
      "RemoveFolder", "GetDirContents", "WalkDir", "Chmod", "Move",
      // CFileInterface ("Stat" above is shared)
      "Open", "Close", "Read", "Write", "Seek", "Tell", "GetSize", "Truncate", "Flush", "Lock", "Unlock"};
  return ops;
}

void CheckOp(const std::string& op) {
  if (op.empty() || KnownOps().count(op) != 0) return;
  std::fprintf(stderr, "FaultyBackend: unknown operation name [%s] in a fault rule\n", op.c_str());
  std::abort();
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out.emplace_back(path, i, j - i);
    i = j + 1;
  }
  return out;
}

bool IsUnder(const std::string& path, const std::string& prefix) {
  if (path.empty()) return false;
  std::vector<std::string> p = Components(path), q = Components(prefix);
  return q.size() <= p.size() && std::equal(q.begin(), q.end(), p.begin());
}

CZoError Injected(const FXCodeLocation& where, const char* op, const std::string& path, int err) {
  return FXErrorUtil::ErrorErrNo(where, err, "Injected failure of %s [%s]", op, path.c_str());
}

}  // namespace

struct FaultyBackend::State {
  struct Rule {
    std::string op;
    std::string path;
    std::string host;
    bool under = false;
    int err = 0;
    int nth = 0;
    int seen = 0;
    bool onward = false;  // every call from the nth on
  };

  mutable std::mutex mutex;
  std::vector<Rule> rules;
  std::map<std::string, unsigned int> limits;
  bool failFS = false;
  bool failFile = false;
  std::vector<Call> calls;
  FaultyBackend::Hook hook;

  bool PathMatches(const Rule& r, const std::string& path, const std::string& other) const {
    if (r.path.empty()) return true;
    if (r.under) return IsUnder(path, r.path) || IsUnder(other, r.path);
    return path == r.path || (!other.empty() && other == r.path);
  }

  // Records the call and answers the errno to inject (0: none).
  int Check(const char* op, const std::string& path, const std::string& host, const std::string& other = "") {
    FaultyBackend::Hook before;
    {
      std::lock_guard<std::mutex> lock(mutex);
      before = hook;
    }
    // Outside the lock: a hook may wait for another process, or make calls of its own.
    if (before) before(Call{op, path, host});
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(Call{op, path, host});
    int inject = 0;
    for (Rule& r : rules) {
      // A rule for any operation leaves the factories alone: they fail only when named.
      bool opMatches = r.op.empty() ? std::strncmp(op, "Get", 3) != 0 : r.op == op;
      if (!opMatches || (!r.host.empty() && r.host != host) || !PathMatches(r, path, other)) continue;
      ++r.seen;
      if (inject == 0 && (r.nth == 0 || r.seen == r.nth || (r.onward && r.seen > r.nth))) inject = r.err;
    }
    return inject;
  }

  unsigned int Limit(const char* op, unsigned int size) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = limits.find(op);
    return it == limits.end() ? size : std::min(size, it->second);
  }
};

namespace {

using State = FaultyBackend::State;

#define KX_INJECT(op, path, ...)                                                  \
  do {                                                                            \
    if (int injected_ = state_->Check(op, path, host_, ##__VA_ARGS__))            \
      return Injected(FX_LOC, op, path, injected_);                               \
  } while (0)

class FaultyFS : public CFSInterface {
 public:
  FaultyFS(std::unique_ptr<CFSInterface> inner, std::shared_ptr<State> state, std::string host)
      : inner_(std::move(inner)), state_(std::move(state)), host_(std::move(host)) {}

  CZoError Connect() override {
    KX_INJECT("Connect", std::string());
    return inner_->Connect();
  }
  CZoError Disconnect() override {
    KX_INJECT("Disconnect", std::string());
    return inner_->Disconnect();
  }
  CZoError Exists(std::string path, bool& exists) override {
    exists = false;
    KX_INJECT("Exists", path);
    return inner_->Exists(std::move(path), exists);
  }
  CZoError IsFolder(std::string path, bool& isFolder) override {
    isFolder = false;
    KX_INJECT("IsFolder", path);
    return inner_->IsFolder(std::move(path), isFolder);
  }
  CZoError CreateFolder(std::string path, int flag) override {
    KX_INJECT("CreateFolder", path);
    return inner_->CreateFolder(std::move(path), flag);
  }
  CZoError GetVolumeSize(const char* path, unsigned long long* total, unsigned long long* free) override {
    KX_INJECT("GetVolumeSize", std::string(path ? path : ""));
    return inner_->GetVolumeSize(path, total, free);
  }
  CZoError Lstat(std::string path, SZoFileStat& st) override {
    KX_INJECT("Lstat", path);
    return inner_->Lstat(std::move(path), st);
  }
  CZoError Stat(std::string path, SZoFileStat& st) override {
    KX_INJECT("Stat", path);
    return inner_->Stat(std::move(path), st);
  }
  CZoError Reserved10() override { return inner_->Reserved10(); }
  CZoError RemoveFile(std::string path, int flag) override {
    KX_INJECT("RemoveFile", path);
    return inner_->RemoveFile(std::move(path), flag);
  }
  CZoError RemoveFolder(std::string path, int flag) override {
    KX_INJECT("RemoveFolder", path);
    return inner_->RemoveFolder(std::move(path), flag);
  }
  CZoError GetDirContents(std::string path, std::vector<std::string>& files,
                          std::vector<std::string>& folders) override {
    KX_INJECT("GetDirContents", path);
    return inner_->GetDirContents(std::move(path), files, folders);
  }
  CZoError WalkDir(std::string path, void* context, int level, bool filesOnly, WalkerFunc cb, int reserved) override {
    KX_INJECT("WalkDir", path);
    return inner_->WalkDir(std::move(path), context, level, filesOnly, cb, reserved);
  }
  CZoError Chmod(std::string path, int mode) override {
    KX_INJECT("Chmod", path);
    return inner_->Chmod(std::move(path), mode);
  }
  CZoError Reserved16() override { return inner_->Reserved16(); }
  CZoError Reserved17() override { return inner_->Reserved17(); }
  CZoError Reserved18() override { return inner_->Reserved18(); }
  CZoError Move(std::string from, std::string to, int flag) override {
    KX_INJECT("Move", from, to);
    return inner_->Move(std::move(from), std::move(to), flag);
  }

 private:
  std::unique_ptr<CFSInterface> inner_;
  std::shared_ptr<State> state_;
  std::string host_;
};

class FaultyFile : public CFileInterface {
 public:
  FaultyFile(std::unique_ptr<CFileInterface> inner, std::shared_ptr<State> state, std::string host)
      : inner_(std::move(inner)), state_(std::move(state)), host_(std::move(host)) {}

  CZoError Open(std::string path, int uFlags, int uMode, int shFlag) override {
    KX_INJECT("Open", path);
    CZoError err = inner_->Open(path, uFlags, uMode, shFlag);
    if (!err.IsError()) path_ = std::move(path);
    return err;
  }
  CZoError Close() override {
    KX_INJECT("Close", path_);
    return inner_->Close();
  }
  CZoError Read(void* buffer, unsigned int size, unsigned int* bytesRead) override {
    if (bytesRead) *bytesRead = 0;
    KX_INJECT("Read", path_);
    return inner_->Read(buffer, state_->Limit("Read", size), bytesRead);
  }
  CZoError Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) override {
    if (bytesWritten) *bytesWritten = 0;
    KX_INJECT("Write", path_);
    return inner_->Write(buffer, state_->Limit("Write", size), bytesWritten);
  }
  CZoError Seek(long long offset, int whence, int reserved) override {
    KX_INJECT("Seek", path_);
    return inner_->Seek(offset, whence, reserved);
  }
  CZoError Tell(long long& position) override {
    KX_INJECT("Tell", path_);
    return inner_->Tell(position);
  }
  CZoError GetSize(long long& size) override {
    KX_INJECT("GetSize", path_);
    return inner_->GetSize(size);
  }
  CZoError Truncate(long long size) override {
    KX_INJECT("Truncate", path_);
    return inner_->Truncate(size);
  }
  CZoError Stat(SZoFileStat& st) override {
    KX_INJECT("Stat", path_);
    return inner_->Stat(st);
  }
  CZoError Flush() override {
    KX_INJECT("Flush", path_);
    return inner_->Flush();
  }
  CZoError Reserved12() override { return inner_->Reserved12(); }
  CZoError Reserved13() override { return inner_->Reserved13(); }
  CZoError Lock(int mode) override {
    KX_INJECT("Lock", path_);
    return inner_->Lock(mode);
  }
  CZoError Unlock() override {
    KX_INJECT("Unlock", path_);
    return inner_->Unlock();
  }

 private:
  std::unique_ptr<CFileInterface> inner_;
  std::shared_ptr<State> state_;
  std::string host_;
  std::string path_;
};

#undef KX_INJECT

}  // namespace

FaultyBackend::FaultyBackend(std::shared_ptr<Backend> inner)
    : state_(std::make_shared<State>()), inner_(inner ? std::move(inner) : std::make_shared<LocalBackend>()) {}

FaultyBackend::~FaultyBackend() = default;

FaultyBackend& FaultyBackend::Fail(const std::string& op, const std::string& path, int err, int nth) {
  CheckOp(op);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rules.push_back(State::Rule{op, path, std::string(), false, err, nth, 0, false});
  return *this;
}

FaultyBackend& FaultyBackend::FailFrom(const std::string& op, const std::string& path, int err, int nth) {
  CheckOp(op);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rules.push_back(State::Rule{op, path, std::string(), false, err, nth, 0, true});
  return *this;
}

FaultyBackend& FaultyBackend::FailUnder(const std::string& op, const std::string& prefix, int err, int nth) {
  CheckOp(op);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rules.push_back(State::Rule{op, prefix, std::string(), true, err, nth, 0, false});
  return *this;
}

FaultyBackend& FaultyBackend::FailHost(const std::string& host, const std::string& op, int err, int nth) {
  CheckOp(op);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rules.push_back(State::Rule{op, std::string(), host, false, err, nth, 0, false});
  return *this;
}

FaultyBackend& FaultyBackend::LimitTransfer(const std::string& op, unsigned int maxBytes) {
  if (op != "Read" && op != "Write") CheckOp("?" + op);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->limits[op] = maxBytes;
  return *this;
}

FaultyBackend& FaultyBackend::FailFactory(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failFS = state_->failFile = fail;
  return *this;
}

FaultyBackend& FaultyBackend::FailFSFactory(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failFS = fail;
  return *this;
}

FaultyBackend& FaultyBackend::FailFileFactory(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failFile = fail;
  return *this;
}

void FaultyBackend::ClearFaults() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rules.clear();
  state_->limits.clear();
  state_->failFS = state_->failFile = false;
  state_->hook = nullptr;
}

FaultyBackend& FaultyBackend::OnCall(Hook hook) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->hook = std::move(hook);
  return *this;
}

std::vector<FaultyBackend::Call> FaultyBackend::Calls() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->calls;
}

int FaultyBackend::CountCalls(const std::string& op, const std::string& path) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->calls.begin(), state_->calls.end(), [&](const Call& c) {
    return (op.empty() || c.op == op) && (path.empty() || c.path == path);
  }));
}

void FaultyBackend::ClearCalls() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->calls.clear();
}

namespace {

// Makes the inner object and wraps it, unless a rule or the flag makes the factory fail.
template <typename Wrapper, typename Make>
auto MakeWrapped(State& state, const std::shared_ptr<State>& shared, const char* op, bool State::*failFlag,
                 const CFSInitParams& params, Make make) -> decltype(make()) {
  try {
    int err = state.Check(op, params.host.mountPath, params.host.hostName);
    bool fail;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      fail = state.*failFlag;
    }
    if (err != 0 || fail) return nullptr;
    std::unique_ptr<std::remove_pointer_t<decltype(make())>> inner(make());
    if (!inner) return nullptr;
    return new Wrapper(std::move(inner), shared, params.host.hostName);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

CFSInterface* FaultyBackend::NewFSInterface(const CFSInitParams& params) {
  return MakeWrapped<FaultyFS>(*state_, state_, "GetFSInterfaceInstance", &State::failFS, params,
                               [&] { return inner_->NewFSInterface(params); });
}

CFileInterface* FaultyBackend::NewFileInterface(const CFSInitParams& params) {
  return MakeWrapped<FaultyFile>(*state_, state_, "GetFileInterfaceInstance", &State::failFile, params,
                                 [&] { return inner_->NewFileInterface(params); });
}

}  // namespace kxmp::dataserver
