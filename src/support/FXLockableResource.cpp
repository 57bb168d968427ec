#include "kxmp/FXLockableResource.h"

#include <pthread.h>

#include <type_traits>

uint32_t GetCurrentThreadId() {
  pthread_t self = ::pthread_self();
  static_assert(std::is_integral<pthread_t>::value || std::is_pointer<pthread_t>::value,
                "pthread_t must be a number or a pointer");
  return static_cast<uint32_t>((uintptr_t)(self) & 0xFFFFFFFFu);
}

FXLockableResource::~FXLockableResource() = default;

bool FXLockableResource::TryLock(CTimeInterval) { return TryLock(); }
