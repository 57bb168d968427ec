#pragma once
// Byte order helpers of the utility library.

#include <cstdint>

// The value with its bytes in little-endian order (identity on little-endian machines).
inline uint64_t ulittleEndianLongLong(uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return v;
#else
  return __builtin_bswap64(v);
#endif
}
