#pragma once
// The event log $KX_HOME/log/events.log: one line per raised event,
//   <time>\t<id>\t<arg1>\t<arg2>...\n
// <time> is UTC "YYYY-MM-DDTHH:MM:SS.mmmZ", <id> is "0x" and 8 upper-case hex digits (e.g.
// 0x4A000574), each argument is its text (an integer argument in decimal). Inside an
// argument '\\', tab, newline and carriage return are written as \\ \t \n \r and other
// control bytes as \xHH, so a line is always one line. A line is appended with a single
// write(2) to a file opened with O_APPEND, so lines of concurrent processes never
// interleave.

#include <chrono>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::events {

struct EventRecord {
  std::chrono::system_clock::time_point time;
  unsigned int id = 0;
  std::vector<std::string> args;
};

// The log's path (under the current KX_HOME).
KXMP_EXPORT std::string LogPath();
KXMP_EXPORT std::string FormatLine(const EventRecord& record);
// False for a line that is not an event line.
KXMP_EXPORT bool ParseLine(const std::string& line, EventRecord& record);
// Appends one record (creating the folder and file, owner-only, when missing).
KXMP_EXPORT CZoError Append(const EventRecord& record);
// Every well-formed line of the log, oldest first; empty when there is no log.
KXMP_EXPORT std::vector<EventRecord> ReadAll();
// The well-formed whole lines among the log's last maxBytes, oldest first: the recent past,
// at a cost that does not grow with the log.
KXMP_EXPORT std::vector<EventRecord> ReadRecent(size_t maxBytes);

}  // namespace kxmp::events
