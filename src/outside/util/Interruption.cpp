#include "outside/util/Interruption.h"

#include <atomic>

namespace kxmp {
namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from signal handlers");

}  // namespace

void RequestInterruption() noexcept { g_requested.store(true); }
void ClearInterruption() noexcept { g_requested.store(false); }
bool InterruptionRequested() noexcept { return g_requested.load(); }

}  // namespace kxmp
