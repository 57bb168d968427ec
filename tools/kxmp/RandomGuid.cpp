#include "RandomGuid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

bool RandomGuid(std::string& guid, std::string& error) {
  uint8_t b[16];
  kxmp::UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    error = std::string("cannot open /dev/urandom: ") + std::strerror(errno);
    return false;
  }
  size_t have = 0;
  while (have < sizeof b) {
    const ssize_t n = ::read(fd.get(), b + have, sizeof b - have);
    if (n > 0) {
      have += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error = std::string("cannot read /dev/urandom: ") + (n == 0 ? "end of file" : std::strerror(errno));
      return false;
    }
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  guid = text;
  return true;
}

}  // namespace kxmp::cli
