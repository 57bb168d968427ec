#include "kxmp/UnixMountingPointDriver.h"

UnixMountingPointDriver::~UnixMountingPointDriver() = default;

CZoError UnixMountingPointDriver::Initialize(const std::string&, unsigned long, const std::string&,
                                             const std::string&, int, bool) {
  return CZoError::Success();
}

CZoError UnixMountingPointDriver::Initialize(const std::string&, unsigned long, std::vector<MountPathInfo>&,
                                             bool) {
  return CZoError::Success();
}

CZoError UnixMountingPointDriver::Deinit(const std::string&) { return CZoError::Success(); }

CZoError UnixMountingPointDriver::DeinitAll(const std::string&) { return CZoError::Success(); }
