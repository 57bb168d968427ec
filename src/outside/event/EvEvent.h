#pragma once
// An operator-visible event, built, filled and raised in one go:
//   EvEvent ev;
//   if (!ev.initialize(2, 0x31F8390E, 0, nullptr, "")) { ...log, go on... }
//   uint64_t v = ulittleEndianLongLong(id); ev.addArgument(&v, EvEvent::kArgUInt64LE);
//   ev.addArgument(text.c_str(), EvEvent::kArgText);
//   ev.MajorEvent(0x4A000574, 0, 0);
// Raising appends one line to $KX_HOME/log/events.log (format in EventLog.h). An object is
// used by one thread; lines of concurrent raisers never interleave.

#include <cstdint>
#include <string>
#include <vector>

#include "outside/event/EvDebug.h"

class KXMP_EXPORT EvEvent : public EvDebug {
 public:
  // Called after an event was recorded, with its id.
  typedef void (*EvCallback_t)(unsigned int eventId);

  enum ArgType { kArgUInt64LE = 10, kArgText = 11 };

  EvEvent() = default;
  ~EvEvent() override;

  // Sets the event up; non-zero when the event service is usable (its log folder exists).
  int initialize(int facility, unsigned int catalog, int flags, EvCallback_t callback,
                 const std::string& source);
  // Adds one argument: type 10 points at 8 bytes of an unsigned 64-bit integer in
  // little-endian order, type 11 at NUL-terminated text. Non-zero when it was added.
  int addArgument(const void* value, int type);
  // Records the event with the arguments added so far. Non-zero when the line was written.
  int MajorEvent(unsigned int eventId, int severity, int flags);

  const std::vector<std::string>& getArguments() const { return m_args; }

 private:
  std::vector<std::string> m_args;
  EvCallback_t m_callback = nullptr;
};
