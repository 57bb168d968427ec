#include "outside/event/EvEvent.h"

#include <cstring>
#include <new>

#include "outside/event/EventLog.h"
#include "outside/log/Log.h"
#include "outside/util/KxHome.h"

EvEvent::~EvEvent() = default;

int EvEvent::initialize(int, unsigned int, int, EvCallback_t callback, const std::string&) {
  m_callback = callback;
  std::string dir;
  return kxmp::home::Ensure("log", dir).IsError() ? 0 : 1;
}

int EvEvent::addArgument(const void* value, int type) {
  if (value == nullptr) return 0;
  try {
    if (type == kArgUInt64LE) {
      unsigned char bytes[8];
      std::memcpy(bytes, value, sizeof bytes);
      uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[i];
      m_args.push_back(std::to_string(v));
      return 1;
    }
    if (type == kArgText) {
      m_args.emplace_back(static_cast<const char*>(value));
      return 1;
    }
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

int EvEvent::MajorEvent(unsigned int eventId, int, int) {
  kxmp::events::EventRecord record;
  record.time = std::chrono::system_clock::now();
  record.id = eventId;
  CZoError err;
  try {
    record.args = m_args;
    err = kxmp::events::Append(record);
  } catch (const std::bad_alloc&) {
    KXLOG_ERROR("Failed to record event 0x%08X: out of memory", eventId);
    return 0;
  }
  if (err.IsError()) {
    KXLOG_ERROR("Failed to record event 0x%08X: %s", eventId, err.Message().c_str());
    return 0;
  }
  if (m_callback != nullptr) m_callback(eventId);
  return 1;
}
