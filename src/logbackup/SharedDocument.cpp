#include "logbackup/SharedDocument.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <thread>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/LogBackupLocation.h"
#include "logbackup/StorageNames.h"
#include "logbackup/TemporaryFile.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/Interruption.h"
#include "outside/util/RandomTag.h"
#include "outside/xml/CNMessageBase.h"

namespace kxmp::logbackup {
namespace {

using AMD = AbstractMountingPointDriver;
using Clock = std::chrono::steady_clock;

constexpr unsigned int kDocumentMode = 0660;  // the stream metadata document's mode, as ever
constexpr size_t kMaxLockFile = 64 * 1024;

std::string Hex16(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

CZoError WriteAll(CFileInterface* handle, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const unsigned int pass = static_cast<unsigned int>(std::min<size_t>(size - done, size_t(1) << 30));
    unsigned int n = 0;
    CZoError err = handle->Write(data + done, pass, &n);
    if (err.IsSuccess() && (n == 0 || n > pass)) err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "Write made no progress");
    if (err.IsError()) return err;
    done += n;
  }
  return CZoError::Success();
}

// Creates `name` exclusively holding `text`; a file it could not fill is removed again.
CZoError CreateWith(DataServerContext* context, const std::string& name, const std::string& text) {
  CFileInterface* handle = nullptr;
  CZoError err = AMD::AMOpenFile(context, name, O_WRONLY | O_CREAT | O_EXCL, 0640, 0, handle);
  if (err.IsError()) return err;
  err = WriteAll(handle, text.data(), text.size());
  CZoError closed = AMD::AMCloseFile(context, handle);
  if (err.IsSuccess()) err = closed;
  if (err.IsError()) AMD::AMRemoveFileFolder(context, "/" + name);
  return err;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

CZoError ReadStoredFile(DataServerContext* context, const std::string& name, size_t maxBytes, std::string& out) {
  out.clear();
  CFileInterface* handle = nullptr;
  CZoError err = AMD::AMOpenFile(context, name, O_RDONLY, 0, 0, handle);
  if (err.IsError()) return err;
  char buffer[65536];
  for (;;) {
    unsigned int n = 0;
    err = handle->Read(buffer, sizeof buffer, &n);
    if (err.IsError() || n == 0) break;
    if (out.size() + n > maxBytes) {
      err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EFBIG, "[%s] is larger than %zu bytes", name.c_str(), maxBytes);
      break;
    }
    out.append(buffer, n);
  }
  AMD::AMCloseFile(context, handle);  // read-only: nothing to lose
  return err;
}

StorageLock::StorageLock(DataServerContext* context, std::string documentName, SharedLockTimes times)
    : context_(context), lockName_(LockNameFor(documentName)), times_(times) {}

CZoError StorageLock::TryCreate() {
  token_ = WriterId() + " " + std::to_string(::getpid()) + " " + Hex16(RandomTag()) + " " +
           std::to_string(static_cast<long long>(::time(nullptr))) + "\n";
  // Taken before the file exists: no waiter can have seen it unchanged for longer than this.
  const Clock::time_point start = Clock::now();
  CZoError err = CreateWith(context_, lockName_, token_);
  if (err.IsError()) return err;
  held_ = true;
  refreshed_ = start;
  return CZoError::Success();
}

CZoError StorageLock::Acquire() {
  const auto begin = Clock::now(), deadline = begin + times_.wait;
  auto pause = std::chrono::milliseconds(2);
  bool seen = false;
  long long seenSize = -1;
  time_t seenTime = 0;
  Clock::time_point since;
  for (;;) {
    if (InterruptionRequested() && Clock::now() - begin >= kInterruptGrace) {
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINTR, "Stopped while waiting for a lock");
    }
    CZoError err = TryCreate();
    if (err.IsSuccess() || !FXErrorUtil::IsErrNo(err, EEXIST)) return err;
    SZoFileStat st {};
    err = AMD::AMStat(context_, "/" + lockName_, st);
    const auto now = Clock::now();
    const bool released = FXErrorUtil::IsErrNo(err, ENOENT);  // meanwhile: try again at once
    if (released && now < deadline) continue;
    if (err.IsError() && !released) return err;
    if (released) {
      // the deadline passed: the waiter gives up below
    } else if (!seen || st.st_size != seenSize || st.st_mtime != seenTime) {
      if (!seen) KXLOG_NORMAL("Waiting for the lock [%s] of another writer", (context_->getRootFolder() + "/" + lockName_).c_str());
      seen = true;
      seenSize = st.st_size;
      seenTime = st.st_mtime;
      since = now;
    } else if (now - since >= times_.stale) {
      err = TakeOver();
      if (err.IsError()) return err;
      seen = false;
      continue;
    }
    if (now >= deadline) {
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ETIMEDOUT,
                                     "The lock [%s] was held by another writer for %lld s (a lock unchanged for %lld s "
                                     "is taken over)",
                                     (context_->getRootFolder() + "/" + lockName_).c_str(),
                                     static_cast<long long>(times_.wait.count() / 1000),
                                     static_cast<long long>(times_.stale.count() / 1000));
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(250));
  }
}

