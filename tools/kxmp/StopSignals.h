#pragma once
// SIGINT and SIGTERM during a long subcommand (backup, restore): instead of dying with a
// temporary file left behind, the subcommand notes the signal, stops at its next safe point
// (between pieces of a file), removes what it has not committed, reports what it has, and
// ends with 128 + the signal number.

#include <signal.h>

namespace kxmp::cli {

// Catches the two signals for the object's life (interrupted calls are not restarted, and the
// library's long waits are told to end: kxmp::RequestInterruption) and
// restores the previous dispositions when it ends. One object at a time per process; the
// noted signal is the process's one piece of state shared with the handler.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first signal caught, or 0. Any thread may ask.
  static int Caught();
  static bool Stopping() { return Caught() != 0; }
  // 128 + the signal number (130 for SIGINT, 143 for SIGTERM).
  static int ExitStatus() { return 128 + Caught(); }

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

}  // namespace kxmp::cli
