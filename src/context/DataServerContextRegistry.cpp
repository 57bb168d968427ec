// The registry keys of the mount-point cache, as the context creates and removes them.

#include <map>
#include <new>

#include "kxmp/DataServerContext.h"
#include "kxmp/RegistryNames.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"
#include "outside/util/FXString.h"

bool DataServerContext::createRegistryPaths(KXPlatformInfo& platform, unsigned long subclientId) {
  try {
    std::string key = FXString::Format("~%s", MAMountPointKey);
    std::map<std::string, std::string> values;
    bool createdParent = false;
    if (!platform.getRegValues(key, &values)) {
      if (!platform.createRegKey(key)) {
        KXLOG_ERROR("Failed to create registry %s", key.c_str());
        return false;
      }
      createdParent = true;
    }
    key += FXString::Format("/%lu", subclientId);
    // A freshly created parent cannot have the subclient key yet.
    if (createdParent || !platform.getRegValues(key, &values)) {
      if (!platform.createRegKey(key)) {
        KXLOG_ERROR("Failed to create registry %s", key.c_str());
        return false;
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void DataServerContext::deleteRegistryKeys(unsigned long subclientId) {
  try {
    KXPlatformInfo platform;
    const std::string parent = platform.expandKeyName(FXString::Format("~%s", MAMountPointKey));
    // Without the parent's location the folder below would be "/<id>" at the file system's
    // root: never remove that.
    if (parent.empty()) {
      KXLOG_ERROR("Failed to delete registry [%s]",
                  FXString::Format("~%s/%lu: the key cannot be located (err %d)", MAMountPointKey, subclientId,
                                   platform.getRegError())
                      .c_str());
      return;
    }
    const std::string folder = FXString::Format("%s/%lu", parent.c_str(), subclientId);
    CZoError err = CZoDirectory::Remove(folder, true, false);
    if (err.IsError()) KXLOG_ERROR("Failed to delete registry [%s]", err.AsString().c_str());
  } catch (const std::bad_alloc&) {
    // Nothing removed; the cache is refilled or removed by the next caller.
  }
}
