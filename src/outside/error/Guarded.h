#pragma once
// The one edge where an exception meets the error-returning API: every operation that may
// throw (allocation, a library, a caller's stand-in) turns what it caught into a CZoError here.
//
// Memory running out maps to the caller's own out-of-memory error (built at load, so handing
// it out allocates nothing); anything else maps to an internal error (errno EIO).

#include <cerrno>
#include <exception>
#include <new>
#include <utility>

#include "outside/error/CZoError.h"
#include "outside/error/FXErrorUtil.h"

// Turns the exception being handled into an error; call it only inside a catch handler.
inline CZoError CaughtError(const CZoError& outOfMemory, const FXCodeLocation& where) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return outOfMemory;
    } catch (const std::exception& e) {
      return FXErrorUtil::ErrorErrNo(where, EIO, "Unexpected failure: %s", e.what());
    } catch (...) {
      return FXErrorUtil::ErrorErrNo(where, EIO, "Unexpected failure");
    }
  } catch (...) {
    return outOfMemory;  // building the internal error ran out of memory
  }
}

// Runs body (returning CZoError) and hands back its result, or the error it threw.
template <typename Body>
CZoError Guarded(const CZoError& outOfMemory, const FXCodeLocation& where, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return CaughtError(outOfMemory, where);
  }
}
