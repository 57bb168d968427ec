#pragma once
// The mount-point driver owned by the service. The virtual operations bring mount points up
// and down; the class also carries the static mount-path, context and file operations.

#include <string>
#include <vector>

#include "kxmp/MountPathInfo.h"
#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

class KXMP_EXPORT AbstractMountingPointDriver {
 public:
  AbstractMountingPointDriver() = default;
  AbstractMountingPointDriver(const AbstractMountingPointDriver&) = delete;
  AbstractMountingPointDriver& operator=(const AbstractMountingPointDriver&) = delete;

  // Brings up one mount point on one given mount path.
  virtual CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                              const std::string& serverMangledName, const std::string& pathToMount,
                              int mountPathId, bool flag) = 0;
  // Brings up one mount point over a list of mount paths.
  virtual CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                              std::vector<MountPathInfo>& mountPaths, bool flag) = 0;
  // Takes down one mount point.
  virtual CZoError Deinit(const std::string& mountingPoint) = 0;
  // Takes down every mount point under a parent folder.
  virtual CZoError DeinitAll(const std::string& parentFolder) = 0;

  virtual ~AbstractMountingPointDriver();
};
