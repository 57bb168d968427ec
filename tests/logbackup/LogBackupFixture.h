#pragma once
// Log backup writers and readers of subclient 42 against real folders: the catalog of
// ContextTest (storage hosts ma1..ma3, mount paths <home>/mp1..mp3), the mount paths the test
// attaches to the subclient, and the process's job results directory for the data-path cache
// file. The writer and reader prefix the backup-set GUID, so the root folder on mount path i
// is RootOn(i, "bs-guid-42").

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ContextFixture.h"
#include "kxmp/DBLogBackupInterface.h"
#include "logbackup/JobResultsFixture.h"
#include "logbackup/StorageNames.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/error/CZoError.h"
#include "kxmp/StreamContext.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::test {

// Keeps every error handed to the error handler.
class RecordingHandler : public DBLogBackupErrorHandler {
 public:
  void onError(const CZoError& error) override { errors.push_back(error); }
  std::vector<CZoError> errors;
};

class LogBackupTest : public ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    jobResults_ = UseProcessJobResultsDirectory();
    log_->Clear();
  }

  // Attaches mount paths (0-based) to the subclient, the first as primary.
  void Attach(std::vector<int> which) {
    int position = 0;
    for (int i : which) {
      const int64_t kind = position == 0 ? catalog::kKindPrimary : catalog::kKindAlternate;
      CZoError e = admin_->Attach(kSubclient, i + 1, kind, position++);
      ASSERT_FALSE(e.IsError()) << e.AsString();
    }
  }

  std::string Root(size_t i) const { return RootOn(i, "bs-guid-42"); }
  // This machine's temporary file of `name` on mount path i while it is written.
  std::string Tmp(size_t i, const std::string& name) const {
    return Root(i) + "/" + logbackup::TemporaryNameFor(name, logbackup::WriterId());
  }
  std::string CacheFile() const { return jobResults_ + "/2/42/DBLogBackupMAPathCache.xml"; }

  std::string jobResults_;
  RecordingHandler handler_;
};

// The file names of a stream's metadata records, in order.
inline std::vector<std::string> RecordedNames(StreamContext& stream) {
  std::vector<std::string> names;
  for (const CNMessageBase& r : *stream.metadata->getlistobject(2, 2, Tessel::kLogBackupToDiskStreamMetadataTag,
                                                                Tessel::kLogBackupToDiskStreamMetadataFilesId, false)) {
    names.push_back(
        r.getstring(1, 1, Tessel::kLogBackupToDiskFileMetadataTag, Tessel::kLogBackupToDiskFileMetadataFileNameId));
  }
  return names;
}

// Deterministic content of a given size, different for every seed.
inline std::string Content(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

}  // namespace kxmp::test
