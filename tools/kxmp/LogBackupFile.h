#pragma once
// One source file of `kxmp backup` taken through one log backup writer: the source checked,
// the stored copy of the same name compared, the data copied, committed or abandoned.

#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/DataServerContextPtr.h"

#include "logbackup/FileRecords.h"
#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

class DBLogBackupDataWriter;

namespace kxmp::cli {

class ProgressMeter;

// One source file of a run and what became of it.
struct BackupItem {
  enum class Outcome {
    kPending,        // not taken up (the run was stopped first)
    kStored,         // written and committed
    kAlreadyStored,  // the same content was stored under the name before; nothing written
    kWouldStore,     // a dry run found that it would be written (replacing a stored copy: replaces)
    kFailed,
  };

  std::string source;  // as given on the command line
  std::string name;    // the stored name: the source's base name
  Outcome outcome = Outcome::kPending;
  unsigned long long bytes = 0;
  unsigned long long size = 0;  // the source's size when it was checked
  bool replaces = false;        // a stored copy with other content is (or would be) replaced
  time_t fileTime = 0;  // when the writer opened it, or the stored copy's modification time
  size_t writer = 0;    // the index of the run's writer that stored it
  CZoError error;
  std::string where;   // stored: "<storage host> <mount path>"
  bool retry = false;  // not stored because its storage host failed: goes to the next mount path
};

// Opens a source for reading without waiting (opening a FIFO that has no writer would block
// for ever) and refuses anything but a regular file.
CZoError OpenSource(const std::string& path, UniqueFd& fd, struct stat& st);

// A buffer for pieces of a file, grown without zeroing: only what a read put into it is used,
// and zeroing it first would touch every page of it once more.
class PieceBuffer {
 public:
  char* Reserve(size_t size) {
    if (size_ < size) {
      data_.reset(new char[size]);
      size_ = size;
    }
    return data_.get();
  }
  char* data() const { return data_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
};

// Reads up to size bytes of a stored copy into a buffer: its bytes, 0 at the end.
using ReadFn = std::function<CZoError(char*, unsigned int, unsigned int*)>;

// Compares a local file from its start (pread: its position stays) with a stored copy of the
// same size read through read, piece by piece; same tells the outcome.
CZoError SameContent(int local, long long size, const ReadFn& read, PieceBuffer& a, PieceBuffer& b, bool& same);

// The SHA-256 of a local file from its start (pread: its position stays), read in pieces
// through buffer; EINTR when a stop signal came.
CZoError FileSha256(int local, PieceBuffer& buffer, digest::Sha256Digest& out, uint64_t& size);

// Backs up items through one writer, one at a time; each worker of a run has its own.
class FileBackup {
 public:
  // force: a stored copy of a name with other content is replaced instead of refused (by the
  // writer's commit too).
  FileBackup(DBLogBackupDataWriter& writer, bool force);
  // The subclient's other reachable mount paths (their contexts, with the writer's root
  // folder): a name stored there with other content is refused too, unless force. After a
  // failover a log must not get a second, different copy that a restore would not tell apart.
  void CheckAlso(std::vector<DataServerContextPtr> others) { others_ = std::move(others); }

  // Fills the item's outcome, bytes, time and error. A source that fails partway, a failed
  // commit or a stop signal leave nothing under the name (the writer abandons the file).
  // meter (may be null) is given the bytes as they are copied.
  void Run(BackupItem& item, ProgressMeter* meter);
  // Makes every decision Run makes (the source opens and is a regular file, the stored copy
  // of the name is the same, absent or other content and --force) and writes nothing:
  // kWouldStore, kAlreadyStored or kFailed.
  void Plan(BackupItem& item);

 private:
  // kDamaged: the stored copy is not what its record says was written (size).
  enum class Stored { kAbsent, kSame, kDifferent, kDamaged };

  // The checks of Plan; the source stays open in source for the copy.
  void Decide(BackupItem& item, UniqueFd& source);

  // Compares what is stored under name with the source, piece by piece.
  CZoError CompareStored(const std::string& name, int source, const struct stat& st, Stored& result,
                         time_t& storedTime);
  CZoError CompareContext(const DataServerContextPtr& context, const std::string& name, int source,
                          const struct stat& st, Stored& result, time_t& storedTime);
  CZoError CompareLocal(const std::string& name, int source, const struct stat& st, Stored& result,
                        time_t& storedTime);
  // The stored copy judged by its record instead of a read of it: handled false when there is
  // no record of the name (or it cannot be read), and the copy is to be read and compared.
  CZoError CompareRecord(const logbackup::FileRecords& records, const std::string& name, int source,
                         const struct stat& st, long long storedSize, Stored& result, bool& handled);
  // The records of a mount path's root folder (null: the writer's own storage), read once
  // (the writer's again after recordsRead_ is cleared).
  const logbackup::FileRecords& RecordsOf(const DataServerContextPtr& context);
  CZoError Copy(int source, BackupItem& item, ProgressMeter* meter);

  DBLogBackupDataWriter& writer_;
  bool force_;
  std::vector<DataServerContextPtr> others_;
  PieceBuffer buffer_;
  PieceBuffer stored_;
  logbackup::FileRecords records_;  // of the writer's root folder, read on first need
  bool recordsRead_ = false;
  std::map<const DataServerContext*, logbackup::FileRecords> otherRecords_;  // of the others_
};

}  // namespace kxmp::cli
