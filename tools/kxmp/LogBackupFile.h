#pragma once
// One source file of `kxmp backup` taken through one log backup writer: the source checked,
// the stored copy of the same name compared, the data copied, committed or abandoned.

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

class DBLogBackupDataWriter;

namespace kxmp::cli {

class Progress;

// One source file of a run and what became of it.
struct BackupItem {
  enum class Outcome {
    kPending,        // not taken up (the run was stopped first)
    kStored,         // written and committed
    kAlreadyStored,  // the same content was stored under the name before; nothing written
    kFailed,
  };

  std::string source;  // as given on the command line
  std::string name;    // the stored name: the source's base name
  Outcome outcome = Outcome::kPending;
  unsigned long long bytes = 0;
  time_t fileTime = 0;  // when the writer opened it, or the stored copy's modification time
  CZoError error;
};

// Opens a source for reading without waiting (opening a FIFO that has no writer would block
// for ever) and refuses anything but a regular file.
CZoError OpenSource(const std::string& path, UniqueFd& fd, struct stat& st);

// Backs up items through one writer, one at a time; each worker of a run has its own.
class FileBackup {
 public:
  // force: a stored copy of a name with other content is replaced instead of refused.
  FileBackup(DBLogBackupDataWriter& writer, bool force) : writer_(writer), force_(force) {}

  // Fills the item's outcome, bytes, time and error. A source that fails partway, a failed
  // commit or a stop signal leave nothing under the name (the writer abandons the file).
  void Run(BackupItem& item, Progress* progress);

 private:
  enum class Stored { kAbsent, kSame, kDifferent };

  // Compares what is stored under name with the source, piece by piece.
  CZoError CompareStored(const std::string& name, int source, const struct stat& st, Stored& result,
                         time_t& storedTime);
  CZoError CompareContext(const std::string& name, int source, const struct stat& st, Stored& result,
                          time_t& storedTime);
  CZoError CompareLocal(const std::string& name, int source, const struct stat& st, Stored& result,
                        time_t& storedTime);
  CZoError Copy(int source, BackupItem& item, Progress* progress);

  DBLogBackupDataWriter& writer_;
  bool force_;
  std::vector<char> buffer_;
  std::vector<char> stored_;
};

}  // namespace kxmp::cli
