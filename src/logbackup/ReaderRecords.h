#pragma once
// The reader's check of what it reads (DBLogBackupDataReader::checkRead): the SHA-256 of the
// bytes handed to the caller, computed beside the reads (Sha256Pipeline), judged against the
// record stored with the file (FileRecords.h).
//
// A file's record is looked for in the records document of its folder, then of each folder
// above it up to the root folder (a writer's names may hold folders), each document read once
// per reader. A judgement other than "matches" is made again on documents read afresh, so a
// file recorded or replaced since its folder's records were first read is not misjudged; a
// record that changed while the file was read leaves the outcome unknown.

#include <map>
#include <string>
#include <utility>

#include "kxmp/DBLogBackupDataReader.h"
#include "logbackup/FileRecords.h"
#include "outside/digest/Sha256Pipeline.h"

namespace kxmp::logbackup {

class RecordFinder {
 public:
  // The record of path ("/sub/name" or "name", relative to the context's root folder);
  // found false without one. fresh: documents read again.
  CZoError Find(DataServerContext* context, const std::string& path, FileRecord& out, bool& found, bool fresh);

 private:
  struct Document {
    FileRecords records;
    CZoError error;
  };
  const Document& Read(DataServerContext* context, const std::string& folder, bool fresh);

  std::map<std::pair<const DataServerContext*, std::string>, Document> documents_;
};

class ReaderRecords {
 public:
  // A file is opened for reading: its checksum begins.
  void Open(const DataServerContextPtr& context, const std::string& path);
  // Bytes handed to the caller: copied for the checksum, or a piece from Piece (not copied).
  void Add(const char* data, size_t size) { sha_.Add(data, size); }
  char* Piece(size_t size) { return sha_.Piece(size); }
  void AddPiece(const char* data, size_t size) { sha_.Add(data, size); }
  // A read came back with fewer bytes than asked: the file was read to its end.
  void ReachedEnd() { ended_ = open_; }
  void Close() { open_ = false; }
  // The judgement of the last file opened.
  CZoError Check(DataServerReadCheck& out);
  CZoError Lookup(const DataServerContextPtr& context, const std::string& path, DataServerReadCheck& out);

 private:
  RecordFinder finder_;
  digest::Sha256Pipeline sha_;
  CZoError startError_;
  DataServerContextPtr context_;
  std::string path_;
  bool open_ = false;
  bool ended_ = false;
  bool judged_ = false;
  DataServerReadCheck verdict_;
};

}  // namespace kxmp::logbackup
