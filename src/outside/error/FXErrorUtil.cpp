#include "outside/error/FXErrorUtil.h"

#include "outside/util/FXString.h"

CZoError FXErrorUtil::ErrorWin32V(const FXCodeLocation& where, int number, const char* fmt, va_list ap) {
  return CZoError(Win32Code(number), where, FXString::FormatV(fmt, ap));
}

CZoError FXErrorUtil::ErrorErrNoV(const FXCodeLocation& where, int number, const char* fmt, va_list ap) {
  return CZoError(ErrNoCode(number), where, FXString::FormatV(fmt, ap));
}

CZoError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, int number, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  CZoError e = ErrorWin32V(where, number, fmt, ap);
  va_end(ap);
  return e;
}

CZoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& where, int number, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  CZoError e = ErrorErrNoV(where, number, fmt, ap);
  va_end(ap);
  return e;
}

FXErrorUtil::Kind FXErrorUtil::KindOf(int32_t code) {
  if (code == 0) return Kind::None;
  if (code > 0) return Kind::Other;
  // -code cannot overflow: folded codes are at most 0x3FFFFFFF in magnitude; guard INT32_MIN.
  if (code == INT32_MIN) return Kind::Other;
  int32_t mag = -code;
  if ((mag & ~kNumberMask) == kWin32Bits) return Kind::Win32;
  if ((mag & ~kNumberMask) == kErrNoBits) return Kind::ErrNo;
  return Kind::Other;
}

int FXErrorUtil::NumberOf(int32_t code) {
  if (code == 0) return 0;
  if (code == INT32_MIN) return INT32_MIN;
  Kind k = KindOf(code);
  if (k == Kind::Win32 || k == Kind::ErrNo) return (-code) & kNumberMask;
  return code < 0 ? -code : code;
}
