// The catalog's cost on the paths that ask it: a data server's mount path look-up, and a
// mount request whose cache is stale (the archive manager is asked and the cache rewritten),
// once through the machine's SQLite catalog and once through a site catalog in PostgreSQL.
// The PostgreSQL cases need KXMP_BENCH_PG (a connection string to an empty database);
// bench/catalog_pg_vs_sqlite.sh starts a server and sets it.
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kxmp/AbstractMountingPointDriver.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"

namespace {

constexpr unsigned long kSubclient = 42;
constexpr const char* kHost = "ma1*ma1*2*0";

// A temporary home whose catalog (SQLite, or the database of KXMP_BENCH_PG) holds subclient 42
// with a primary and two alternate mount paths; the control server is online.
class BenchHome {
 public:
  explicit BenchHome(bool postgres) {
    char tmpl[] = "/tmp/kxmp-bench-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    ::setenv("KX_HOME", path_.c_str(), 1);
    KXPlatformInfo info;
    ok_ = info.setRegString("Runtime", "nCSONLINE", "1");
    if (postgres) {
      const char* conn = ::getenv("KXMP_BENCH_PG");
      if (conn == nullptr || *conn == '\0') {
        why_ = "KXMP_BENCH_PG is not set (bench/catalog_pg_vs_sqlite.sh sets it)";
        ok_ = false;
        return;
      }
      ok_ = ok_ && info.setRegString(kxmp::catalog::kCatalogRegistryKey, kxmp::catalog::kCatalogConnectionValue, conn);
    }
    kxmp::catalog::CatalogAdmin admin;
    ok_ = ok_ && !admin.CreateSchema().IsError() && !admin.PutSubclient({kSubclient, "sc42", "bs42"}).IsError();
    for (int64_t i = 1; ok_ && i <= 3; ++i) {
      const std::string mount = path_ + "/mp" + std::to_string(i);
      ::mkdir(mount.c_str(), 0750);
      ok_ = !admin.PutMountPath({i, kHost, mount, "lib"}).IsError() &&
            !admin.Attach(kSubclient, i, i == 1 ? kxmp::catalog::kKindPrimary : kxmp::catalog::kKindAlternate, i)
                 .IsError();
    }
    if (!ok_ && why_.empty()) why_ = "cannot fill the catalog";
  }
  ~BenchHome() { CZoDirectory::Remove(path_, true, false); }
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }

 private:
  std::string path_;
  std::string why_;
  bool ok_ = false;
};

void MountPathLookup(benchmark::State& state, bool postgres) {
  BenchHome home(postgres);
  if (!home.ok()) return state.SkipWithError(home.why().c_str());
  kxmp::dataserver::CatalogMountPathAuthority authority;
  std::vector<std::string> paths;
  for (auto _ : state) {
    if (authority.MountPathsOf(kHost, paths).IsError() || paths.size() != 3) {
      state.SkipWithError("look-up failed");
      break;
    }
  }
}

void StaleCacheMount(benchmark::State& state, bool postgres) {
  BenchHome home(postgres);
  if (!home.ok()) return state.SkipWithError(home.why().c_str());
  for (auto _ : state) {
    std::vector<MountPathInfo> list;
    // refreshCache: the archive manager is asked as for a cache past its interval.
    CZoError err = AbstractMountingPointDriver::GetSubclientMountpathList(kSubclient, list, false, false, true, true);
    if (err.IsError() || list.size() != 1) {
      state.SkipWithError("mount path list failed");
      break;
    }
  }
}

BENCHMARK_CAPTURE(MountPathLookup, sqlite, false)->UseRealTime();
BENCHMARK_CAPTURE(MountPathLookup, postgres, true)->UseRealTime();
BENCHMARK_CAPTURE(StaleCacheMount, sqlite, false)->UseRealTime();
BENCHMARK_CAPTURE(StaleCacheMount, postgres, true)->UseRealTime();

}  // namespace
