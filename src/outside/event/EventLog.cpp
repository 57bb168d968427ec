#include "outside/event/EventLog.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"
#include "outside/util/FXPath.h"
#include "outside/util/KxHome.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::events {

namespace {

void Escape(const std::string& in, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : in) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (++i >= in.size()) return false;
    switch (in[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'x': {
        if (i + 2 >= in.size()) return false;
        int hi = HexValue(in[i + 1]);
        int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

}  // namespace

std::string LogPath() { return kxmp::home::Path("log/events.log"); }

std::string FormatLine(const EventRecord& record) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(record.time.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) {
    frac += 1000;
    --secs;
  }
  struct tm tmv;
  ::gmtime_r(&secs, &tmv);
  char head[64];
  std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ\t0x%08X", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, frac, record.id);
  std::string line = head;
  for (const std::string& arg : record.args) {
    line += '\t';
    Escape(arg, line);
  }
  line += '\n';
  return line;
}

bool ParseLine(const std::string& text, EventRecord& record) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  std::vector<std::string> parts = SplitTabs(line);
  if (parts.size() < 2) return false;

  struct tm tmv;
  std::memset(&tmv, 0, sizeof tmv);
  int msec = 0;
  char tail = 0;
  if (parts[0].size() != 24 ||
      std::sscanf(parts[0].c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday,
                  &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec, &msec, &tail) != 8 ||
      tail != 'Z') {
    return false;
  }
  tmv.tm_year -= 1900;
  tmv.tm_mon -= 1;
  time_t secs = ::timegm(&tmv);

  const std::string& id = parts[1];
  if (id.size() != 10 || id[0] != '0' || id[1] != 'x') return false;
  unsigned int value = 0;
  for (size_t i = 2; i < id.size(); ++i) {
    int h = HexValue(id[i]);
    if (h < 0) return false;
    value = value * 16 + static_cast<unsigned int>(h);
  }

  EventRecord parsed;
  parsed.time = std::chrono::system_clock::from_time_t(secs) + std::chrono::milliseconds(msec);
  parsed.id = value;
  for (size_t i = 2; i < parts.size(); ++i) {
    std::string arg;
    if (!Unescape(parts[i], arg)) return false;
    parsed.args.push_back(std::move(arg));
  }
  record = std::move(parsed);
  return true;
}

CZoError Append(const EventRecord& record) {
  std::string dir;
  CZoError err = kxmp::home::Ensure("log", dir);
  if (err.IsError()) return err.Push(FX_LOC);
  const std::string path = FXPath::Join(dir, "events.log");
  const std::string line = FormatLine(record);

  kxmp::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to open [%s]: %s", path.c_str(), std::strerror(e));
  }
  // One write for the whole line: O_APPEND places it at the end as a unit.
  ssize_t n;
  do {
    n = ::write(fd.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to write [%s]: %s", path.c_str(), std::strerror(e));
  }
  if (static_cast<size_t>(n) != line.size()) {
    // Short write (disk full): end the torn line so the next one stays readable.
    (void)!::write(fd.get(), "\n", 1);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC, "Short write to [%s]", path.c_str());
  }
  if (fd.close() != 0) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to close [%s]: %s", path.c_str(), std::strerror(e));
  }
  return CZoError::Success();
}

namespace {

std::vector<EventRecord> ParseLines(const std::string& content, size_t start) {
  std::vector<EventRecord> records;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    EventRecord record;
    if (ParseLine(content.substr(start, end - start), record)) records.push_back(std::move(record));
    start = end + 1;
  }
  return records;
}

}  // namespace

std::vector<EventRecord> ReadAll() {
  std::string content;
  if (CZoFile::ReadWholeFile(LogPath(), content).IsError()) return {};
  return ParseLines(content, 0);
}

std::vector<EventRecord> ReadRecent(size_t maxBytes) {
  kxmp::UniqueFd fd(::open(LogPath().c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return {};
  const off_t size = st.st_size;
  const off_t from = size > static_cast<off_t>(maxBytes) ? size - static_cast<off_t>(maxBytes) : 0;
  std::string content(static_cast<size_t>(size - from), '\0');
  size_t got = 0;
  while (got < content.size()) {
    const ssize_t n = ::pread(fd.get(), &content[got], content.size() - got, from + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  content.resize(got);
  // A read that starts inside the log starts inside a line: that line is not whole.
  size_t start = 0;
  if (from > 0) {
    const size_t nl = content.find('\n');
    start = nl == std::string::npos ? content.size() : nl + 1;
  }
  return ParseLines(content, start);
}

}  // namespace kxmp::events
