#pragma once
// 64 random bits for names that must not meet another writer's (temporary files, lock tokens).

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace kxmp {

inline uint64_t RandomTag() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
  // No entropy yet (early boot): process, time and a counter still make names unique here.
  static std::atomic<uint64_t> counter{0};
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return (static_cast<uint64_t>(::getpid()) << 40) ^ (static_cast<uint64_t>(ts.tv_nsec) << 8) ^
         (static_cast<uint64_t>(ts.tv_sec) << 20) ^ counter.fetch_add(1);
}

}  // namespace kxmp
