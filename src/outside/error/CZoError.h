#pragma once
// The result of nearly every operation: a signed 32-bit code (0 success, negative error) and
// shared, immutable details (the frames pushed on the way up, innermost first).
//
// Copies share the details; Push() copies them before adding a frame, so pushing onto a
// copy never changes the original (copy-on-write).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/FXCodeLocation.h"

class KXMP_EXPORT CZoError {
 public:
  struct Frame {
    std::string file;
    std::string function;
    int line = 0;
    std::string message;
  };

  CZoError() = default;
  // An error with its first frame. Prefer the FXErrorUtil builders, which fold the kind.
  CZoError(int32_t code, const FXCodeLocation& where, std::string message);

  static CZoError Success() { return CZoError(); }

  bool IsError() const { return code_ < 0; }
  bool IsSuccess() const { return code_ >= 0; }
  int32_t GetErrorCode() const { return code_; }

  // All frames, innermost first, on one line.
  std::string AsString() const;
  // The innermost message (the text given where the error was detected).
  std::string Message() const;
  const std::vector<Frame>& Frames() const;

  CZoError& Push(const FXCodeLocation& where);
  CZoError& Push(const FXCodeLocation& where, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));

 private:
  void AddFrame(const FXCodeLocation& where, std::string message);

  int32_t code_ = 0;
  std::shared_ptr<const std::vector<Frame>> details_;
};
