#pragma once
// Helpers for tests that check how long a wait took.

#include <chrono>

namespace kxmp::test {

using SteadyClock = std::chrono::steady_clock;

// Scheduling delay allowed beyond a wait's bound on a loaded machine (sanitizers, 2 cores).
constexpr long kTimingSlackMs = 100;

inline long ElapsedMs(SteadyClock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

}  // namespace kxmp::test
