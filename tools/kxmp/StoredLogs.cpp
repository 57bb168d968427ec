#include "StoredLogs.h"

#include "CliSupport.h"

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/StorageNames.h"

namespace kxmp::cli {
namespace {

struct Walk {
  StoredLogs* out;
};

bool EndsWith(const std::string& text, const char* end) {
  const std::string e = end;
  return text.size() >= e.size() && text.compare(text.size() - e.size(), e.size(), e) == 0;
}

CZoError Visit(const char* folder, const char* name, bool isFolder, void* context) {
  auto* walk = static_cast<Walk*>(context);
  if (isFolder || name == nullptr) return CZoError::Success();
  const std::string dir = folder != nullptr ? folder : "";
  const std::string file = name;
  if (file == logbackup::kRecordsName) {
    walk->out->recordFolders.push_back(dir);
  } else if (logbackup::IsStreamMetadataName(file)) {
    walk->out->metadata[dir].push_back(file);
  } else if (!EndsWith(file, ".tmp")) {
    walk->out->files.push_back(dir + "/" + file);
  }
  return CZoError::Success();
}

}  // namespace

std::string RecordPath(const std::string& folder, const std::string& name) {
  std::string dir = folder;
  if (!dir.empty() && dir.front() != '/') dir.insert(0, "/");
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir + "/" + name;
}

CZoError ReadStoredLogs(DataServerContext* context, StoredLogs& out) {
  out = StoredLogs();
  Walk walk{&out};
  CZoError err = AbstractMountingPointDriver::AMWalkDir(context, "/", &walk, -1, false, &Visit);
  if (err.IsError()) return err;
  for (const std::string& folder : out.recordFolders) {
    logbackup::FileRecords records;
    bool exists = false;
    err = logbackup::ReadRecords(context, folder, records, exists);
    if (err.IsError()) {
      out.damaged.push_back((folder.empty() ? std::string("/") : folder) + ": " + err.Message());
      continue;
    }
    for (const logbackup::FileRecord& r : records.all()) out.records[RecordPath(folder, r.name)] = RecordAt{r, folder};
  }
  return CZoError::Success();
}

time_t BackupTimeOf(DataServerContext* context, const std::string& path, const StoredLogs& logs) {
  auto it = logs.records.find(path);
  if (it != logs.records.end()) return static_cast<time_t>(it->second.record.time);
  SZoFileStat st {};
  if (AbstractMountingPointDriver::AMStat(context, path, st).IsError()) return -1;
  return st.st_mtime;
}

CZoError ReadEveryPlace(unsigned long subclient, const std::string& rootFolder, std::vector<service::ReadPlace>& places,
                        std::vector<StoredLogs>& logs) {
  CZoError err = service::ListReadPlaces(subclient, rootFolder, places);
  if (err.IsError()) return err;
  logs.assign(places.size(), StoredLogs());
  for (size_t p = 0; p < places.size(); ++p) {
    service::ReadPlace& place = places[p];
    if (!place.context || !place.holdsRoot) continue;
    CZoError read = ReadStoredLogs(place.context.get(), logs[p]);
    if (read.IsError()) {
      place.why = "its root folder " + place.context->getRootFolder() + " cannot be read: " + ErrorText(read);
      place.context.reset();
    }
  }
  return CZoError::Success();
}

}  // namespace kxmp::cli
