#include "logbackup/Expiry.h"

#include <errno.h>

#include <algorithm>
#include <exception>
#include <set>

#include "kxmp/AbstractMountingPointDriver.h"
#include "logbackup/DataWriterReaderMetadata.h"
#include "logbackup/FileRecords.h"
#include "logbackup/LogBackupLocation.h"
#include "logbackup/SharedDocument.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"

namespace kxmp::logbackup {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryRemovingStoredFiles =
    FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOMEM, "Out of memory removing stored files");

using AMD = AbstractMountingPointDriver;

// Files removed under one hold of the lock: writers waiting for it wait for one batch only.
constexpr size_t kBatch = 256;
// The lock is confirmed (and refreshed when due) after this many files.
constexpr size_t kConfirmEvery = 64;

std::string PathIn(const std::string& folder, const std::string& name) {
  std::string path = folder;
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (!path.empty() && path.front() != '/') path.insert(0, "/");
  return path + "/" + name;
}

bool Absent(DataServerContext* context, const std::string& path) {
  SZoFileStat st {};
  return FXErrorUtil::IsErrNo(AMD::AMStat(context, path, st), ENOENT);
}

// Step 2 for one item, under the lock.
void RemoveOne(DataServerContext* context, const std::string& folder, ExpiryItem& item, time_t cutoff) {
  const std::string path = PathIn(folder, item.name);
  SZoFileStat st {};
  CZoError err = AMD::AMStat(context, path, st);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) {
    item.outcome = ExpiryItem::kGone;
    return;
  }
  if (err.IsSuccess() && st.st_mtime >= cutoff) {
    item.outcome = ExpiryItem::kKept;
    item.why = "it was modified after the cut-off";
    return;
  }
  if (err.IsSuccess()) err = AMD::AMRemoveFileFolder(context, path);
  if (err.IsSuccess() || FXErrorUtil::IsErrNo(err, ENOENT)) {
    item.outcome = err.IsSuccess() ? ExpiryItem::kRemoved : ExpiryItem::kGone;
    item.bytes = static_cast<uint64_t>(st.st_size);
    return;
  }
  item.outcome = ExpiryItem::kFailed;
  item.why = err.Message();
}

// Steps 1 and 2 for items [from, to) under one hold of the lock.
CZoError RemoveBatch(DataServerContext* context, const std::string& folder, std::vector<ExpiryItem>& items, size_t from,
                     size_t to, time_t cutoff) {
  const std::string document = RecordsPathFor(folder);
  StorageLock lock(context, document);
  CZoError err = lock.Acquire();
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot take the lock of [%s]", document.c_str());
  FileRecords records;
  bool exists = false;
  err = ReadRecords(context, folder, records, exists);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Nothing recorded in [%s] is removed", document.c_str());
  std::set<std::string> marked;
  for (size_t i = from; i < to; ++i) {
    FileRecord* r = records.Find(items[i].name);
    if (r != nullptr && !r->expiring) {
      r->expiring = true;
      marked.insert(r->name);
    }
  }
  if (!marked.empty()) {
    err = WriteSharedDocument(context, document, lock, records.Text());
    if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot mark the records of the files to remove");
  }
  bool unmarked = false;
  for (size_t i = from; i < to; ++i) {
    if ((i - from) % kConfirmEvery == kConfirmEvery - 1 && (err = lock.Confirm()).IsError()) break;
    RemoveOne(context, folder, items[i], cutoff);
    if ((items[i].outcome == ExpiryItem::kKept || items[i].outcome == ExpiryItem::kFailed) &&
        marked.count(items[i].name) != 0) {
      records.Find(items[i].name)->expiring = false;  // it stays: so does its record as it was
      unmarked = true;
    }
  }
  if (err.IsSuccess() && unmarked) err = WriteSharedDocument(context, document, lock, records.Text());
  return err;
}

}  // namespace

CZoError ExpireFiles(DataServerContext* context, const std::string& folder, std::vector<ExpiryItem>& items,
                     time_t cutoff, const std::vector<std::string>& metadata) try {
  CZoError result;
  for (size_t from = 0; from < items.size() && result.IsSuccess(); from += kBatch) {
    const size_t to = std::min(items.size(), from + kBatch);
    result = RemoveBatch(context, folder, items, from, to, cutoff);
  }
  for (ExpiryItem& item : items) {
    if (item.outcome != ExpiryItem::kPending) continue;
    item.outcome = ExpiryItem::kFailed;
    item.why = result.IsError() ? result.Message() : "not reached";
  }
  CZoError finished = FinishExpiry(context, folder, metadata);
  return result.IsError() ? result : finished;
} catch (...) {
  return CaughtError(kNoMemoryRemovingStoredFiles, LOGBACKUP_LOC);
}

CZoError FinishExpiry(DataServerContext* context, const std::string& folder, const std::vector<std::string>& metadata,
                      std::vector<std::string>* finished) try {
  FileRecords records;
  bool exists = false;
  CZoError err = ReadRecords(context, folder, records, exists);
  if (err.IsError()) return err;
  std::set<std::string> gone;
  for (const FileRecord& r : records.all()) {
    if (r.expiring && Absent(context, PathIn(folder, r.name))) gone.insert(r.name);
  }
  if (gone.empty()) return CZoError::Success();
  // Looked at again under each lock: a name stored again meanwhile keeps what it has.
  auto stillGone = [&](const std::string& name) { return gone.count(name) != 0 && Absent(context, PathIn(folder, name)); };
  for (const std::string& document : metadata) {
    const std::string path = PathIn(folder, document).substr(1);
    err = UpdateSharedDocument(context, path, [&](const std::string* current, std::string& next) {
      if (current == nullptr) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOENT, "[%s] is gone", path.c_str());
      bool changed = false;
      return DropStreamRecords(*current, stillGone, next, changed);
    });
    // The records stay marked until every document has let go of their entries.
    if (err.IsError() && !FXErrorUtil::IsErrNo(err, ENOENT)) {
      return err.Push(LOGBACKUP_LOC, "The entries of removed files stay in [%s]", path.c_str());
    }
  }
  std::vector<std::string> dropped;
  err = UpdateRecords(context, folder, [&](FileRecords& now, bool& changed) {
    dropped.clear();
    for (const std::string& name : gone) {
      const FileRecord* r = now.Find(name);
      if (r != nullptr && r->expiring && stillGone(name)) {
        now.Remove(name);
        dropped.push_back(name);
        changed = true;
      }
    }
    return CZoError::Success();
  });
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "The records of removed files stay (marked) in [%s]",
                                     RecordsPathFor(folder).c_str());
  if (finished != nullptr) *finished = dropped;
  return CZoError::Success();
} catch (...) {
  return CaughtError(kNoMemoryRemovingStoredFiles, LOGBACKUP_LOC);
}

}  // namespace kxmp::logbackup
