#pragma once
// The shape shared by the library's locks: try/lock/unlock through virtual slots and the id
// of the thread that holds the lock (0 while nobody does). The owner is information for the
// holders; the locks decide nothing by it.

#include <cstdint>

#include "kxmp/CTimeInterval.h"
#include "kxmp/kxmp_export.h"

// The calling thread's pthread_self() value cut to its low 32 bits.
KXMP_EXPORT uint32_t GetCurrentThreadId();

class KXMP_EXPORT FXLockableResource {
 public:
  FXLockableResource() = default;
  virtual ~FXLockableResource();
  FXLockableResource(const FXLockableResource&) = delete;
  FXLockableResource& operator=(const FXLockableResource&) = delete;

  virtual bool TryLock() = 0;
  // Pure, with a body derived classes may call: one TryLock() through the virtual slot,
  // the interval ignored.
  virtual bool TryLock(CTimeInterval interval) = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  uint32_t GetOwnerThreadId() const { return m_ownerThreadId; }

 protected:
  void SetLockOwner() { m_ownerThreadId = GetCurrentThreadId(); }
  void ClearLockOwner() { m_ownerThreadId = 0; }

 private:
  uint32_t m_ownerThreadId = 0;
};
