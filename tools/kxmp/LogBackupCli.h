#pragma once
// Pieces shared by the log backup subcommands (backup, search, restore), which use the
// library in-process.

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "Command.h"
#include "kxmp/DBLogBackupInterface.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::cli {

// Keeps the first error the writer or reader reports (the reason a context did not open)
// and prints every one, as a debugging aid, only with -v.
class ErrorPrinter : public DBLogBackupErrorHandler {
 public:
  explicit ErrorPrinter(const char* tool) : tool_(tool) {}
  void onError(const CZoError& error) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!first_.IsError()) first_ = error;
    ++count_;
    if (Globals().verbose > 0) std::fprintf(stderr, "%s: reported: %s\n", tool_, error.AsString().c_str());
  }
  CZoError First() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return first_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return count_;
  }

 private:
  const char* tool_;
  mutable std::mutex mutex_;
  CZoError first_;
  size_t count_ = 0;
};

// The last path component; empty for a path that ends in "/".
inline std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline long long FileSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// --files-from FILE|- (may be given more than once): names for lists longer than a command
// line.
struct FileListOption {
  std::vector<std::string> lists;

  void AddTo(CLI::App& cmd, const std::string& what);
  // Appends the names of every list to names. An unreadable list is a usage error: its
  // status (2), said through out; else 0.
  int ReadInto(std::vector<std::string>& names, const Output& out) const;
};

// Why a writer or reader of the subclient got no data-server context, in one line, and its
// status: 3 (not found) when the catalog answers and does not list the subclient; 1 when the
// subclient is listed (no mount path attached, none reachable) or the catalog cannot be read.
// why: the first error the writer or reader reported.
std::string NoStorageReason(uint64_t subclient, const CZoError& why, int& status);
// The same said through out; returns the status.
int NoStorage(const Output& out, uint64_t subclient, const CZoError& why);

}  // namespace kxmp::cli
