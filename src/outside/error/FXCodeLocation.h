#pragma once
// Where an error was detected or passed up: source file base name, the function's full
// signature and the line. Built by FX_LOC so that every location looks the same.

#include "kxmp/kxmp_export.h"

struct KXMP_EXPORT FXCodeLocation {
  const char* file;
  const char* function;
  int line;

  constexpr FXCodeLocation(const char* f, const char* fn, int l) : file(f), function(fn), line(l) {}
};

namespace kxmp::detail {
// Base name of a path known at compile time ("a/b/c.cpp" -> "c.cpp").
constexpr const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}
}  // namespace kxmp::detail

#define FX_LOC FXCodeLocation(::kxmp::detail::BaseName(__FILE__), __PRETTY_FUNCTION__, __LINE__)

// A location whose source file is named by the caller: a module split over several source
// files still reports one file name in its errors.
#define FX_LOC_AS(file) FXCodeLocation(file, __PRETTY_FUNCTION__, __LINE__)
