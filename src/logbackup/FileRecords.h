#pragma once
// Records of stored log files: name, size, SHA-256 and backup time of every file a writer
// committed, kept on the storage beside the files, so that any client machine can tell
// whether what a storage host holds is what was written.
//
// One document per folder that writers write into (their root folder), ".kxmp-sha256", a
// text of lines:
//
//   # kxmp file records 1: sha256 size backup-time state name
//   9f86d0...0a08 16777216 1714567890 - log_0001.trn
//
// sha256: 64 lower-case hex digits; size: bytes; backup time: when the writer opened the file
// (seconds since the epoch, its machine's clock); state: "-", or "x" while an expiry that
// chose the file has not finished (its file may be gone already); name: relative to the
// document's folder, each byte at or below a space, DEL and "%" written as %XX. The first line
// names the format; a text without it, or with a line that does not parse, is not a records
// document: it is reported and kept as it is, never merged away.
//
// Writers change the document the way they change stream metadata (SharedDocument.h): read,
// change and replace under the storage host's lock of the document, so records of writers on
// several machines are all kept. A record is written only after its file was committed
// (data durable, then record): a crash leaves at worst a stored file without a record, which
// reads as unverified, never a record of content that was not committed. In file-mode the
// same document lies in the local folder, changed under a lock of this machine.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/digest/Sha256.h"
#include "outside/error/CZoError.h"

class DataServerContext;

namespace kxmp::logbackup {

inline constexpr char kRecordsName[] = ".kxmp-sha256";

// True when the last "/"-separated component of name is kRecordsName.
KXMP_EXPORT bool IsRecordsName(const std::string& name);

struct KXMP_EXPORT FileRecord {
  std::string name;  // relative to the document's folder
  uint64_t size = 0;
  int64_t time = 0;  // backup time, seconds since the epoch
  digest::Sha256Digest sha256;
  bool expiring = false;

  bool SameContent(const FileRecord& other) const { return size == other.size && sha256 == other.sha256; }
};

class KXMP_EXPORT FileRecords {
 public:
  // Fills from a document's text: EIO naming the line when it is not a records document.
  CZoError Parse(const std::string& text);
  std::string Text() const;

  const FileRecord* Find(const std::string& name) const;
  FileRecord* Find(const std::string& name);
  // Adds the record, or replaces the one of its name.
  void Put(const FileRecord& record);
  bool Remove(const std::string& name);
  const std::vector<FileRecord>& all() const { return records_; }
  bool empty() const { return records_.empty(); }

 private:
  std::vector<FileRecord> records_;
  std::unordered_map<std::string, size_t> index_;
};

// The document's path relative to a root folder, for records of folder ("" the root itself).
KXMP_EXPORT std::string RecordsPathFor(const std::string& folder);

// Reads the records of a folder below a context's root folder ("" the root folder itself).
// exists false (and success) when there is no document.
KXMP_EXPORT CZoError ReadRecords(DataServerContext* context, const std::string& folder, FileRecords& out,
                                 bool& exists);

// Changes the records of a folder: under the storage host's lock of the document it is read
// (empty when missing), handed to change, and written back when change says it changed it.
// An error of change, or a document that does not parse, leaves the document as it was.
using RecordsChange = std::function<CZoError(FileRecords& records, bool& changed)>;
KXMP_EXPORT CZoError UpdateRecords(DataServerContext* context, const std::string& folder, const RecordsChange& change);

// A commit that replaces a stored file, with its record, under the lock of the root folder's
// records document, so that no record ever describes the other version: the old record of
// name is dropped (the document written) before commit runs, and the record commit fills is
// written after it (commit leaves record.name empty when it has none). committed tells whether commit succeeded, whatever the result: an error
// with committed true means the file is stored without a record (unverified).
using ReplacingCommit = std::function<CZoError(FileRecord& record)>;
KXMP_EXPORT CZoError CommitReplacing(DataServerContext* context, const std::string& name, const ReplacingCommit& commit,
                                     bool& committed);
KXMP_EXPORT CZoError CommitReplacingLocal(const std::string& folder, const std::string& name,
                                          const ReplacingCommit& commit, bool& committed);

// The same for a local folder (file-mode), under a lock of this machine.
KXMP_EXPORT CZoError ReadLocalRecords(const std::string& folder, FileRecords& out, bool& exists);
KXMP_EXPORT CZoError UpdateLocalRecords(const std::string& folder, const RecordsChange& change);

}  // namespace kxmp::logbackup
