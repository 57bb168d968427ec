#pragma once
// Path joining of the utility library.
//
// Append(base, part) joins with exactly one "/" between the two: trailing separators of
// base and leading separators of part are folded into one. An empty part leaves base
// unchanged; an empty base becomes part unchanged (no separator is invented). Only "/" is a
// separator: "\\w.log" is a name that begins with a backslash.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

struct KXMP_EXPORT FXPath {
  static CZoError Append(std::string& base, const std::string& part, int flags = 0);
  static std::string Join(const std::string& base, const std::string& part);
};
