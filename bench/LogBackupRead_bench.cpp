// Read throughput of DBLogBackupDataReader (1 MiB reads) over the log files backed up for
// subclient 42 in the home that bench/logbackup_vs_cp.sh prepares (KXMP_BENCH_HOME). Without
// it the benchmark is skipped.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <list>
#include <vector>

#include "kxmp/DBLogBackupDataReader.h"

namespace {

void BM_ReaderRead(benchmark::State& state) {
  const char* home = std::getenv("KXMP_BENCH_HOME");
  if (home == nullptr) {
    state.SkipWithError("KXMP_BENCH_HOME not set (run bench/logbackup_vs_cp.sh)");
    return;
  }
  ::setenv("KX_HOME", home, 1);
  DBLogBackupDataReader reader(42, false, "", nullptr);
  std::list<DataServerSearchResult> results;
  reader.search("^big_\\d+\\.trn$", results, true);
  if (results.empty()) {
    state.SkipWithError("no backed-up big_*.trn files");
    return;
  }
  std::vector<char> buffer(1 << 20);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (DataServerSearchResult& r : results) {
      for (DataServerSearchFile& f : r.files) {
        if (reader.open(f, r.context).IsError()) {
          state.SkipWithError("open failed");
          return;
        }
        unsigned int n = 0;
        do {
          if (reader.read(buffer.data(), static_cast<unsigned int>(buffer.size()), n).IsError()) {
            state.SkipWithError("read failed");
            return;
          }
          bytes += n;
        } while (n == buffer.size());
        reader.close(r.context);
      }
    }
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReaderRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
