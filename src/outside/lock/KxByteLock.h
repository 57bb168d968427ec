#pragma once
// A lock of a name that is only ever tried, never waited for, and costs no file per name:
// for locks taken and dropped once per file written, where KxNamedMutex would make and keep
// a lock file per name.
//
// Mechanism: the name's 62-bit hash picks one byte of the one lock file
// $KX_HOME/locks/byte-locks.lock; an open-file-description lock (fcntl F_OFD_SETLK) on that
// byte excludes other processes, and a holder that dies releases it with its descriptors.
// The threads of a process share one descriptor of the file (one lock owner), so a
// process-wide table of held bytes excludes them from each other. Two names whose hashes
// meet exclude each other too: a needless "held", never a missing exclusion.
//
// A forked child starts with no descriptor and no held bytes of its own (the copies it
// inherited are closed), so parent and child exclude each other like any two processes.
// When the lock file cannot be opened, the lock excludes the threads of this process only
// and one error line per attempt says why.

#include <cstdint>
#include <string>

#include "outside/error/CZoError.h"

class KxByteLock {
 public:
  KxByteLock() = default;
  ~KxByteLock() { Release(); }
  KxByteLock(const KxByteLock&) = delete;
  KxByteLock& operator=(const KxByteLock&) = delete;

  // Takes the lock of `name` without waiting (releasing one this object held). Success with
  // held() false: another thread or process holds it. An error: the lock file could not be
  // locked for a reason other than contention; nothing is held.
  CZoError TryLock(const std::string& name);
  void Release();
  bool held() const { return held_; }
  // False when only the threads of this process are excluded (no lock file).
  bool isCrossProcess() const { return crossProcess_; }

 private:
  std::string file_;
  uint64_t offset_ = 0;
  bool held_ = false;
  bool crossProcess_ = false;
};

namespace kxmp::lock {
// The byte of the lock file that stands for a name.
uint64_t ByteOfName(const std::string& name);
}  // namespace kxmp::lock
