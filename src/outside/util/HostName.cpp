#include "outside/util/HostName.h"

#include <charconv>

std::string MangleHostName(const std::string& host, const std::string& second, int64_t n1, int64_t n2) {
  return host + "*" + second + "*" + std::to_string(n1) + "*" + std::to_string(n2);
}

static bool ParseI64(const std::string& s, int64_t& out) {
  out = 0;
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool DemangleHostName(const std::string& mangled, std::string& host, std::string& second, int64_t& n1,
                      int64_t& n2) {
  second.clear();
  n1 = n2 = 0;
  size_t a = mangled.find('*');
  if (a == std::string::npos) {
    host = mangled;
    return true;
  }
  host = mangled.substr(0, a);
  size_t b = mangled.find('*', a + 1);
  if (b == std::string::npos) {
    second = mangled.substr(a + 1);
    return false;
  }
  second = mangled.substr(a + 1, b - a - 1);
  size_t c = mangled.find('*', b + 1);
  if (c == std::string::npos) {
    ParseI64(mangled.substr(b + 1), n1);
    return false;
  }
  bool ok1 = ParseI64(mangled.substr(b + 1, c - b - 1), n1);
  bool ok2 = ParseI64(mangled.substr(c + 1), n2);
  return ok1 && ok2;
}
