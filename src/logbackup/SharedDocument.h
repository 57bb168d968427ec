#pragma once
// Documents beside the log files that writers on many client machines change (a stream's
// metadata; records of the stored files): changed only by read, merge and replace under a lock
// that the storage host itself holds, so no writer's records are lost whatever the
// interleaving, and a reader sees an old or a new document whole.
//
// The lock is the file "<document>.lock.tmp" beside the document, created exclusively (no
// machine sees another's locks; every storage host refuses a second exclusive create). It
// holds the holder's token (writer id, process, a random number, the time), and grows by one
// byte whenever its holder refreshes it. A waiter that sees it unchanged for SharedLockTimes::
// stale (measured by the waiter's own clock, so clocks of machines need not agree) takes it
// for a dead holder's and takes it over: it moves it to a name of its own and removes it only
// when it is the file it judged dead (else it puts it back). A holder refreshes it between
// steps, and checks it is still its own just before it replaces the document; its holder
// removes it after.
//
//   CZoError err = UpdateSharedDocument(context, "StreamMetadata_3.xml",
//       [&](const std::string* current, std::string& next) { ...merge...; return CZoError::Success(); });
//
// The document is replaced through this machine's temporary file (TemporaryFile.h), synced,
// renamed over it, and the folder synced.

#include <chrono>
#include <functional>
#include <string>

#include "outside/error/CZoError.h"

class DataServerContext;

namespace kxmp::logbackup {

struct SharedLockTimes {
  std::chrono::milliseconds wait{std::chrono::seconds(120)};  // a writer waits this long for the lock
  std::chrono::milliseconds stale{std::chrono::seconds(60)};  // unchanged this long: its holder is gone
};

// The storage host's lock of one document below a context's root folder.
class StorageLock {
 public:
  StorageLock(DataServerContext* context, std::string documentName, SharedLockTimes times = {});
  ~StorageLock() { Release(); }
  StorageLock(const StorageLock&) = delete;
  StorageLock& operator=(const StorageLock&) = delete;

  // Waits (bounded by times.wait) until the lock is this object's. ETIMEDOUT when another
  // writer held it all the while.
  CZoError Acquire();
  // Success while the lock file is still this holder's (refreshing it when due); ENOLCK when
  // another writer took it over, which happens only after the holder seemed dead.
  CZoError Confirm();
  // Removes the lock file if it is still this holder's (read back first unless this holder
  // changed it less than half the stale time ago, when no waiter can have taken it). Idempotent.
  void Release();

  static std::string LockNameFor(const std::string& documentName) { return documentName + ".lock.tmp"; }

 private:
  CZoError TryCreate();
  CZoError TakeOver();
  CZoError Refresh();

  DataServerContext* context_;
  std::string lockName_;
  SharedLockTimes times_;
  std::string token_;
  bool held_ = false;
  std::chrono::steady_clock::time_point refreshed_;
};

// Reads the document (current is null when it does not exist), lets merge make the new text,
// and replaces the document with it, all under the document's StorageLock. An error from
// merge, or any failure, leaves the document as it was.
using DocumentMerge = std::function<CZoError(const std::string* current, std::string& next)>;
CZoError UpdateSharedDocument(DataServerContext* context, const std::string& name, const DocumentMerge& merge,
                              const SharedLockTimes& times = {});

// Replaces the document with text for a holder of its lock (lock.Acquire succeeded): through
// this machine's temporary file, synced, the lock confirmed last, renamed over the document.
CZoError WriteSharedDocument(DataServerContext* context, const std::string& name, StorageLock& lock,
                             const std::string& text);

// Reads a whole file below the context's root folder; EFBIG when it is larger than maxBytes.
CZoError ReadStoredFile(DataServerContext* context, const std::string& name, size_t maxBytes, std::string& out);

}  // namespace kxmp::logbackup
