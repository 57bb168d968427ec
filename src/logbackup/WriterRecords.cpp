#include "logbackup/WriterRecords.h"

#include <errno.h>

#include "kxmp/AbstractMountingPointDriver.h"
#include "logbackup/LogBackupLocation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

namespace kxmp::logbackup {
namespace {

// The same file as right after the commit: size, modification time and, where the storage
// tells it, the inode (SFTP does not; there a replacement of the same size within the same
// second cannot be told apart).
bool Same(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ino == b.st_ino;
}

}  // namespace

void WriterRecords::Open(const std::string& name, time_t openTime) {
  name_ = name;
  openTime_ = openTime;
  startError_ = sha_.Start();
}

FileRecord WriterRecords::Finish(uint64_t size) {
  FileRecord record;
  digest::Sha256Digest digest;
  CZoError err = sha_.Finish(digest);
  if (err.IsSuccess() && sha_.bytes() != size) {
    err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "%llu bytes were checksummed of the %llu written",
                                  static_cast<unsigned long long>(sha_.bytes()), static_cast<unsigned long long>(size));
  }
  if (err.IsError()) {
    Failed(err.Push(LOGBACKUP_LOC, "[%s] has no checksum", name_.c_str()));
    return record;
  }
  record.name = name_;
  record.size = size;
  record.time = static_cast<int64_t>(openTime_);
  record.sha256 = digest;
  return record;
}

void WriterRecords::Committed(const FileRecord& record, const struct stat& after) {
  if (record.name.empty()) return;
  pending_.push_back(Pending{record, after});
}

void WriterRecords::Failed(const CZoError& err) {
  KXLOG_ERROR("File records: %s", err.AsString().c_str());
  if (failed_.IsSuccess()) failed_ = err;
}

void WriterRecords::Adopt(WriterRecords& other) {
  pending_.insert(pending_.end(), other.pending_.begin(), other.pending_.end());
  other.pending_.clear();
  if (failed_.IsSuccess()) failed_ = other.failed_;
  other.failed_ = CZoError::Success();
}

CZoError WriterRecords::Merge(FileRecords& records, bool& changed,
                              const std::function<bool(const Pending&)>& stillOurs) {
  for (const Pending& p : pending_) {
    const FileRecord* had = records.Find(p.record.name);
    if (had != nullptr && had->SameContent(p.record) && !had->expiring) continue;
    // A record of the name from before: of an earlier version (removed since), or of a writer
    // that replaced this one's file after its commit. The file tells which.
    if (had != nullptr && !stillOurs(p)) {
      KXLOG_NORMAL("The record of [%s] is kept: the file was replaced after this writer committed it",
                   p.record.name.c_str());
      continue;
    }
    records.Put(p.record);
    changed = true;
  }
  return CZoError::Success();
}

CZoError WriterRecords::Flush(DataServerContext* context) {
  CZoError result = failed_;
  failed_ = CZoError::Success();
  if (!pending_.empty()) {
    CZoError err = UpdateRecords(context, "", [&](FileRecords& records, bool& changed) {
      return Merge(records, changed, [&](const Pending& p) {
        struct stat now {};
        return AbstractMountingPointDriver::AMStat(context, "/" + p.record.name, now).IsSuccess() && Same(now, p.after);
      });
    });
    if (err.IsError() && result.IsSuccess()) result = err;
    pending_.clear();
  }
  return result;
}

CZoError WriterRecords::FlushLocal(const std::string& folder) {
  CZoError result = failed_;
  failed_ = CZoError::Success();
  if (!pending_.empty()) {
    CZoError err = UpdateLocalRecords(folder, [&](FileRecords& records, bool& changed) {
      return Merge(records, changed, [&](const Pending& p) {
        struct stat now {};
        return ::lstat(FXPath::Join(folder, p.record.name).c_str(), &now) == 0 && Same(now, p.after);
      });
    });
    if (err.IsError() && result.IsSuccess()) result = err;
    pending_.clear();
  }
  return result;
}

}  // namespace kxmp::logbackup
