#include "StopSignals.h"

#include <atomic>

#include "outside/util/Interruption.h"

namespace kxmp::cli {
namespace {

// Written by the handler, read by every worker thread; lock-free, so safe in a handler.
std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be usable in a signal handler");

extern "C" void NoteStopSignal(int sig) {
  int none = 0;
  g_caught.compare_exchange_strong(none, sig);
  kxmp::RequestInterruption();  // the library's long waits end too
}

}  // namespace

StopSignals::StopSignals() {
  g_caught.store(0);
  kxmp::ClearInterruption();
  struct sigaction action {};
  action.sa_handler = NoteStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a call waiting when the signal comes returns EINTR
  ::sigaction(SIGINT, &action, &previousInt_);
  ::sigaction(SIGTERM, &action, &previousTerm_);
}

StopSignals::~StopSignals() {
  ::sigaction(SIGINT, &previousInt_, nullptr);
  ::sigaction(SIGTERM, &previousTerm_, nullptr);
}

int StopSignals::Caught() { return g_caught.load(); }

}  // namespace kxmp::cli
