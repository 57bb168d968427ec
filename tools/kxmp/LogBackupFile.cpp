#include "LogBackupFile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "LogBackupCli.h"
#include "Progress.h"
#include "StopSignals.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "outside/digest/Sha256.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"
#include "outside/util/FXPath.h"

namespace kxmp::cli {
namespace {

// Fills buffer from read until size bytes or the end; got is what arrived.
CZoError ReadFull(const ReadFn& read, char* buffer, unsigned int size, unsigned int& got) {
  got = 0;
  while (got < size) {
    unsigned int n = 0;
    CZoError err = read(buffer + got, size - got, &n);
    if (err.IsError()) return err;
    if (n == 0 || n > size - got) break;
    got += n;
  }
  return CZoError::Success();
}

CZoError Stopped() { return FXErrorUtil::ErrorErrNo(FX_LOC, EINTR, "Stopped by signal %d", StopSignals::Caught()); }

}  // namespace

CZoError SameContent(int source, long long size, const ReadFn& read, PieceBuffer& a, PieceBuffer& b, bool& same) {
  // Pieces no larger than the file: a small file does not pay for two whole pieces.
  const size_t piece = static_cast<size_t>(std::min<long long>(kCopyPiece, std::max<long long>(size, 1)));
  a.Reserve(piece);
  b.Reserve(piece);
  same = false;
  for (long long offset = 0; offset < size;) {
    if (StopSignals::Stopping()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINTR, "Stopped by signal %d", StopSignals::Caught());
    const unsigned int want = static_cast<unsigned int>(std::min<long long>(kCopyPiece, size - offset));
    unsigned int got = 0;
    CZoError err = ReadFull(read, b.data(), want, got);
    if (err.IsError()) return err.Push(FX_LOC, "Failed to read the stored copy");
    if (got != want) return CZoError::Success();  // shorter than it said: not the same
    for (unsigned int done = 0; done < want;) {
      const ssize_t n = ::pread(source, a.data() + done, want - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Failed to read the source: %s", std::strerror(errno));
      if (n == 0) return CZoError::Success();  // the source shrank
      done += static_cast<unsigned int>(n);
    }
    if (std::memcmp(a.data(), b.data(), want) != 0) return CZoError::Success();
    offset += want;
  }
  same = true;
  return CZoError::Success();
}

CZoError FileSha256(int local, PieceBuffer& buffer, digest::Sha256Digest& out, uint64_t& size) {
  digest::Sha256 sha;
  CZoError err = sha.Start();
  if (err.IsError()) return err;
  char* piece = buffer.Reserve(kCopyPiece);
  size = 0;
  for (;;) {
    if (StopSignals::Stopping()) return Stopped();
    const ssize_t n = ::pread(local, piece, kCopyPiece, static_cast<off_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Failed to read the source: %s", std::strerror(errno));
    if (n == 0) break;
    sha.Update(piece, static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  return sha.Finish(out);
}

namespace {

CZoError OtherContent(const std::string& name) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST,
                                 "[%s] is already stored with other content; the stored copy is kept (use --force to "
                                 "replace it)",
                                 name.c_str());
}

CZoError DamagedCopy(const std::string& name) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST,
                                 "The stored copy of [%s] is damaged (it is not what its record says was written); it "
                                 "is kept (use --force to replace it with the source)",
                                 name.c_str());
}

struct stat StatOf(int fd) {
  struct stat out {};
  ::fstat(fd, &out);
  return out;
}

}  // namespace

CZoError OpenSource(const std::string& path, UniqueFd& fd, struct stat& st) {
  fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot open [%s]: %s", path.c_str(), std::strerror(e));
  }
  if (::fstat(fd.get(), &st) != 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot stat [%s]: %s", path.c_str(), std::strerror(e));
  }
  if (!S_ISREG(st.st_mode)) {
    fd.reset();
    const char* kind = S_ISDIR(st.st_mode) ? "a folder" : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode)                                  ? "a socket"
                       : (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))          ? "a device"
                                                                               : "not a regular file";
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] is %s; only regular files are backed up", path.c_str(), kind);
  }
  return CZoError::Success();
}

FileBackup::FileBackup(DBLogBackupDataWriter& writer, bool force) : writer_(writer), force_(force) {
  writer_.setReplaceExisting(force);
}

