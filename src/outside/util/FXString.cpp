#include "outside/util/FXString.h"

#include <cstdio>

std::string FXString::Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = FormatV(fmt, ap);
  va_end(ap);
  return s;
}

std::string FXString::FormatV(const char* fmt, va_list ap) {
  if (fmt == nullptr) return std::string();
  char stackBuf[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(stackBuf, sizeof stackBuf, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof stackBuf) return std::string(stackBuf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}
