#pragma once
// The file logger of hosts and tools: one line per message with UTC timestamp, pid, thread id,
// level, function and line; the file is rotated by size (name.1 … name.N).

#include <cstdint>
#include <mutex>
#include <string>

#include "outside/log/CLogWriterInterface.h"
#include "outside/util/UniqueFd.h"

class KXMP_EXPORT FileLogWriter : public CLogWriterInterface {
 public:
  // maxBytes 0 disables rotation; keepFiles is how many rotated files are kept.
  FileLogWriter(std::string path, int level, uint64_t maxBytes = 16u << 20, int keepFiles = 5);

  int GetLevel() const override { return level_; }
  const std::string& Path() const { return path_; }
  // Opens the file by its name again (after a log rotation moved it away: SIGHUP).
  void Reopen();
  // False when the file could not be opened; lines then go to standard error.
  bool IsOpen() const { return fd_.valid(); }

 protected:
  void WriteLine(int level, const char* function, int line, int arg1, int arg2,
                 const std::string& message) override;

 private:
  void OpenLocked();
  void RotateLocked();

  std::string path_;
  int level_;
  uint64_t maxBytes_;
  int keepFiles_;
  std::mutex mutex_;
  kxmp::UniqueFd fd_;
  uint64_t size_ = 0;
};
