#pragma once
// Mangled host names.
//
// A mangled host name is four parts joined by "*":  HOST*SECOND*N1*N2
//   HOST    the plain host name (what DemangleHostName yields first)
//   SECOND  a second text (the client's display name; may be empty)
//   N1, N2  two decimal integers
// e.g. "ma1*ma1*2*0". A name without "*" is a plain host name and demangles to itself with
// an empty second text and zeros. A host name never contains "*".

#include <cstdint>
#include <string>

#include "kxmp/kxmp_export.h"

KXMP_EXPORT std::string MangleHostName(const std::string& host, const std::string& second, int64_t n1, int64_t n2);
// Returns false (outputs still filled as far as possible) when the integer parts are malformed.
KXMP_EXPORT bool DemangleHostName(const std::string& mangled, std::string& host, std::string& second,
                                  int64_t& n1, int64_t& n2);
