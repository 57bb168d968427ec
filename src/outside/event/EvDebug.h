#pragma once
// Debug hooks of the event service. debugWait() is called at the start of work a developer
// may want to attach a debugger to; it returns at once unless the knob
// KX_EVENT_DEBUG_WAIT_MS (milliseconds, at most 60000) asks for a pause.

#include "kxmp/kxmp_export.h"

class KXMP_EXPORT EvDebug {
 public:
  EvDebug() = default;
  virtual ~EvDebug();

  void debugWait();
};
