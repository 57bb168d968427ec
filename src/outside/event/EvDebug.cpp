#include "outside/event/EvDebug.h"

#include <chrono>
#include <cstdlib>
#include <thread>

EvDebug::~EvDebug() = default;

void EvDebug::debugWait() {
  const char* knob = std::getenv("KX_EVENT_DEBUG_WAIT_MS");
  if (knob == nullptr || *knob == '\0') return;
  long ms = std::strtol(knob, nullptr, 10);
  if (ms <= 0) return;
  if (ms > 60000) ms = 60000;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
