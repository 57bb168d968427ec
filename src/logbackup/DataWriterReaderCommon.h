#pragma once
// Helpers shared by the log backup sources.

#include <string>

#include "outside/error/CZoError.h"

namespace kxmp::logbackup {

// Returned when memory runs out; built at load, so returning it allocates nothing.
const CZoError& OutOfMemoryError();

// True when one of the "/"-separated components of path is "..".
bool HasParentComponent(const std::string& path);

}  // namespace kxmp::logbackup
