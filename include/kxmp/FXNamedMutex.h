#pragma once
// A lock identified by a name, excluding every holder of the name on the machine (other
// objects, threads and processes). Holds nest per object; destroying the object releases
// whatever it still holds, so a caller may lock it and simply let it go out of scope.

#include <string>

#include "kxmp/FXLockableResource.h"
#include "outside/lock/KxNamedMutex.h"

class KXMP_EXPORT FXNamedMutex : public FXLockableResource {
 public:
  explicit FXNamedMutex(const std::string& name);
  ~FXNamedMutex() override;

  // Waits at most 1 millisecond (not a zero-wait attempt).
  bool TryLock() override;
  // Waits at most interval.AsMilliseconds(), handed over unsigned; a negative interval
  // makes one attempt without waiting.
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;

  int32_t GetLockCount() const { return m_namedMutex.getLockCnt(); }

 private:
  KxNamedMutex m_namedMutex;
};
