#include "outside/util/ControlBytes.h"

namespace kxmp {

std::string EscapeControlBytes(const std::string& text, bool keepLineBreaks) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c < 0x20 && !(keepLineBreaks && c == '\n')) || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace kxmp
