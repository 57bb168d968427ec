#include "support/CaptureLogWriter.h"

std::vector<CaptureLogWriter::Line> CaptureLogWriter::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int CaptureLogWriter::Count(int level, const std::string& message) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : lines_) {
    if (l.level == level && l.message == message) ++n;
  }
  return n;
}

int CaptureLogWriter::CountContaining(const std::string& part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : lines_) {
    if (l.message.find(part) != std::string::npos) ++n;
  }
  return n;
}

void CaptureLogWriter::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::string CaptureLogWriter::Dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& l : lines_) {
    out += "[" + std::to_string(l.level) + "] " + l.message + "\n";
  }
  return out;
}

void CaptureLogWriter::WriteLine(int level, const char* function, int line, int, int,
                                 const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(Line{level, function, line, message});
}
