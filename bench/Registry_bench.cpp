// Registry reads happen on every mount request: reading a whole subclient key (about a dozen
// values) and one section value, and the cost of one atomic write for comparison.
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"

namespace {

const char kKey[] = "~Tessel/MAMountPoint\\42";

// A temporary home with a subclient key filled as a refreshed cache with two alternates.
class BenchHome {
 public:
  BenchHome() {
    char tmpl[] = "/tmp/kxmp-bench-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    ::setenv("KX_HOME", path_.c_str(), 1);
    KXPlatformInfo info;
    for (const char* suffix : {"", "_1", "_2"}) {
      info.setRegString(kKey, std::string("sMAHostnameMangled") + suffix, "ma1*ma1*2*0");
      info.setRegString(kKey, std::string("sMAMountPath") + suffix, "/mnt/disk1/library/volume");
      info.setRegInt(kKey, std::string("iMAMountPathId") + suffix, 1234);
    }
    info.setRegString(kKey, "nLastRefreshTime", "1700000000");
    info.setRegInt(kKey, "nFailoverNumber", 2);
    info.setRegInt(kKey, "nFailoverCurrent", 0);
    info.setRegString(kKey, "sSubClientGUID", "6B2F8E3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B");
    info.setRegString("Runtime", "nCSONLINE", "1");
  }
  ~BenchHome() { CZoDirectory::Remove(path_, true, false); }

 private:
  std::string path_;
};

void BM_GetRegValuesSubclientKey(benchmark::State& state) {
  BenchHome home;
  KXPlatformInfo info;
  for (auto _ : state) {
    std::map<std::string, std::string> values;
    if (!info.getRegValues(kKey, &values)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_GetRegValuesSubclientKey);

void BM_GetStringSection(benchmark::State& state) {
  BenchHome home;
  KXPlatformInfo info;
  for (auto _ : state) {
    std::string out = "0";
    benchmark::DoNotOptimize(info.getString("Runtime", "nCSONLINE", &out));
  }
}
BENCHMARK(BM_GetStringSection);

void BM_SetRegInt(benchmark::State& state) {
  BenchHome home;
  KXPlatformInfo info;
  int32_t n = 0;
  for (auto _ : state) {
    if (!info.setRegInt(kKey, "nFailoverCurrent", n++ & 3)) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_SetRegInt);

}  // namespace
