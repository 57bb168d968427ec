#pragma once
// What a log backup writer records of the files it commits (FileRecords.h): the SHA-256 of
// every byte handed to it, computed as the bytes are written (Sha256Pipeline: beside the
// write, no second read of anything), and the records of the files committed, merged into
// the root folder's records document when the stream ends.
//
// A commit that creates its name leaves its record pending; the merge at the end keeps it
// unless the name already had a record and the file is no longer the one committed (another
// writer replaced it meanwhile; its record, written with its replacement, stays). A commit
// that replaces a stored file goes through CommitReplacing, record and all.

#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "logbackup/FileRecords.h"
#include "outside/digest/Sha256Pipeline.h"
#include "outside/error/CZoError.h"

class DataServerContext;

namespace kxmp::logbackup {

class WriterRecords {
 public:
  // A file is opened: its checksum begins.
  void Open(const std::string& name, time_t openTime);
  // Bytes written to it, copied for the checksum.
  void Add(const char* data, size_t size) { sha_.Add(data, size); }
  // A buffer to read the next piece into and hand to AddPiece (no copy); null when memory ran out.
  char* Piece(size_t size) { return sha_.Piece(size); }
  void AddPiece(const char* data, size_t size) { sha_.Add(data, size); }
  // The record of the open file as written (size bytes); an empty name when none can be made
  // (the checksum failed; the reason is kept for Flush).
  FileRecord Finish(uint64_t size);
  // A file committed without replacing: its record is kept for the merge, with what the
  // storage said of it right after the commit.
  void Committed(const FileRecord& record, const struct stat& after);
  // A file committed with its record already written (CommitReplacing).
  void Recorded() {}
  // A failure of the records themselves (not the data): reported by Flush.
  void Failed(const CZoError& err);
  // Takes the pending records and the failure of another writer's records, to be merged by
  // this one's Flush (writers in parallel change their folder's document once, not each).
  void Adopt(WriterRecords& other);

  // Merges the pending records into the root folder's document; the first failure since the
  // last Flush (records that could not be made or written), naming what is not recorded.
  CZoError Flush(DataServerContext* context);
  CZoError FlushLocal(const std::string& folder);

 private:
  struct Pending {
    FileRecord record;
    struct stat after;
  };
  CZoError Merge(FileRecords& records, bool& changed, const std::function<bool(const Pending&)>& stillOurs);

  digest::Sha256Pipeline sha_;
  CZoError startError_;
  std::string name_;
  time_t openTime_ = 0;
  std::vector<Pending> pending_;
  CZoError failed_;
};

}  // namespace kxmp::logbackup
