#include "driver/RegistryNumber.h"

#include <cstdlib>
#include <limits>

namespace kxmp::regnum {

int64_t ToInt64(const std::string& text) {
  // strtoll saturates at the 64-bit limits on overflow; errno is not looked at.
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<int64_t>(value);
}

int32_t ToInt32(const std::string& text) {
  int64_t value = ToInt64(text);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace kxmp::regnum
