#include "outside/log/FileLogWriter.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "outside/util/FXString.h"

namespace {

// The process and thread ids of a line, asked once per thread instead of twice per line. A
// forked child's copy of the asking thread would keep the parent's ids, so fork() bumps a
// generation that makes the child ask again.
std::atomic<unsigned> g_forkGeneration{0};

struct LineIds {
  unsigned generation = ~0u;
  long pid = 0;
  long tid = 0;
};

const LineIds& CurrentIds() {
  static const int registered = ::pthread_atfork(nullptr, nullptr, [] { g_forkGeneration.fetch_add(1); });
  (void)registered;
  thread_local LineIds ids;
  const unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
  if (ids.generation != generation) {
    ids.pid = static_cast<long>(::getpid());
    ids.tid = static_cast<long>(::syscall(SYS_gettid));
    ids.generation = generation;
  }
  return ids;
}

// The lines of this thread's open batch, and the logger they are for.
struct ThreadBatch {
  int depth = 0;
  std::shared_ptr<FileLogWriter> writer;
  std::string text;
};
thread_local ThreadBatch t_batch;

}  // namespace

LogLineBatch::LogLineBatch() { ++t_batch.depth; }

LogLineBatch::~LogLineBatch() {
  if (--t_batch.depth == 0) Flush();
}

void LogLineBatch::Flush() {
  if (!t_batch.writer) return;
  std::shared_ptr<FileLogWriter> writer = std::move(t_batch.writer);
  t_batch.writer.reset();
  writer->WriteText(t_batch.text);
  t_batch.text.clear();  // the buffer stays for the next batch
}

FileLogWriter::FileLogWriter(std::string path, int level, uint64_t maxBytes, int keepFiles)
    : path_(std::move(path)), level_(level), maxBytes_(maxBytes), keepFiles_(keepFiles < 1 ? 1 : keepFiles) {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenLocked();
}

void FileLogWriter::OpenLocked() {
  auto fd = std::make_shared<kxmp::UniqueFd>(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  size_ = 0;
  struct stat st {};
  if (fd->valid() && ::fstat(fd->get(), &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
  fd_ = std::move(fd);
}

bool FileLogWriter::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ && fd_->valid();
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
  // UTC, like the event log: one clock for every file of a home. The text of a second is
  // made once per thread (gmtime_r takes the process's time-zone lock).
  thread_local time_t stampSecond = -1;
  thread_local char stamp[40];
  if (ts.tv_sec != stampSecond) {
    struct tm tmv {};
    gmtime_r(&ts.tv_sec, &tmv);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tmv);
    stampSecond = ts.tv_sec;
  }
  const LineIds& ids = CurrentIds();
  std::string text = FXString::Format("%s.%03ldZ %d %ld %2d %s:%d %s", stamp, ts.tv_nsec / 1000000L,
                                      static_cast<int>(ids.pid), ids.tid, level, function, line, message.c_str());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  text.push_back('\n');

  if (t_batch.depth > 0) {
    if (t_batch.writer.get() != this) {
      LogLineBatch::Flush();  // another logger's lines go first
      t_batch.writer = weak_from_this().lock();
    }
    if (t_batch.writer) {
      t_batch.text += text;
      if (level < 0) LogLineBatch::Flush();  // an error line is written at once, after the lines before it
      return;
    }
  }
  WriteText(text);
}

void FileLogWriter::WriteText(const std::string& text) {
  if (text.empty()) return;
  std::shared_ptr<const kxmp::UniqueFd> fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (maxBytes_ > 0 && fd_->valid() && size_ + text.size() > maxBytes_) RotateLocked();
    fd = fd_;
    if (fd->valid()) size_ += text.size();  // counted before it is written: rotation stays exact enough
  }
  // One write per line or batch: with O_APPEND, lines of concurrent threads and processes
  // never interleave. A rotation meanwhile sends the text to the file it was counted for.
  const ssize_t n = ::write(fd->valid() ? fd->get() : STDERR_FILENO, text.data(), text.size());
  (void)n;
}
