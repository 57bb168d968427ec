#pragma once
// printf-style formatting into std::string, of any length.

#include <cstdarg>
#include <string>

#include "kxmp/kxmp_export.h"

struct KXMP_EXPORT FXString {
  static std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  static std::string FormatV(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
};
