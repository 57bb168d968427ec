#pragma once
// Byte order helpers of the utility library.

#include <cstdint>
#include <string>

// The value with its bytes in little-endian order (identity on little-endian machines).
inline uint64_t ulittleEndianLongLong(uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return v;
#else
  return __builtin_bswap64(v);
#endif
}

// The 32-bit big-endian number at p: how SSH, SFTP and the session socket carry lengths.
inline uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void AppendBigEndian32(std::string& out, uint32_t v) {
  const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  out.append(b, 4);
}
