#pragma once
// The frame header of the session socket: a 4-byte big-endian length before each document.

#include <cstdint>
#include <string>

#include "outside/util/Endian.h"

namespace kxmp::session {

constexpr size_t kFrameHeaderBytes = 4;

inline std::string EncodeFrame(const std::string& doc) {
  const uint32_t n = static_cast<uint32_t>(doc.size());
  std::string frame;
  frame.reserve(doc.size() + kFrameHeaderBytes);
  AppendBigEndian32(frame, n);
  frame += doc;
  return frame;
}

inline uint32_t DecodeLength(const unsigned char* h) {
  return BigEndian32(h);
}

}  // namespace kxmp::session
