#pragma once
// A lock identified by a name, shared by every holder of that name on the machine: other
// objects and threads of this process and other processes.
//
// Mechanism: flock(2) on a lock file $KX_HOME/locks/<encoded name>.lck, one open file
// description per object, so a holder that dies releases its lock with its descriptors.
// Inside the process a per-name state (process-wide map, guarded) orders the objects of one
// name, so waiting objects of this process queue on a condition variable instead of
// spinning on flock, and a timed wait stays within its bound. Lock files are created once
// and never unlinked (unlinking would let a new holder lock a fresh inode while an old one
// still holds the unlinked one).
//
// When the lock file cannot be opened (home not writable), the lock still excludes the
// holders of the name inside this process, and one error line says why other processes are
// not excluded.
//
// Holds are counted per object (recursive per object). An object is meant to be used by one
// thread at a time; its counter is nevertheless guarded, so sharing it is not a data race.

#include <cstdint>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::lock {
struct NameState;
}  // namespace kxmp::lock

class KXMP_EXPORT KxNamedMutex {
 public:
  explicit KxNamedMutex(const char* name);
  ~KxNamedMutex();  // releases every hold this object still has
  KxNamedMutex(const KxNamedMutex&) = delete;
  KxNamedMutex& operator=(const KxNamedMutex&) = delete;

  // Blocks until the lock is held. False only when the lock file could not be locked for a
  // reason other than contention (logged); the object then holds nothing.
  bool lock();
  // Waits at most `ms` milliseconds. A value above LONG_MAX (a negative wait handed over as
  // unsigned) makes one attempt without waiting. True when the lock is now held.
  bool lock(unsigned long ms);
  // Releases one hold; without a hold it does nothing.
  void unlock();
  // Number of holds this object has.
  int32_t getLockCnt() const;

  const std::string& getName() const { return name_; }
  // False when only holders inside this process are excluded (lock file not available).
  bool isCrossProcess() const { return fd_.valid(); }

 private:
  bool Acquire(bool bounded, unsigned long ms);
  void ReleaseAllLocked();

  std::string name_;
  kxmp::UniqueFd fd_;
  std::shared_ptr<kxmp::lock::NameState> state_;
  int32_t count_ = 0;  // guarded by state_->mutex
};

namespace kxmp::lock {
// The lock file's name for a lock name: [A-Za-z0-9_-] kept, every other byte as %XX, then
// ".lck". Names whose encoding would be too long for a file name are cut and followed by
// "~" and a 64-bit hash of the whole name. The result never contains '/' and never is "."
// or "..", so no name can reach outside the lock folder.
std::string LockFileName(const std::string& name);
}  // namespace kxmp::lock
