#pragma once
// A recursive mutex of one process over a POSIX mutex, with a hold count. The holding thread
// may lock it again; every hold is matched by one Unlock(). Destroying it releases the holds
// the destroying thread still has (destroying one that another thread holds is not
// supported).

#include <pthread.h>

#include <cstdint>

#include "kxmp/FXLockableResource.h"

class KXMP_EXPORT FXMutex : public FXLockableResource {
 public:
  FXMutex();
  ~FXMutex() override;

  bool TryLock() override;
  // One TryLock(): the interval is ignored, there is no waiting.
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;
  // (Re)initialises the mutex as recursive. Calling it again on an idle mutex rebuilds it;
  // on a held one it only clears the owner.
  virtual void Init();

  int32_t GetLockCount() const { return m_lockCount; }

 private:
  pthread_mutex_t m_mutex;
  int32_t m_lockCount = 0;
  bool m_initialized = false;
};
