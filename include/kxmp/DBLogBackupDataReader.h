#pragma once
// Finds log files backed up by DBLogBackupDataWriter on every reachable data-server context
// of a subclient and reads them back.
//
// A search walks the root folder of each context (in list order) and matches each file name
// against the pattern (names ending in ".tmp" are files being written: never matched, and
// open refuses them with ENOENT), taken both as a case-insensitive file name and as an ECMAScript
// regular expression searched anywhere in the name. A pattern that is no valid expression
// only matches by name; a match that runs away (catastrophic backtracking) counts as no
// match. Expected order: search; open a found file with the context of its result; read
// until fewer bytes than asked arrive; close with the same context; then, if wanted,
// checkRead.
//
// Every byte read is checksummed (SHA-256) as it is read, and checkRead says whether what was
// read is what the record stored with the file (".kxmp-sha256" beside it, written by the
// writer) says was written: no second read of anything.

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "kxmp/DBLogBackupInterface.h"
#include "kxmp/DataServerSearch.h"

namespace kxmp::logbackup {
class ReaderRecords;
}  // namespace kxmp::logbackup

// What reading a stored file showed against the record stored with it.
struct KXMP_EXPORT DataServerReadCheck {
  enum Result {
    kNotRead,     // not read to its end since it was opened (or nothing opened)
    kMatches,     // the bytes read have the size and SHA-256 of the file's record
    kDiffers,     // they do not: the stored copy is not what was written (damaged)
    kUnrecorded,  // the file is stored without a record: nothing to check it against
    kUnknown,     // the record or the checksum could not be had (why says)
  };
  Result result = kNotRead;
  uint64_t bytes = 0;          // read since the file was opened
  std::string sha256;          // of the bytes read, 64 hex digits, once read to the end
  bool recorded = false;       // a record was found; then:
  uint64_t recordSize = 0;
  std::string recordSha256;
  int64_t recordTime = 0;      // its backup time, seconds since the epoch
  std::string why;             // for kDiffers and kUnknown
};

class KXMP_EXPORT DBLogBackupDataReader : public DBLogBackupInterface {
 public:
  DBLogBackupDataReader(unsigned long subclientId, bool fileMode, const std::string& rootFolder,
                        DBLogBackupErrorHandler* errorHandler);

  // Single form: success with the first match (result.context is its context); with findAll
  // every context is walked and the not-found error (errno 2) comes back, result holding the
  // matches of the last context only.
  CZoError search(const std::string& pattern, DataServerSearchResult& result, bool findAll);
  // List form: every context is walked, one result per context with matches; always ends
  // with the not-found error (errno 2): judge the outcome by the list.
  CZoError search(const std::string& pattern, std::list<DataServerSearchResult>& results, bool findAll);
  // Callback form: onEntry for every match until one returns 1 (unless findAll).
  CZoError search(const std::string& pattern, DataServerSearchInterface& callback, bool findAll);
  CZoError searchFile(DataServerSearchInput& input);
  // Success when the pattern is plain text or a valid expression; else EINVAL naming the
  // pattern and why, for callers that want an invalid one refused instead of matched by name.
  static CZoError checkPattern(const std::string& pattern);
  // The per-entry callback of the walk; context is the DataServerSearchInput.
  static CZoError Walker(const char* folder, const char* name, bool isFolder, void* context);
  // True when the input's pattern, as a regular expression, matches somewhere in name.
  static bool regexSearchHelper(std::string name, DataServerSearchInput* input);

  ~DBLogBackupDataReader() override;

  // Opens a found file for reading. Only regular files are served: anything else (a FIFO, a
  // device, a socket, a folder) is refused with errno EINVAL naming what it is, before it is
  // opened, so opening never waits (a FIFO without a writer would block for ever).
  CZoError open(DataServerSearchFile& file, DataServerContextPtr context);
  // Reads up to size bytes; fewer only at the end of the file, which is where it ended when it
  // was opened (what is appended after is not read).
  CZoError read(char* buffer, unsigned int size, unsigned int& bytesRead);
  // Reads up to size bytes of the open file as read does and writes all of them to the
  // descriptor fd; done is their number (fewer than size only at the end). The bytes are
  // checksummed beside the copy, without the copy read makes. A failed write to fd is its
  // errno.
  CZoError readTo(int fd, unsigned int size, unsigned int& done);
  // Success when the found file is a regular file; EINVAL naming what it is otherwise.
  CZoError check(const DataServerSearchFile& file, DataServerContextPtr context);
  CZoError close(DataServerContextPtr context);
  // Whether what was read of the file opened last matches its record (see
  // DataServerReadCheck); call it after reading the file to its end (it may be closed).
  CZoError checkRead(DataServerReadCheck& out);
  // The record of a found file (out.recorded false when it has none), without reading it.
  CZoError findRecord(const DataServerSearchFile& file, DataServerContextPtr context, DataServerReadCheck& out);
  StreamContext* getStreamContext() override { return &streamContext; }

 private:
  CZoError readRaw(char* buffer, unsigned int size, unsigned int& bytesRead);

  std::unique_ptr<kxmp::logbackup::ReaderRecords> records;
  long long remaining = -1;  // bytes left of the open file's size at open; -1: no limit
};
