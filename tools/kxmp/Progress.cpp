#include "Progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CliSupport.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

namespace {

std::string Bytes(double n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (n >= 1024 && u < 4) {
    n /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
  return text;
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

ProgressMeter::ProgressMeter(const char* verb, uint64_t files, uint64_t bytes)
    : verb_(verb),
      totalFiles_(files),
      totalBytes_(bytes),
      enabled_(::isatty(STDERR_FILENO) == 1 && !Globals().quiet && !Globals().json),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

ProgressMeter::~ProgressMeter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enabled_) return;
  DrawLocked(true);
  if (drawn_) std::fputc('\n', stderr);
}

void ProgressMeter::AddBytes(uint64_t n) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ += n;
  DrawLocked(false);
}

void ProgressMeter::FileDone(uint64_t expected, uint64_t copied) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ++files_;
  totalBytes_ = totalBytes_ > expected ? totalBytes_ - expected + copied : copied;
  DrawLocked(false);
}

void ProgressMeter::Above(const std::function<void()>& print) {
  if (!enabled_) {
    print();
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (drawn_) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  print();
  std::fflush(stdout);
  if (drawn_) DrawLocked(true);
}

void ProgressMeter::DrawLocked(bool force) {
  const auto now = std::chrono::steady_clock::now();
  // At most ten redraws a second: a terminal is slower than a disk.
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(bytes_) / seconds : 0;
  std::string line = std::string(verb_) + " " + std::to_string(files_) + " of " + std::to_string(totalFiles_) +
                     " files, " + Bytes(static_cast<double>(bytes_));
  if (totalBytes_ > 0) line += " of " + Bytes(static_cast<double>(totalBytes_));
  line += ", " + Bytes(rate) + "/s";
  double left = -1;
  if (totalBytes_ > 0) {
    if (totalBytes_ > bytes_ && rate > 0) left = static_cast<double>(totalBytes_ - bytes_) / rate;
  } else if (files_ > 0 && totalFiles_ > files_) {
    left = seconds / static_cast<double>(files_) * static_cast<double>(totalFiles_ - files_);  // sizes unknown
  }
  if (left >= 0) line += ", " + Duration(left) + " left";
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

bool ReadFileList(const std::string& file, std::vector<std::string>& names, std::string& error) {
  kxmp::UniqueFd own;
  int fd = STDIN_FILENO;
  if (file != "-") {
    own.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!own.valid()) {
      error = "cannot read the list " + file + ": " + std::strerror(errno);
      return false;
    }
    fd = own.get();
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read the list " + (file == "-" ? std::string("from standard input") : file) + ": " +
              std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  const char separator = text.find('\0') != std::string::npos ? '\0' : '\n';
  // A list written with CR LF line ends (every line break after a CR) loses the CRs; in any
  // other list a CR belongs to the name, which is kept exactly as written.
  bool crlf = separator == '\n' && text.find('\n') != std::string::npos;
  for (size_t nl = text.find('\n'); crlf && nl != std::string::npos; nl = text.find('\n', nl + 1)) {
    crlf = nl > 0 && text[nl - 1] == '\r';
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (crlf && !name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names.push_back(std::move(name));
    start = end + 1;
  }
  return true;
}

}  // namespace kxmp::cli
