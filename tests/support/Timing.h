#pragma once
// Helpers for tests that check how long a wait took.

#include <chrono>
#include <thread>

namespace kxmp::test {

using SteadyClock = std::chrono::steady_clock;

// Scheduling delay allowed beyond a wait's bound on a loaded machine (sanitizers, 2 cores
// shared by several builds, where a thread can wait hundreds of milliseconds for a core).
// Bounds checked with it tell a bounded wait from one that runs to a default timeout or
// forever; they say nothing about speed.
constexpr long kTimingSlackMs = 1500;

inline long ElapsedMs(SteadyClock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

// Waits until `done()` holds, checking every millisecond or so; false when it still does not
// hold after timeoutMs. For state that another thread or process changes: read it only
// through this, never after a fixed pause.
template <class Predicate>
bool WaitUntil(Predicate done, long timeoutMs = 30000) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (SteadyClock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

}  // namespace kxmp::test
