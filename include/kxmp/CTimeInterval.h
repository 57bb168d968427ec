#pragma once
// A time span in 100-nanosecond ticks, passed by value to the timed lock operations.

#include <cstdint>

#include "kxmp/kxmp_export.h"

class KXMP_EXPORT CTimeInterval {
 public:
  static constexpr int64_t kTicksPerMillisecond = 10000;

  constexpr explicit CTimeInterval(int64_t ticks = 0) : m_ticks(ticks) {}
  static constexpr CTimeInterval FromMilliseconds(int64_t ms) {
    return CTimeInterval(ms * kTicksPerMillisecond);
  }

  constexpr int64_t GetTicks() const { return m_ticks; }
  // Whole milliseconds, truncated toward zero (25,000 ticks -> 2, -25,000 -> -2).
  constexpr int64_t AsMilliseconds() const { return m_ticks / kTicksPerMillisecond; }

 private:
  int64_t m_ticks;
};
