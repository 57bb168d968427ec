#include "outside/util/FXPath.h"

// Only "/" separates: a backslash is an ordinary character of a name on this system.
static bool IsSep(char c) { return c == '/'; }

CZoError FXPath::Append(std::string& base, const std::string& part, int /*flags*/) {
  if (part.empty()) return CZoError::Success();
  if (base.empty()) {
    base = part;
    return CZoError::Success();
  }
  size_t start = 0;
  while (start < part.size() && IsSep(part[start])) ++start;
  bool baseEndsWithSep = IsSep(base.back());
  if (baseEndsWithSep) {
    // keep exactly one separator: drop extra trailing ones of base
    while (base.size() > 1 && IsSep(base[base.size() - 1]) && IsSep(base[base.size() - 2])) base.pop_back();
  } else {
    base.push_back('/');
  }
  base.append(part, start, std::string::npos);
  return CZoError::Success();
}

std::string FXPath::Join(const std::string& base, const std::string& part) {
  std::string out = base;
  Append(out, part);
  return out;
}