void FileBackup::Decide(BackupItem& item, UniqueFd& source) {
  item.outcome = BackupItem::Outcome::kFailed;
  struct stat st {};
  item.error = OpenSource(item.source, source, st);
  if (item.error.IsError()) return;
  item.size = static_cast<unsigned long long>(st.st_size);

  Stored stored = Stored::kAbsent;
  item.error = CompareStored(item.name, source.get(), st, stored, item.fileTime);
  if (item.error.IsError()) return;
  if (stored == Stored::kSame) {
    item.outcome = BackupItem::Outcome::kAlreadyStored;
    item.bytes = item.size;
    return;
  }
  if ((stored == Stored::kDifferent || stored == Stored::kDamaged) && !force_) {
    item.error = stored == Stored::kDamaged ? DamagedCopy(item.name) : OtherContent(item.name);
    return;
  }
  for (const DataServerContextPtr& other : force_ ? std::vector<DataServerContextPtr>() : others_) {
    Stored there = Stored::kAbsent;
    time_t ignored = 0;
    CZoError err = CompareContext(other, item.name, source.get(), st, there, ignored);
    if (err.IsError()) continue;  // not reachable now: only what can be read is compared
    if (there == Stored::kDifferent) {
      item.error = FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST,
                                           "[%s] is already stored with other content on %s %s, another mount path of "
                                           "the subclient; nothing is written (use --force to store it here anyway)",
                                           item.name.c_str(), other->getFSParams().host.hostName.c_str(),
                                           other->getMountPath().c_str());
      return;
    }
  }
  item.replaces = stored == Stored::kDifferent || stored == Stored::kDamaged;
  item.outcome = BackupItem::Outcome::kWouldStore;
}

void FileBackup::Plan(BackupItem& item) {
  UniqueFd source;
  Decide(item, source);
  if (item.outcome == BackupItem::Outcome::kWouldStore) item.bytes = item.size;
}

void FileBackup::Run(BackupItem& item, ProgressMeter* meter) {
  UniqueFd source;
  Decide(item, source);
  if (item.outcome != BackupItem::Outcome::kWouldStore) return;
  item.outcome = BackupItem::Outcome::kFailed;

  item.fileTime = ::time(nullptr);
  item.error = writer_.open(item.name, O_WRONLY | O_CREAT | O_TRUNC, 0640);
  if (item.error.IsError()) {
    // A failed open keeps its record; dropped, so that the metadata lists stored files only.
    writer_.removeFile("");
    return;
  }
  item.error = Copy(source.get(), item, meter);
  if (item.error.IsError()) {
    // Nothing of a source that failed partway stays: no temporary file, no record.
    writer_.abandonFile();
    return;
  }
  // The commit refuses a name stored meanwhile (another machine or process was first), and
  // checks what it stored; a failed commit removes the temporary file itself.
  item.error = writer_.close("");
  if (item.error.IsSuccess()) {
    item.outcome = BackupItem::Outcome::kStored;
  } else if (FXErrorUtil::IsErrNo(item.error, EEXIST) && !force_) {
    // Judged again against what the other writer stored: the same content is stored.
    Stored stored = Stored::kAbsent;
    time_t storedTime = 0;
    recordsRead_ = false;  // the other writer's record may be there by now
    CZoError err = CompareStored(item.name, source.get(), StatOf(source.get()), stored, storedTime);
    if (err.IsSuccess() && stored == Stored::kSame) {
      item.outcome = BackupItem::Outcome::kAlreadyStored;
      item.fileTime = storedTime;
      item.error = CZoError::Success();
    } else if (err.IsSuccess() && stored == Stored::kDifferent) {
      item.error = OtherContent(item.name);
    } else if (err.IsSuccess() && stored == Stored::kDamaged) {
      item.error = DamagedCopy(item.name);
    }
  }
}

CZoError FileBackup::Copy(int source, BackupItem& item, ProgressMeter* meter) {
  // A piece no larger than the file (and one byte for the read that finds its end): a whole
  // piece for a small file costs more page faults than copying it. The writer reads the source
  // into its own buffer, which it checksums beside the write.
  struct stat st {};
  size_t piece = kCopyPiece;
  if (::fstat(source, &st) == 0 && st.st_size >= 0 && st.st_size < static_cast<off_t>(kCopyPiece)) {
    piece = static_cast<size_t>(st.st_size) + 1;
  }
  for (;;) {
    if (StopSignals::Stopping()) return Stopped();
    size_t n = 0;
    CZoError err = writer_.writeFrom(source, piece, n);
    if (err.IsError() && FXErrorUtil::IsErrNo(err, EINTR) && StopSignals::Stopping()) return Stopped();
    if (err.IsError()) return err.Push(FX_LOC, "Failed to back up [%s]", item.source.c_str());
    if (n == 0) return CZoError::Success();
    item.bytes += static_cast<unsigned long long>(n);
    if (meter != nullptr) meter->AddBytes(static_cast<uint64_t>(n));
  }
}

