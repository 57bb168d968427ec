#include "outside/log/FileLogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "outside/util/FXString.h"

FileLogWriter::FileLogWriter(std::string path, int level, uint64_t maxBytes, int keepFiles)
    : path_(std::move(path)), level_(level), maxBytes_(maxBytes), keepFiles_(keepFiles < 1 ? 1 : keepFiles) {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenLocked();
}

void FileLogWriter::OpenLocked() {
  fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  size_ = 0;
  struct stat st {};
  if (fd_.valid() && ::fstat(fd_.get(), &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
}

void FileLogWriter::Reopen() {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenLocked();
}

void FileLogWriter::RotateLocked() {
  for (int i = keepFiles_ - 1; i >= 1; --i) {
    std::string from = path_ + "." + std::to_string(i);
    std::string to = path_ + "." + std::to_string(i + 1);
    ::rename(from.c_str(), to.c_str());
  }
  ::rename(path_.c_str(), (path_ + ".1").c_str());
  OpenLocked();
}

void FileLogWriter::WriteLine(int level, const char* function, int line, int, int,
                              const std::string& message) {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tmv {};
  gmtime_r(&ts.tv_sec, &tmv);  // UTC, like the event log: one clock for every file of a home
  char stamp[40];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tmv);
  std::string text = FXString::Format("%s.%03ldZ %d %ld %2d %s:%d %s", stamp, ts.tv_nsec / 1000000L,
                                      static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                                      level, function, line, message.c_str());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  text.push_back('\n');

  std::lock_guard<std::mutex> lock(mutex_);
  if (maxBytes_ > 0 && fd_.valid() && size_ + text.size() > maxBytes_) RotateLocked();
  if (!fd_.valid()) {
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
    return;
  }
  // One write per line: with O_APPEND, lines of concurrent processes never interleave.
  ssize_t n = ::write(fd_.get(), text.data(), text.size());
  if (n > 0) size_ += static_cast<uint64_t>(n);
}
