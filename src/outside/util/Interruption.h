#pragma once
// A stop asked for by the program (a tool's SIGINT/SIGTERM handler): waits that could last
// (a storage host's answer, a lock held elsewhere) end with errno EINTR once they have waited
// kInterruptGrace with the stop asked for, so a stopped program never sits out a whole
// timeout, while the short steps it still takes on its way out (committing what is whole,
// writing the stream's metadata) go through. Requesting is async-signal-safe. One flag for
// the process: it stands for the process being told to stop.

#include "kxmp/kxmp_export.h"

#include <chrono>

namespace kxmp {

inline constexpr std::chrono::milliseconds kInterruptGrace{1000};

KXMP_EXPORT void RequestInterruption() noexcept;
KXMP_EXPORT void ClearInterruption() noexcept;
KXMP_EXPORT bool InterruptionRequested() noexcept;

}  // namespace kxmp
