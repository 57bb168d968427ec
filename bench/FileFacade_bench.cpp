// The facade's hot paths: wildcard matching (adversarial and everyday masks), walking a big
// tree through AMWalkDir, and 1 MiB AMWrite calls into a 1 GiB file including the closing
// fsync. The walk and the write compare against find and dd: bench/walk_vs_find.sh and
// bench/write_vs_dd.sh run them with the tree or folder to use in the environment:
//   KXMP_BENCH_WALK_MOUNT  a mount path whose KX_APP_DUMPS/guid-bench holds the tree
//   KXMP_BENCH_WRITE_DIR   a folder on the disk to write to (default /tmp); the benchmark
//                          makes its mount path there and removes it afterwards

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/local/LocalBackend.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"

namespace {

using AMD = AbstractMountingPointDriver;

void BM_WildcardAdversarial(benchmark::State& state) {
  const std::string name(200, 'a');
  for (auto _ : state) {
    benchmark::DoNotOptimize(AMD::WildcardMatch(name.c_str(), "*a*a*a*a*a*a*a*a*b", false));
  }
}
BENCHMARK(BM_WildcardAdversarial);

void BM_WildcardLogMasks(benchmark::State& state) {
  const char* names[] = {"LOG_000123.xml", "log_000124.XML", "StreamMetadata_3.xml", "db1_20240501_120000.trn.tmp",
                         "archive_0000000042_1.dbf"};
  const char* masks[] = {"log_*.xml", "StreamMetadata_*.xml", "*.tmp", "archive_??????????_*.dbf"};
  for (auto _ : state) {
    for (const char* n : names) {
      for (const char* m : masks) benchmark::DoNotOptimize(AMD::WildcardMatch(n, m, true));
    }
  }
  state.SetItemsProcessed(state.iterations() * 20);  // items/s: matches per second
}
BENCHMARK(BM_WildcardLogMasks);

// A fresh folder from a mkdtemp template; aborts the benchmark program when none can be made.
std::string TempFolder(std::string pattern) {
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror(pattern.c_str());
    std::exit(1);
  }
  return pattern;
}

// A context of subclient 1 on host "bench" over `mount`, with its own temporary home (the
// registry answers the GUID) and a backend that lists `mount` without a catalog.
class BenchContext {
 public:
  explicit BenchContext(const std::string& mount) {
    home_ = TempFolder("/tmp/kxmp-bench-home-XXXXXX");
    ::setenv("KX_HOME", home_.c_str(), 1);
    KXPlatformInfo().setRegString("~Tessel/MAMountPoint/1", "sSubClientGUID", "guid-bench");
    auto authority = std::make_shared<kxmp::dataserver::FixedMountPathAuthority>();
    authority->Add("bench", mount);
    kxmp::dataserver::InstallBackend(std::make_shared<kxmp::dataserver::LocalBackend>(authority));
    context_ = std::make_unique<DataServerContext>(1, "bench", mount, 1, false);
    CZoDirectory::Create(context_->getInitRootFolder(), true);
    context_->setRootFolder(context_->getInitRootFolder());
  }
  ~BenchContext() {
    context_.reset();
    kxmp::dataserver::InstallBackend(nullptr);
    CZoDirectory::Remove(home_, true, false);
  }
  DataServerContext* get() { return context_.get(); }

 private:
  std::string home_;
  std::unique_ptr<DataServerContext> context_;
};

CZoError CountFiles(const char*, const char*, bool isFolder, void* counter) {
  if (!isFolder) ++*static_cast<long*>(counter);
  return CZoError::Success();
}

void BM_AMWalkDir(benchmark::State& state) {
  const char* mount = std::getenv("KXMP_BENCH_WALK_MOUNT");
  if (mount == nullptr) {
    state.SkipWithError("KXMP_BENCH_WALK_MOUNT not set (run bench/walk_vs_find.sh)");
    return;
  }
  BenchContext context(mount);
  long files = 0;
  for (auto _ : state) {
    files = 0;
    CZoError err = AMD::AMWalkDir(context.get(), "/", &files, -1, false, CountFiles);
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
  }
  state.counters["files"] = static_cast<double>(files);
}
BENCHMARK(BM_AMWalkDir)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AMWrite1GiB(benchmark::State& state) {
  const char* dir = std::getenv("KXMP_BENCH_WRITE_DIR");
  const std::string mount = TempFolder(std::string(dir != nullptr ? dir : "/tmp") + "/kxmp-write-bench-XXXXXX");
  auto context = std::make_unique<BenchContext>(mount);
  constexpr unsigned int kChunk = 1u << 20;
  constexpr int kChunks = 1024;
  std::vector<char> buffer(kChunk, 0);
  for (auto _ : state) {
    CFileInterface* handle = nullptr;
    CZoError err = AMD::AMCreateFileWithOpen(context->get(), "write.bench", O_CREAT | O_TRUNC | O_WRONLY, 0600, 0,
                                             handle);
    for (int i = 0; i < kChunks && !err.IsError(); ++i) {
      unsigned long written = 0;
      err = AMD::AMWrite(context->get(), handle, buffer.data(), static_cast<long long>(i) * kChunk, kChunk, &written);
      if (!err.IsError() && written != kChunk) state.SkipWithError("short write");
    }
    if (handle != nullptr) {
      CZoError closed = AMD::AMCloseFile(context->get(), handle);  // fsyncs
      if (!err.IsError()) err = closed;
    }
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
    state.PauseTiming();
    AMD::AMRemoveFileFolder(context->get(), "/write.bench");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChunk) * kChunks);
  context.reset();
  CZoDirectory::Remove(mount, true, false);
}
BENCHMARK(BM_AMWrite1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
