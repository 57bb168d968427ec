#include "kxmp/FXNamedMutex.h"

FXNamedMutex::FXNamedMutex(const std::string& name) : m_namedMutex(name.c_str()) {}

// The KxNamedMutex member releases any remaining hold as it is destroyed.
FXNamedMutex::~FXNamedMutex() = default;

void FXNamedMutex::Lock() {
  m_namedMutex.lock();
  SetLockOwner();
}

bool FXNamedMutex::TryLock() {
  bool locked = m_namedMutex.lock(1UL);
  if (locked) SetLockOwner();
  return locked;
}

bool FXNamedMutex::TryLock(CTimeInterval interval) {
  bool locked = m_namedMutex.lock(static_cast<unsigned long>(interval.AsMilliseconds()));
  if (locked) SetLockOwner();
  return locked;
}

void FXNamedMutex::Unlock() {
  if (m_namedMutex.getLockCnt() == 1) ClearLockOwner();
  m_namedMutex.unlock();
}
