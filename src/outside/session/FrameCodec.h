#pragma once
// The frame header of the session socket: a 4-byte big-endian length before each document.

#include <cstdint>
#include <string>

namespace kxmp::session {

constexpr size_t kFrameHeaderBytes = 4;

inline std::string EncodeFrame(const std::string& doc) {
  const uint32_t n = static_cast<uint32_t>(doc.size());
  std::string frame;
  frame.reserve(doc.size() + kFrameHeaderBytes);
  frame.push_back(static_cast<char>((n >> 24) & 0xFF));
  frame.push_back(static_cast<char>((n >> 16) & 0xFF));
  frame.push_back(static_cast<char>((n >> 8) & 0xFF));
  frame.push_back(static_cast<char>(n & 0xFF));
  frame += doc;
  return frame;
}

inline uint32_t DecodeLength(const unsigned char* h) {
  return (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | uint32_t(h[3]);
}

}  // namespace kxmp::session
