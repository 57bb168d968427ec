#pragma once
// Progress of a backup or restore for a person at a terminal: files N of M, bytes, rate and
// time left, on one line of standard error redrawn in place. Silent when standard error is
// not a terminal, with -q, or with --json. Safe to update from several threads.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kxmp::cli {

class ProgressMeter {
 public:
  // files and bytes: the totals expected (bytes 0 when unknown). verb: what is done to the
  // files, in the past tense ("backed up").
  ProgressMeter(const char* verb, uint64_t files, uint64_t bytes);
  ~ProgressMeter();  // draws the final state and ends the line
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  bool enabled() const { return enabled_; }
  // Bytes copied.
  void AddBytes(uint64_t n);
  // A file ended. expected: its bytes counted in the total; copied: those given to AddBytes.
  // The total follows what happened (a file found already stored, or one that grew).
  void FileDone(uint64_t expected = 0, uint64_t copied = 0);
  // Runs print (which writes whole lines to standard output or error) with the meter's
  // line taken off the terminal and drawn again below them.
  void Above(const std::function<void()>& print);

 private:
  void DrawLocked(bool force);

  const char* verb_;
  uint64_t totalFiles_;
  uint64_t totalBytes_;
  bool enabled_;
  std::mutex mutex_;
  uint64_t files_ = 0;
  uint64_t bytes_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// The names in FILE ("-": standard input), separated by NUL bytes when the text holds any,
// else by line breaks; empty names are skipped. False with error set when it cannot be read.
bool ReadFileList(const std::string& file, std::vector<std::string>& names, std::string& error);

}  // namespace kxmp::cli
