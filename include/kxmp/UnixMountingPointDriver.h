#pragma once
// The driver of this platform: stateless, so it may be used from any number of threads. Its
// four mount operations do nothing and succeed (data is reached through data-server
// contexts, not mounts).

#include "kxmp/AbstractMountingPointDriver.h"

class KXMP_EXPORT UnixMountingPointDriver : public AbstractMountingPointDriver {
 public:
  UnixMountingPointDriver() = default;
  ~UnixMountingPointDriver() override;

  CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                      const std::string& serverMangledName, const std::string& pathToMount, int mountPathId,
                      bool flag) override;
  CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                      std::vector<MountPathInfo>& mountPaths, bool flag) override;
  CZoError Deinit(const std::string& mountingPoint) override;
  CZoError DeinitAll(const std::string& parentFolder) override;
};
