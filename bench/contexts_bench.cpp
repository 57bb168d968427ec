// What a log backup pays to get its context: GetDataServerContextList for a backup, once
// starting from the mount path cached in the registry, once asking the archive manager
// (the catalog) and writing the cache before opening the mount path.
#include <stdlib.h>
#include <sys/stat.h>

#include <list>
#include <string>

#include <benchmark/benchmark.h>

#include "kxmp/KXMAMountingPointSvc.h"
#include "kxmp/RegistryNames.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"

namespace {

constexpr unsigned long kSubclient = 42;

// The service with a constructor of its own (the process's singleton is not needed here).
class BenchService : public KXMAMountingPointSvc {};

// A temporary home with subclient 42 and its primary mount path in the catalog, the mount
// path folder, and the cache naming that mount path.
class BenchHome {
 public:
  BenchHome() {
    char tmpl[] = "/tmp/kxmp-bench-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    ::setenv("KX_HOME", path_.c_str(), 1);
    const std::string mount = path_ + "/mp1";
    ::mkdir(mount.c_str(), 0750);
    kxmp::catalog::CatalogAdmin admin;
    ok_ = !admin.CreateSchema().IsError() &&
          !admin.PutSubclient({kSubclient, "6B2F8E3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B", ""}).IsError() &&
          !admin.PutMountPath({1, "ma1*ma1*2*0", mount, "lib"}).IsError() &&
          !admin.Attach(kSubclient, 1, kxmp::catalog::kKindPrimary, 0).IsError();
    const std::string key = std::string("~") + MAMountPointKey + "/" + std::to_string(kSubclient);
    KXPlatformInfo info;
    ok_ = ok_ && info.setRegString(key, MAHostnameMangledVal, "ma1*ma1*2*0") &&
          info.setRegString(key, MAMountPathVal, mount) && info.setRegInt(key, MAMountPathIdVal, 1);
  }
  ~BenchHome() { CZoDirectory::Remove(path_, true, false); }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

void RunBackup(benchmark::State& state, bool useCache) {
  BenchHome home;
  BenchService svc;
  if (!home.ok() || svc.AllocateDriverPtr(false).IsError()) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    std::list<DataServerContextPtr> contexts;
    CZoError err = svc.GetDataServerContextList(kSubclient, contexts, true, useCache, "", false);
    if (err.IsError() || contexts.size() != 1) {
      state.SkipWithError("no context");
      break;
    }
    benchmark::DoNotOptimize(contexts);
  }
  state.counters["contexts/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BackupContextFromCache(benchmark::State& state) { RunBackup(state, true); }
BENCHMARK(BM_BackupContextFromCache)->UseRealTime();

void BM_BackupContextFromArchiveManager(benchmark::State& state) { RunBackup(state, false); }
BENCHMARK(BM_BackupContextFromArchiveManager)->UseRealTime();

}  // namespace
