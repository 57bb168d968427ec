#include "TimeValues.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace kxmp::cli {

bool ParseDuration(const std::string& text, time_t& seconds) {
  if (text.size() < 2) return false;
  int64_t unit = 0;
  switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return false;
  }
  int64_t n = 0;
  const char* end = text.data() + text.size() - 1;
  auto [ptr, ec] = std::from_chars(text.data(), end, n);
  if (ec != std::errc() || ptr != end || n < 0 || n > std::numeric_limits<int64_t>::max() / unit) return false;
  seconds = static_cast<time_t>(n * unit);
  return true;
}

bool ParseTime(const std::string& text, time_t now, time_t& out) {
  time_t ago = 0;
  if (ParseDuration(text, ago)) {
    out = now - ago;
    return true;
  }
  int64_t epoch = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), epoch);
  if (!text.empty() && ec == std::errc() && ptr == text.data() + text.size()) {
    out = static_cast<time_t>(epoch);
    return true;
  }
  std::string t = text;
  const bool utc = !t.empty() && (t.back() == 'Z' || t.back() == 'z');
  if (utc) t.pop_back();
  struct tm parts {};
  int consumed = 0;
  char sep = 0;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &consumed) != 3 ||
      consumed != 10) {
    return false;
  }
  if (t.size() > 10) {
    int used = 0;
    parts.tm_sec = 0;
    if (std::sscanf(t.c_str() + 10, "%c%2d:%2d%n", &sep, &parts.tm_hour, &parts.tm_min, &used) != 3 ||
        (sep != 'T' && sep != ' ') || used != 6) {
      return false;
    }
    if (t.size() > 16) {
      int more = 0;
      if (std::sscanf(t.c_str() + 16, ":%2d%n", &parts.tm_sec, &more) != 1 || more != 3 || t.size() != 19) return false;
    }
  }
  if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 60) {
    return false;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  parts.tm_isdst = -1;
  out = utc ? ::timegm(&parts) : ::mktime(&parts);
  return out != static_cast<time_t>(-1);
}

}  // namespace kxmp::cli
