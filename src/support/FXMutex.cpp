#include "kxmp/FXMutex.h"

FXMutex::FXMutex() { Init(); }

FXMutex::~FXMutex() {
  while (m_lockCount > 0) Unlock();
  if (m_initialized) ::pthread_mutex_destroy(&m_mutex);
}

void FXMutex::Init() {
  ClearLockOwner();
  if (m_initialized) {
    // Initialising a live POSIX mutex again is undefined; rebuild only an idle one.
    if (m_lockCount > 0 || ::pthread_mutex_destroy(&m_mutex) != 0) return;
    m_initialized = false;
  }
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  m_initialized = ::pthread_mutex_init(&m_mutex, &attr) == 0;
  ::pthread_mutexattr_destroy(&attr);
}

void FXMutex::Lock() {
  if (!m_initialized || ::pthread_mutex_lock(&m_mutex) != 0) return;
  ++m_lockCount;
  SetLockOwner();
}

bool FXMutex::TryLock() {
  if (!m_initialized || ::pthread_mutex_trylock(&m_mutex) != 0) return false;
  ++m_lockCount;
  SetLockOwner();
  return true;
}

bool FXMutex::TryLock(CTimeInterval interval) { return FXLockableResource::TryLock(interval); }

void FXMutex::Unlock() {
  if (m_lockCount != 0) {
    --m_lockCount;
    if (m_lockCount <= 0) ClearLockOwner();
  }
  // Also without a hold: the mutex reports EPERM to a thread that does not own it, which
  // is ignored.
  if (m_initialized) ::pthread_mutex_unlock(&m_mutex);
}
