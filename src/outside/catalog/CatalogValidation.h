#pragma once
// The one place that says which GUIDs and host names the catalog accepts, used by the admin
// API before it writes and by the identity before it hands a GUID out.

#include <cstdint>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

// The largest subclient or mount path id: the suite's ids are 32-bit signed numbers, and the
// registry cache and the data-path cache file hold them as such. A larger id is refused, never
// cut to another (EINVAL).
constexpr int64_t kMaxId = INT32_MAX;

// True when s holds a control character (below 0x20, or 0x7f; NUL included).
KXMP_EXPORT bool HasControlCharacter(const std::string& s);

// A GUID names a folder on every mount path: it must not climb out of it, nest, or hold
// control characters. 0 usable, ENOENT empty, EINVAL not usable as a folder name.
KXMP_EXPORT int GuidProblem(const std::string& guid);

// The same as an error naming what the GUID belongs to (EINVAL; an empty GUID is EINVAL too).
KXMP_EXPORT CZoError CheckGuid(const char* what, const std::string& guid);

// A storage host's mangled name: not empty, no control characters, a well-formed mangled
// name with a host part. EINVAL otherwise.
KXMP_EXPORT CZoError CheckHostName(const std::string& mangled);

}  // namespace kxmp::catalog
