#pragma once
// How many files of a subclient's log backups a mount path holds (below the subclient's root
// folder there), for the warnings of changes that take the mount path away from it.

#include <cstdint>
#include <string>

#include "outside/catalog/CatalogRecords.h"

namespace kxmp::cli {

// The number of files, or -1 with why set when it cannot be told (the storage host does not
// answer, the subclient's GUIDs are unknown).
int64_t CountStoredFiles(uint64_t subclientId, const catalog::MountPathRecord& mountPath, std::string& why);

}  // namespace kxmp::cli
