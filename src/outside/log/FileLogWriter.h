#pragma once
// The file logger of hosts and tools: one line per message with UTC timestamp, pid, thread id,
// level, function and line; the file is rotated by size (name.1 … name.N).
//
// Many threads log at once (the host's workers log lines of every request): a line is
// formatted outside the writer's lock, the lock only counts its bytes (and rotates) and hands
// out the descriptor, and write(2) runs outside it on that descriptor's shared owner, so a
// thread preempted while writing holds up no other. O_APPEND keeps each line whole.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "outside/log/CLogWriterInterface.h"
#include "outside/util/UniqueFd.h"

// While a LogLineBatch is open on a thread, the lines a FileLogWriter (owned by a shared_ptr)
// gets from that thread are kept and written together with one write(2): when the batch
// closes, when LogLineBatch::Flush() is called, and before an error line, which is written at
// once. A server opens one per request and flushes before the request's answer leaves, so
// a request's lines are in the file when its client has the answer, and a crash loses at
// most the lines of the requests being handled. Batches nest; the outermost one collects.
class KXMP_EXPORT LogLineBatch {
 public:
  LogLineBatch();
  ~LogLineBatch();
  LogLineBatch(const LogLineBatch&) = delete;
  LogLineBatch& operator=(const LogLineBatch&) = delete;
  // Writes what this thread's open batch holds (nothing without one).
  static void Flush();
};

class KXMP_EXPORT FileLogWriter : public CLogWriterInterface,
                                  public std::enable_shared_from_this<FileLogWriter> {
 public:
  // maxBytes 0 disables rotation; keepFiles is how many rotated files are kept.
  FileLogWriter(std::string path, int level, uint64_t maxBytes = 16u << 20, int keepFiles = 5);

  int GetLevel() const override { return level_; }
  const std::string& Path() const { return path_; }
  // Opens the file by its name again (after a log rotation moved it away: SIGHUP).
  void Reopen();
  // False when the file could not be opened; lines then go to standard error.
  bool IsOpen() const;

 protected:
  void WriteLine(int level, const char* function, int line, int arg1, int arg2,
                 const std::string& message) override;

 private:
  friend class LogLineBatch;
  void OpenLocked();
  void RotateLocked();
  // Appends whole lines to the file (or standard error when it is not open).
  void WriteText(const std::string& text);

  std::string path_;
  int level_;
  uint64_t maxBytes_;
  int keepFiles_;
  mutable std::mutex mutex_;
  std::shared_ptr<const kxmp::UniqueFd> fd_;  // closed when the last line writing to it is done
  uint64_t size_ = 0;                          // bytes of the file, with lines being written
};
