#pragma once
// FNV-1a, 64 bits: short stable tags for names (lock bytes, cut file names). Not for anything
// an adversary may choose to collide with on purpose beyond a needless refusal.

#include <cstdint>
#include <string_view>

namespace kxmp {

inline uint64_t Fnv1a64(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

}  // namespace kxmp
