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
// until fewer bytes than asked arrive; close with the same context.

#include <list>
#include <string>

#include "kxmp/DBLogBackupInterface.h"
#include "kxmp/DataServerSearch.h"

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

  // Opens a found file for reading. Only regular files are served: anything else (a FIFO, a
  // device, a socket, a folder) is refused with errno EINVAL naming what it is, before it is
  // opened, so opening never waits (a FIFO without a writer would block for ever).
  CZoError open(DataServerSearchFile& file, DataServerContextPtr context);
  // Reads up to size bytes; fewer only at the end of the file, which is where it ended when it
  // was opened (what is appended after is not read).
  CZoError read(char* buffer, unsigned int size, unsigned int& bytesRead);
  // Success when the found file is a regular file; EINVAL naming what it is otherwise.
  CZoError check(const DataServerSearchFile& file, DataServerContextPtr context);
  CZoError close(DataServerContextPtr context);
  StreamContext* getStreamContext() override { return &streamContext; }

 private:
  long long remaining = -1;  // bytes left of the open file's size at open; -1: no limit
};
