#pragma once
// What one mount path holds of a subclient's log backups, read for kxmp verify and kxmp
// expire: every stored log below the root folder (files being written, stream metadata
// documents and the records themselves left out) and every record of the records documents
// found there, each by its path below the root folder ("/sub/name").

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/ReadPlaces.h"
#include "logbackup/FileRecords.h"
#include "outside/error/CZoError.h"

namespace kxmp::cli {

struct RecordAt {
  logbackup::FileRecord record;
  std::string folder;  // of its document, below the root folder ("" the root folder)
};

struct StoredLogs {
  std::vector<std::string> files;           // in walk order
  std::map<std::string, RecordAt> records;  // by the path of the file it describes
  std::vector<std::string> damaged;         // documents that do not parse: "<folder>: <why>"
  std::map<std::string, std::vector<std::string>> metadata;  // folder -> its stream metadata documents
  std::vector<std::string> recordFolders;   // folders holding a records document
};

// Walks the context's root folder and reads the records documents found. A failed walk is an
// error; a document that cannot be read or parsed is listed in damaged.
CZoError ReadStoredLogs(DataServerContext* context, StoredLogs& out);

// The subclient's mount paths for reading (service::ListReadPlaces) and, index by index, what
// each one holding the root folder stores. A place whose root folder cannot be read loses its
// context, and its why says so. The listing's error; no places when the catalog lists none.
CZoError ReadEveryPlace(unsigned long subclient, const std::string& rootFolder, std::vector<service::ReadPlace>& places,
                        std::vector<StoredLogs>& logs);

// The path of a record below the root folder.
std::string RecordPath(const std::string& folder, const std::string& name);

// The backup time of a stored log: its record's, else its modification time on the storage
// (asked through context); -1 when neither can be had.
time_t BackupTimeOf(DataServerContext* context, const std::string& path, const StoredLogs& logs);

}  // namespace kxmp::cli
