#include "driver/DriverLocation.h"
#include "driver/FacadeErrors.h"

#include "outside/error/FXErrorUtil.h"

namespace kxmp::driver {

namespace {
const CZoError kOutOfMemoryAtLoad =
    FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrOutOfMemory, "Not enough memory for the file operation");
}  // namespace

const CZoError& FacadeOutOfMemory() noexcept { return kOutOfMemoryAtLoad; }

}  // namespace kxmp::driver
