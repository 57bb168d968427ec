#include "driver/DriverLocation.h"
#include "driver/FacadeErrors.h"

#include <cerrno>
#include <exception>
#include <new>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::driver {

namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kOutOfMemoryAtLoad =
    FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrOutOfMemory, "Not enough memory for the file operation");
}  // namespace

CZoError CaughtException(const FXCodeLocation& where) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return FXErrorUtil::ErrorWin32(where, kErrOutOfMemory, "Not enough memory for the file operation");
    } catch (const std::exception& e) {
      return FXErrorUtil::ErrorErrNo(where, EIO, "Unexpected failure: %s", e.what());
    } catch (...) {
      return FXErrorUtil::ErrorErrNo(where, EIO, "Unexpected failure");
    }
  } catch (...) {
    return kOutOfMemoryAtLoad;
  }
}

}  // namespace kxmp::driver
