#pragma once
// The records of a search for backed-up log files (DBLogBackupDataReader::search).

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/kxmp_export.h"

namespace kxmp::logbackup {
class SearchPattern;
}

// One found file.
struct KXMP_EXPORT DataServerSearchFile {
  DataServerSearchFile() = default;
  // Null pointers give empty texts.
  DataServerSearchFile(const char* directory, const char* fileName);

  std::string directory;  // relative to the context's root folder: "" or "/sub/folder"
  std::string fileName;
};

// The files found on one context, in walk order.
struct KXMP_EXPORT DataServerSearchResult {
  DataServerSearchResult() = default;
  DataServerSearchResult(const char* directory, const char* fileName, DataServerContextPtr context);
  // True when both name the same context object.
  bool operator==(const DataServerContextPtr& other) const { return context.get() == other.get(); }

  DataServerContextPtr context;
  std::list<DataServerSearchFile> files;
};

// Implemented by the caller of the callback search: told of every match. Returning 1 means
// the caller has what it wanted (the search stops unless it finds all).
class KXMP_EXPORT DataServerSearchInterface {
 public:
  virtual int32_t onEntry(const char* directory, const char* name, DataServerContextPtr context) = 0;
  virtual ~DataServerSearchInterface();
};

// What one search carries through the walk. Exactly one target is set; when several are,
// the first of resultList, singleResult, callback is used.
struct KXMP_EXPORT DataServerSearchInput {
  std::string pattern;
  DataServerContextPtr context;  // the context being walked; when set at the start, walked first
  std::list<DataServerSearchResult>* resultList = nullptr;
  DataServerSearchResult* singleResult = nullptr;
  DataServerSearchInterface* callback = nullptr;
  bool findAll = false;
  // The pattern compiled on first need and kept for the rest of the search.
  std::shared_ptr<kxmp::logbackup::SearchPattern> compiled;
};
