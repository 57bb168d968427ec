#include "FailureEvent.h"

#include "outside/event/EvEvent.h"
#include "outside/event/EventLog.h"
#include "outside/util/Endian.h"

namespace kxmp::cli {

namespace {

// Enough of the log's end to hold the last quiet period's events of a busy machine; an older
// event not seen only means one more event.
constexpr size_t kRecentBytes = 256 * 1024;

bool RaisedLately(const std::string& subclient, const std::string& command) {
  const auto since = std::chrono::system_clock::now() - kFailureEventQuiet;
  for (const events::EventRecord& e : events::ReadRecent(kRecentBytes)) {
    if (e.id == kEventLogCommandFailed && e.time >= since && e.args.size() >= 2 && e.args[0] == subclient &&
        e.args[1] == command) {
      return true;
    }
  }
  return false;
}

}  // namespace

void RaiseCommandFailed(uint64_t subclient, const std::string& command, const std::string& file,
                        const std::string& why) {
  if (RaisedLately(std::to_string(subclient), command)) return;
  EvEvent event;
  event.initialize(2, 0x31F8390E, 0, nullptr, "");
  const uint64_t id = ulittleEndianLongLong(subclient);
  event.addArgument(&id, EvEvent::kArgUInt64LE);
  event.addArgument(command.c_str(), EvEvent::kArgText);
  event.addArgument(file.c_str(), EvEvent::kArgText);
  event.addArgument(why.c_str(), EvEvent::kArgText);
  event.MajorEvent(kEventLogCommandFailed, 0, 0);
}

}  // namespace kxmp::cli
