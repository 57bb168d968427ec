#pragma once
// Catalog answers for tests, through the catalog's stand-in (CatalogLocator.h). While a scoped installer lives, the archive manager
// client (or the application identity) asks its function instead of the catalog, and the
// installer counts the calls and keeps the last request. Installers nest: the innermost one
// answers, and its destruction puts the previous one back. Process-wide and guarded; the
// installed function may be called from several threads at once.
//
//   kxmp::catalog::ScopedArchiveManager fake(
//       [](const GetSubclientMountpathListArgs_t& args, GetSubclientMountpathListRet_t& ret) {
//         ret.mountPaths.push_back(...);
//         return 0;
//       });
//   ... code under test ...
//   EXPECT_EQ(fake.calls(), 1);

#include <cstdint>
#include <functional>
#include <memory>

#include "outside/catalog/ArMgrTypes.h"
#include "outside/catalog/CatalogRecords.h"

namespace kxmp::catalog {

// Answers getSubclientMountpathList: the return code, and the list in ret on code 0.
using ArchiveManagerFn =
    std::function<int(const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t&)>;

// Answers an identity lookup: 0 and the row when the subclient is known, 2 when it is not,
// another code when the catalog cannot be read.
using IdentityFn = std::function<int(uint64_t subclientId, SubclientRecord& out)>;

class ScopedArchiveManager {
 public:
  explicit ScopedArchiveManager(ArchiveManagerFn fn);
  ~ScopedArchiveManager();
  ScopedArchiveManager(const ScopedArchiveManager&) = delete;
  ScopedArchiveManager& operator=(const ScopedArchiveManager&) = delete;

  int calls() const;
  GetSubclientMountpathListArgs_t lastArgs() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

class ScopedIdentity {
 public:
  explicit ScopedIdentity(IdentityFn fn);
  ~ScopedIdentity();
  ScopedIdentity(const ScopedIdentity&) = delete;
  ScopedIdentity& operator=(const ScopedIdentity&) = delete;

  int calls() const;
  uint64_t lastSubclientId() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};


}  // namespace kxmp::catalog
