#pragma once
// Helpers shared by the log backup sources.

#include <string>

#include "outside/error/CZoError.h"
#include "outside/error/Guarded.h"

namespace kxmp::logbackup {

// Returned when memory runs out (through CaughtError/Guarded); built at load, so returning it
// allocates nothing.
const CZoError& OutOfMemoryError();

// True when one of the "/"-separated components of path is "..".
bool HasParentComponent(const std::string& path);

// The suffix of a file being written; a final name never ends in it.
inline constexpr char kTemporarySuffix[] = ".tmp";
// True when name ends in kTemporarySuffix.
bool IsTemporaryName(const std::string& name);

}  // namespace kxmp::logbackup