CZoError FileBackup::CompareStored(const std::string& name, int source, const struct stat& st, Stored& result,
                                   time_t& storedTime) {
  result = Stored::kAbsent;
  if (DataServerContextPtr context = writer_.getDataServerContextPtrForBackup()) {
    return CompareContext(context, name, source, st, result, storedTime);
  }
  if (writer_.isFileMode()) return CompareLocal(name, source, st, result, storedTime);
  return CZoError::Success();  // no storage: the writer's open reports why
}

CZoError FileBackup::CompareContext(const DataServerContextPtr& context, const std::string& name, int source,
                                    const struct stat& st, Stored& result, time_t& storedTime) {
  const std::string path = "/" + name;
  SZoFileStat stored {};
  CZoError err = AbstractMountingPointDriver::AMStat(context.get(), path, stored);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();
  if (err.IsError()) return err.Push(FX_LOC, "Cannot tell whether [%s] is already stored", name.c_str());
  storedTime = stored.st_mtime;
  result = Stored::kDifferent;
  if (!S_ISREG(stored.st_mode)) return CZoError::Success();
  bool handled = false;
  err = CompareRecord(RecordsOf(context), name, source, st, stored.st_size, result, handled);
  if (err.IsError() || handled) return err;
  if (stored.st_size != st.st_size) return CZoError::Success();

  CFileInterface* handle = nullptr;
  err = AbstractMountingPointDriver::AMOpenFile(context.get(), path, O_RDONLY, 0, 0, handle);
  if (err.IsError()) return err.Push(FX_LOC, "Cannot read the stored copy of [%s]", name.c_str());
  bool same = false;
  err = SameContent(
      source, st.st_size, [&](char* b, unsigned int n, unsigned int* got) { return handle->Read(b, n, got); }, buffer_,
      stored_, same);
  AbstractMountingPointDriver::AMCloseFile(context.get(), handle);
  if (same) result = Stored::kSame;
  return err;
}

CZoError FileBackup::CompareLocal(const std::string& name, int source, const struct stat& st, Stored& result,
                                  time_t& storedTime) {
  const std::string path = FXPath::Join(writer_.getRootFolder(), name);
  CZoFile stored;
  CZoError err = stored.Open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();
  result = Stored::kDifferent;
  struct stat info {};
  if (err.IsError() || ::fstat(stored.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) return CZoError::Success();
  storedTime = info.st_mtime;
  bool handled = false;
  err = CompareRecord(RecordsOf(nullptr), name, source, st, info.st_size, result, handled);
  if (err.IsError() || handled) return err;
  if (info.st_size != st.st_size) return CZoError::Success();
  bool same = false;
  err = SameContent(
      source, st.st_size, [&](char* b, unsigned int n, unsigned int* got) { return stored.Read(b, n, got); }, buffer_,
      stored_, same);
  if (same) result = Stored::kSame;
  return err;
}

const logbackup::FileRecords& FileBackup::RecordsOf(const DataServerContextPtr& context) {
  // Records that cannot be read only cost the read of the stored copy.
  const DataServerContextPtr primary = writer_.getDataServerContextPtrForBackup();
  if (context && context != primary) {
    auto [at, fresh] = otherRecords_.try_emplace(context.get());
    bool exists = false;
    if (fresh && logbackup::ReadRecords(context.get(), "", at->second, exists).IsError()) {
      at->second = logbackup::FileRecords();
    }
    return at->second;
  }
  if (!recordsRead_) {
    bool exists = false;
    CZoError err = primary ? logbackup::ReadRecords(primary.get(), "", records_, exists)
                           : logbackup::ReadLocalRecords(writer_.getRootFolder(), records_, exists);
    if (err.IsError()) records_ = logbackup::FileRecords();
    recordsRead_ = true;
  }
  return records_;
}

CZoError FileBackup::CompareRecord(const logbackup::FileRecords& records, const std::string& name, int source,
                                   const struct stat& st, long long storedSize, Stored& result, bool& handled) {
  handled = false;
  const logbackup::FileRecord* record = records.Find(name);
  if (record == nullptr || record->expiring) return CZoError::Success();
  handled = true;
  if (static_cast<long long>(record->size) != storedSize) {
    result = Stored::kDamaged;
    return CZoError::Success();
  }
  result = Stored::kDifferent;
  if (record->size != static_cast<uint64_t>(st.st_size)) return CZoError::Success();
  digest::Sha256Digest digest;
  uint64_t size = 0;
  CZoError err = FileSha256(source, buffer_, digest, size);
  if (err.IsError()) return err;
  if (size == record->size && digest == record->sha256) result = Stored::kSame;
  return CZoError::Success();
}

}  // namespace kxmp::cli
