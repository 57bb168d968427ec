#include "FailureEvent.h"

#include <algorithm>
#include <vector>

#include "outside/event/EvEvent.h"
#include "outside/event/EventLog.h"
#include "outside/util/Endian.h"

namespace kxmp::cli {

namespace {

// Enough of the log's end to hold the last quiet period's events of a busy machine; an older
// event not seen only means one more event.
constexpr size_t kRecentBytes = 256 * 1024;

// An event of this id raised within the quiet period whose first arguments are these.
bool RaisedLately(unsigned int id, const std::vector<std::string>& leading) {
  const auto since = std::chrono::system_clock::now() - kFailureEventQuiet;
  for (const events::EventRecord& e : events::ReadRecent(kRecentBytes)) {
    if (e.id != id || e.time < since || e.args.size() < leading.size()) continue;
    if (std::equal(leading.begin(), leading.end(), e.args.begin())) return true;
  }
  return false;
}

// Raises event id with the subclient and the texts, unless one with the same subclient and
// the first `same` texts was raised lately.
void RaiseThrottled(unsigned int id, uint64_t subclient, const std::vector<std::string>& texts, size_t same) {
  std::vector<std::string> leading = {std::to_string(subclient)};
  leading.insert(leading.end(), texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(same));
  if (RaisedLately(id, leading)) return;
  EvEvent event;
  event.initialize(2, 0x31F8390E, 0, nullptr, "");
  const uint64_t little = ulittleEndianLongLong(subclient);
  event.addArgument(&little, EvEvent::kArgUInt64LE);
  for (const std::string& text : texts) event.addArgument(text.c_str(), EvEvent::kArgText);
  event.MajorEvent(id, 0, 0);
}

}  // namespace

void RaiseCommandFailed(uint64_t subclient, const std::string& command, const std::string& file,
                        const std::string& why) {
  RaiseThrottled(kEventLogCommandFailed, subclient, {command, file, why}, 1);
}

void RaiseStoredFileDamaged(uint64_t subclient, const std::string& where, const std::string& path,
                            const std::string& what, const std::string& why) {
  RaiseThrottled(kEventStoredFileDamaged, subclient, {where, path, what, why}, 0);
}

}  // namespace kxmp::cli
