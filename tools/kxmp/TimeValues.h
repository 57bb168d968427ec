#pragma once
// Times and durations as the log subcommands take them on their command lines (UtcText in
// CacheView.h writes them).

#include <ctime>
#include <string>

namespace kxmp::cli {

// A duration: a whole number followed by s, m, h or d ("90s", "36h", "14d"). False for
// anything else, and for a number of seconds past what time_t holds.
bool ParseDuration(const std::string& text, time_t& seconds);

// A point in time: seconds since the epoch ("1714567890"), a date or date and time in local
// time ("2024-05-01", "2024-05-01T22:00", "2024-05-01 22:00:30"; with "Z" at the end UTC), or a
// duration meaning that long before now ("1d"). False for anything else.
bool ParseTime(const std::string& text, time_t now, time_t& out);

}  // namespace kxmp::cli
