#pragma once
// Builders and readers of CZoError codes.
//
// Folding of kind and number into the negative 32-bit code:
//   code = -(kind_bits | number), number in 0 .. 0x0FFFFFFF
//   kind_bits = 0x10000000 for Win32-style numbers, 0x20000000 for errno numbers.
// So ErrorWin32(…, 2) has code -0x10000002 and ErrorErrNo(…, 2) has code -0x20000002: the kinds
// never collide and the number is recovered with Number(). A code that carries neither kind
// bit (only made by hand) reads as kind Other with the number -code.

#include <cstdarg>
#include <cstdint>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

struct KXMP_EXPORT FXErrorUtil {
  enum class Kind { None, Win32, ErrNo, Other };

  static constexpr int32_t kWin32Bits = 0x10000000;
  static constexpr int32_t kErrNoBits = 0x20000000;
  static constexpr int32_t kNumberMask = 0x0FFFFFFF;

  static CZoError ErrorWin32(const FXCodeLocation& where, int number, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  static CZoError ErrorErrNo(const FXCodeLocation& where, int number, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  static CZoError ErrorWin32V(const FXCodeLocation& where, int number, const char* fmt, va_list ap)
      __attribute__((format(printf, 3, 0)));
  static CZoError ErrorErrNoV(const FXCodeLocation& where, int number, const char* fmt, va_list ap)
      __attribute__((format(printf, 3, 0)));

  static constexpr int32_t Win32Code(int number) { return -(kWin32Bits | (number & kNumberMask)); }
  static constexpr int32_t ErrNoCode(int number) { return -(kErrNoBits | (number & kNumberMask)); }

  static Kind GetKind(const CZoError& err) { return KindOf(err.GetErrorCode()); }
  static int Number(const CZoError& err) { return NumberOf(err.GetErrorCode()); }
  static Kind KindOf(int32_t code);
  static int NumberOf(int32_t code);

  static bool IsErrNo(const CZoError& err, int number) {
    return GetKind(err) == Kind::ErrNo && Number(err) == number;
  }
  static bool IsWin32(const CZoError& err, int number) {
    return GetKind(err) == Kind::Win32 && Number(err) == number;
  }
};
