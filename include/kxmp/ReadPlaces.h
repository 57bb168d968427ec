#pragma once
// Every mount path of a subclient that a restore reads, each said apart: reached and holding
// the subclient's root folder, reached without it (nothing stored there), or not reached. A
// restore's context list leaves the last two out alike; a check of what is stored must name
// the mount paths it could not read (kxmp verify, kxmp expire).

#include <string>
#include <vector>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/MountPathInfo.h"
#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::service {

struct KXMP_EXPORT ReadPlace {
  MountPathInfo entry;           // storage host, mount path, id
  DataServerContextPtr context;  // set when reached; its root folder is set, made or not
  bool holdsRoot = false;        // the root folder exists there
  std::string why;               // when not reached
};

// The mount paths of the catalog's answer for reading (detached ones included), or of the
// subclient's cache when the catalog cannot be asked, in that order; nothing is created on
// any of them. An error when neither can be had; an empty list when the catalog lists none.
KXMP_EXPORT CZoError ListReadPlaces(unsigned long subclientId, const std::string& rootFolder,
                                    std::vector<ReadPlace>& places);

}  // namespace kxmp::service
