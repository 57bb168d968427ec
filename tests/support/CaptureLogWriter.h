#pragma once
// A logger that keeps every line in memory, for tests: a test installs it, runs the code and
// asserts that an exact message was written at an exact level.

#include <mutex>
#include <string>
#include <vector>

#include "outside/log/CLogWriterInterface.h"

class CaptureLogWriter : public CLogWriterInterface {
 public:
  struct Line {
    int level;
    std::string function;
    int line;
    std::string message;
  };

  explicit CaptureLogWriter(int level = 7) : level_(level) {}

  int GetLevel() const override { return level_; }
  void SetLevel(int level) { level_ = level; }

  std::vector<Line> Lines() const;
  // Lines whose message equals `message` exactly, at `level`.
  int Count(int level, const std::string& message) const;
  bool Has(int level, const std::string& message) const { return Count(level, message) > 0; }
  // Lines at any level whose message contains `part`.
  int CountContaining(const std::string& part) const;
  void Clear();
  std::string Dump() const;

 protected:
  void WriteLine(int level, const char* function, int line, int arg1, int arg2,
                 const std::string& message) override;

 private:
  int level_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};
