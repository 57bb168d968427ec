// Walking 100,000 files through the data-server interface, against `find` on the same tree.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "outside/dataserver/local/LocalBackend.h"
#include "outside/util/CZoFile.h"

namespace {

using kxmp::dataserver::FixedMountPathAuthority;
using kxmp::dataserver::LocalBackend;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;

// A tree of 100 folders of 1000 empty files, made once and removed at exit.
struct Tree {
  std::string mount;
  std::string root;
  Tree() {
    char tmpl[] = "/tmp/kxmp-walk-bench-XXXXXX";
    mount = ::mkdtemp(tmpl);
    root = mount + "/KX_APP_DUMPS/guid";
    CZoDirectory::Create(root, true);
    for (int d = 0; d < kFolders; ++d) {
      std::string folder = root + "/s" + std::to_string(d);
      ::mkdir(folder.c_str(), 0750);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        std::FILE* fp = std::fopen((folder + "/log_" + std::to_string(f) + ".xml").c_str(), "w");
        if (fp) std::fclose(fp);
      }
    }
  }
  ~Tree() { CZoDirectory::Remove(mount, true, false); }
};

Tree& TheTree() {
  static Tree tree;
  return tree;
}

CZoError Count(const char*, const char*, bool, void* ctx) {
  ++*static_cast<long*>(ctx);
  return CZoError::Success();
}

void BM_WalkDir(benchmark::State& state) {
  Tree& tree = TheTree();
  auto authority = std::make_shared<FixedMountPathAuthority>();
  authority->Add("ma1", tree.mount);
  LocalBackend backend(authority);
  CFSInitParams params;
  params.host.hostName = "ma1";
  params.host.mountPath = tree.root;
  long entries = 0;
  for (auto _ : state) {
    entries = 0;
    std::unique_ptr<CFSInterface> fs(backend.NewFSInterface(params));
    CZoError err = fs->WalkDir(tree.root, &entries, -1, false, Count, 0);
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
  }
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_WalkDir)->Unit(benchmark::kMillisecond);

void BM_Find(benchmark::State& state) {
  std::string cmd = "find '" + TheTree().root + "' > /dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("find failed");
  }
}
BENCHMARK(BM_Find)->Unit(benchmark::kMillisecond);

}  // namespace
