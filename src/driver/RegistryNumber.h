#pragma once
// Numbers cached in the registry are read back as decimal text. These read them the way
// atoi/atoll do (leading blanks, an optional sign, digits up to the first other character, 0
// when there are none), but a value out of range is clamped instead of being undefined: the
// registry is edited by administrators and other programs, so its texts are not trusted.

#include <cstdint>
#include <string>

namespace kxmp::regnum {

int32_t ToInt32(const std::string& text);
int64_t ToInt64(const std::string& text);

}  // namespace kxmp::regnum