CZoError StorageLock::TakeOver() {
  // Only the file judged dead may go: it is moved to a name of this writer's own first, so
  // that what is removed is exactly what was looked at, never a lock taken meanwhile.
  std::string dead;
  CZoError err = ReadStoredFile(context_, lockName_, kMaxLockFile, dead);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();
  if (err.IsError()) return err;
  const std::string aside = lockName_.substr(0, lockName_.size() - 4) + "." + Hex16(RandomTag()) + ".tmp";
  err = AMD::AMMoveNoReplace(context_, "/" + lockName_, "/" + aside);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return CZoError::Success();
  if (err.IsError()) return err;
  std::string moved;
  err = ReadStoredFile(context_, aside, kMaxLockFile, moved);
  if (err.IsSuccess() && moved == dead) {
    KXLOG_NORMAL("Took over the lock [%s] of a writer that is gone (%s)", (context_->getRootFolder() + "/" + lockName_).c_str(),
                 dead.substr(0, dead.find('\n')).c_str());
    AMD::AMRemoveFileFolder(context_, "/" + aside);
    return CZoError::Success();
  }
  // A lock taken after the look: back under its name, unless yet another writer holds the name
  // now; then its holder finds its lock gone when it checks, and stops.
  if (AMD::AMMoveNoReplace(context_, "/" + aside, "/" + lockName_).IsError()) {
    AMD::AMRemoveFileFolder(context_, "/" + aside);
  }
  return CZoError::Success();
}

CZoError StorageLock::Refresh() {
  const Clock::time_point start = Clock::now();
  CFileInterface* handle = nullptr;
  CZoError err = AMD::AMOpenFile(context_, lockName_, O_WRONLY | O_APPEND, 0, 0, handle);
  if (err.IsError()) return err;
  err = WriteAll(handle, "+", 1);
  CZoError closed = AMD::AMCloseFile(context_, handle);
  if (err.IsSuccess()) err = closed;
  if (err.IsSuccess()) refreshed_ = start;
  return err;
}

CZoError StorageLock::Confirm() {
  if (!held_) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOLCK, "The lock [%s] is not held", lockName_.c_str());
  std::string text;
  CZoError err = ReadStoredFile(context_, lockName_, kMaxLockFile, text);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot check the lock [%s]", lockName_.c_str());
  if (!StartsWith(text, token_)) {
    held_ = false;  // another writer's now: never removed by this one
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOLCK, "The lock [%s] was taken over by another writer while this one held it",
                                   (context_->getRootFolder() + "/" + lockName_).c_str());
  }
  if (Clock::now() - refreshed_ >= times_.stale / 4) return Refresh();
  return CZoError::Success();
}

void StorageLock::Release() {
  if (!held_) return;
  held_ = false;
  // A waiter takes a lock over only after seeing it unchanged for times_.stale: within half of
  // that since this holder last changed it, the file is still this holder's, and reading it
  // back would only cost round trips. (Should this machine's clock have stood still meanwhile,
  // a lock removed that was another's makes its holder's Confirm fail: its document is kept.)
  CZoError err;
  if (Clock::now() - refreshed_ < times_.stale / 2) {
    err = AMD::AMRemoveFileFolder(context_, "/" + lockName_);
  } else {
    std::string text;
    err = ReadStoredFile(context_, lockName_, kMaxLockFile, text);
    if (err.IsSuccess() && StartsWith(text, token_)) err = AMD::AMRemoveFileFolder(context_, "/" + lockName_);
  }
  if (err.IsError()) {
    KXLOG_ERROR("Failed to release the lock [%s], error=%s", (context_->getRootFolder() + "/" + lockName_).c_str(),
                err.AsString().c_str());
  }
}

CZoError UpdateSharedDocument(DataServerContext* context, const std::string& name, const DocumentMerge& merge,
                              const SharedLockTimes& times) {
  StorageLock lock(context, name, times);
  CZoError err = lock.Acquire();
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot take the lock of [%s]", name.c_str());
  std::string current;
  err = ReadStoredFile(context, name, CNMessageBase::kMaxStoredDocumentSize, current);
  const bool exists = !FXErrorUtil::IsErrNo(err, ENOENT);
  if (exists && err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot read [%s]", name.c_str());
  std::string next;
  err = merge(exists ? &current : nullptr, next);
  if (err.IsError()) return err;
  if (exists && next == current) return CZoError::Success();  // nothing new to add
  return WriteSharedDocument(context, name, lock, next);
}

CZoError WriteSharedDocument(DataServerContext* context, const std::string& name, StorageLock& lock,
                             const std::string& text) {
  TemporaryFile temporary;
  CFileInterface* handle = nullptr;
  CZoError err = temporary.Create(context, name, O_WRONLY, kDocumentMode, handle);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot write [%s]", name.c_str());
  err = WriteAll(handle, text.data(), text.size());
  CZoError closed = AMD::AMCloseFile(context, handle);  // syncs what was written
  if (err.IsSuccess()) err = closed;
  // The last look before the one step that cannot be taken back.
  if (err.IsSuccess()) err = lock.Confirm();
  if (err.IsSuccess()) err = temporary.Commit(true);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot write [%s]", name.c_str());
  return CZoError::Success();
}

}  // namespace kxmp::logbackup
