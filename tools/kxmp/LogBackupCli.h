#pragma once
// Pieces shared by the log backup subcommands (backup, search, restore), which use the
// library in-process.

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "kxmp/DBLogBackupInterface.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::cli {

// Prints what the writer or reader reports, as a debugging aid, only with -v.
class ErrorPrinter : public DBLogBackupErrorHandler {
 public:
  explicit ErrorPrinter(const char* tool) : tool_(tool) {}
  void onError(const CZoError& error) override {
    if (Globals().verbose > 0) std::fprintf(stderr, "%s: reported: %s\n", tool_, error.AsString().c_str());
  }

 private:
  const char* tool_;
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

// A one-line progress bar on standard error, redrawn at most once per whole percent.
class Progress {
 public:
  Progress(const std::string& label, long long total, bool enabled)
      : label_(label), total_(total), enabled_(enabled && total > 0) {}
  ~Progress() {
    if (enabled_ && shown_ >= 0) std::fprintf(stderr, "\n");
  }
  void Update(unsigned long long done) {
    if (!enabled_) return;
    const int percent = static_cast<int>(done * 100 / static_cast<unsigned long long>(total_));
    if (percent == shown_) return;
    shown_ = percent;
    const int width = 40, filled = percent * width / 100;
    std::fprintf(stderr, "\r%-30.30s [%.*s%*s] %3d%%", label_.c_str(), filled, "########################################",
                 width - filled, "", percent);
  }

 private:
  std::string label_;
  long long total_;
  bool enabled_;
  int shown_ = -1;
};

}  // namespace kxmp::cli
