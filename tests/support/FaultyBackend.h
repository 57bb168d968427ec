#pragma once
// A backend for tests: wraps another backend (the local one by default), injects errno
// failures per operation and path, and records every call (operation name and path).
//
//   auto f = std::make_shared<FaultyBackend>();
//   ScopedBackend scope(f);
//   f->Fail("Write", "", ENOSPC, 3);                        // the 3rd Write fails
//   f->FailFrom("", "", EIO, 7);                            // the 7th call and all later ones
//   f->FailUnder("Exists", "/srv/mp1", EHOSTUNREACH);       // every Exists below /srv/mp1
//   f->FailHost("ma2", "", ETIMEDOUT);                      // everything on storage host ma2
//   f->LimitTransfer("Write", 100);                         // short writes of at most 100 bytes
//   f->FailFactory();                                       // both factories return null
//   f->Calls();                                             // {op, path, host} in call order
//   f->OnCall([](const FaultyBackend::Call& c) { ... });    // runs before every call is passed on
//
// Operation names are those of CFSInterface and CFileInterface ("Exists", "Open", "Read",
// ...) and "GetFSInterfaceInstance" / "GetFileInterfaceInstance" for the factories (whose
// path is the mount path of the params; a failing factory returns null). A file operation's
// path is the path its object was opened with. For "Move" a rule matches the source or the
// target. A failed call is not passed on, so it changes nothing. Unknown operation names in
// a rule abort the test program: a misspelt rule would otherwise never fire.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/BackendRouter.h"

namespace kxmp::dataserver {

// Installs a backend for the life of the object and restores the previous one after.
// Scopes nest; destroy them in reverse order of creation.
class ScopedBackend {
 public:
  explicit ScopedBackend(std::shared_ptr<Backend> backend) : previous_(InstallBackend(std::move(backend))) {}
  // Non-owning: the backend must outlive the scope.
  explicit ScopedBackend(Backend& backend) : ScopedBackend(std::shared_ptr<Backend>(&backend, [](Backend*) {})) {}
  ~ScopedBackend() { InstallBackend(std::move(previous_)); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  std::shared_ptr<Backend> previous_;
};

class FaultyBackend : public Backend {
 public:
  struct Call {
    std::string op;
    std::string path;
    std::string host;
  };

  // A null inner backend means a LocalBackend that reads the catalog.
  explicit FaultyBackend(std::shared_ptr<Backend> inner = nullptr);
  ~FaultyBackend() override;

  // The nth matching call (1-based; 0: every matching call) of `op` ("": any operation but
  // the factories) on exactly `path` ("": any path) fails with errno `err`.
  FaultyBackend& Fail(const std::string& op, const std::string& path, int err, int nth = 0);
  // From the nth matching call (1-based) on, every matching call fails: storage that is gone.
  FaultyBackend& FailFrom(const std::string& op, const std::string& path, int err, int nth);
  // The same for paths at or below `prefix`, compared by whole components.
  FaultyBackend& FailUnder(const std::string& op, const std::string& prefix, int err, int nth = 0);
  // The same for every object made for storage host `host`.
  FaultyBackend& FailHost(const std::string& host, const std::string& op, int err, int nth = 0);
  // "Read" or "Write" transfer at most maxBytes per call.
  FaultyBackend& LimitTransfer(const std::string& op, unsigned int maxBytes);
  FaultyBackend& FailFactory(bool fail = true);
  FaultyBackend& FailFSFactory(bool fail = true);
  FaultyBackend& FailFileFactory(bool fail = true);
  // Drops every rule, limit and hook; the recorded calls stay.
  void ClearFaults();
  // hook runs before every call (factories included) is checked and passed on, on the
  // caller's thread and without the backend's lock: a test holds a call there (a barrier
  // between processes) or looks at the storage as the call finds it. Null removes it.
  using Hook = std::function<void(const Call&)>;
  FaultyBackend& OnCall(Hook hook);

  std::vector<Call> Calls() const;
  // Calls of one operation ("": all), optionally only on one path.
  int CountCalls(const std::string& op, const std::string& path = std::string()) const;
  void ClearCalls();

  BackendCapabilities Capabilities(const CFSInitParams& params) override { return inner_->Capabilities(params); }
  CFSInterface* NewFSInterface(const CFSInitParams& params) override;
  CFileInterface* NewFileInterface(const CFSInitParams& params) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Backend> inner_;
};

}  // namespace kxmp::dataserver
