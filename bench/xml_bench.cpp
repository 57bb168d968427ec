// Serialisation and parsing of a stream metadata message with 1,000 file records.

#include <benchmark/benchmark.h>

#include <string>

#include "outside/xml/TesselMessages.h"

namespace {

Tessel::LogBackupToDiskStreamMetadata MakeStream(int files) {
  using namespace Tessel;
  LogBackupToDiskStreamMetadata m;
  m.setint64(1, 1, 7, kLogBackupToDiskStreamMetadataTag,
             kLogBackupToDiskStreamMetadataStreamNumberId);
  m.setstring(3, 3, "mediaagent01*mediaagent01*8400*8402", kLogBackupToDiskStreamMetadataTag,
              kLogBackupToDiskStreamMetadataMaHostNameId);
  m.setint64(4, 7, 1700000000, kLogBackupToDiskStreamMetadataTag,
             kLogBackupToDiskStreamMetadataBackupTimeId);
  CNMessageList* list = m.getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag,
                                        kLogBackupToDiskStreamMetadataFilesId, true);
  for (int k = 0; k < files; ++k) {
    CNMessageBase* rec = list->append();
    rec->setstring(1, 1, "archive_log_" + std::to_string(100000 + k) + ".arc",
                   kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
    rec->setint64(2, 5, 1700000000 + k, kLogBackupToDiskFileMetadataTag,
                  kLogBackupToDiskFileMetadataOpenTimeId);
  }
  return m;
}

void BM_SerializeStream1000(benchmark::State& state) {
  const auto m = MakeStream(1000);
  std::string out;
  for (auto _ : state) {
    if (m.serialize(out, false) != 0) state.SkipWithError("serialize failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_SerializeStream1000)->Unit(benchmark::kMicrosecond);

void BM_UnserializeStream1000(benchmark::State& state) {
  std::string text;
  MakeStream(1000).serialize(text, false);
  Tessel::LogBackupToDiskStreamMetadata m;
  for (auto _ : state) {
    if (m.unserialize(text) != 0) state.SkipWithError("unserialize failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_UnserializeStream1000)->Unit(benchmark::kMicrosecond);

}  // namespace
