#pragma once
// Random GUIDs for new subclients.

#include <string>

namespace kxmp::cli {

// A random (version 4) UUID in its lower-case text form, from /dev/urandom; false (and the
// reason in error) when the random source cannot be read.
bool RandomGuid(std::string& guid, std::string& error);

}  // namespace kxmp::cli
