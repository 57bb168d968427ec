#pragma once
// Error numbers and the exception edge shared by the driver's file-operation facade and its
// listing and walking members.

#include "outside/error/CZoError.h"
#include "outside/error/Guarded.h"
#include "outside/log/Log.h"

namespace kxmp::driver {

// Win32-style numbers the facade reports itself; every other error is the component's own.
constexpr int kErrNoInterface = 4306;  // a data-server interface object could not be made
constexpr int kErrAllocation = 14;     // the walk record could not be allocated
constexpr int kErrOutOfMemory = 8;     // memory ran out inside the facade
constexpr int kErrMissingInput = 774;  // no context, handle or output where one is needed

// The facade's out-of-memory error, built at load; handed to CaughtError/Guarded.
const CZoError& FacadeOutOfMemory() noexcept;

}  // namespace kxmp::driver

// Logs a component's failure under the calling operation's name and hands the error back
// unchanged (no frame added: the caller sees exactly what the component said).
#define KX_RETURN_FAILED(err)                        \
  do {                                               \
    KXLOG_ERROR("err: %s", (err).AsString().c_str()); \
    return (err);                                    \
  } while (0)
