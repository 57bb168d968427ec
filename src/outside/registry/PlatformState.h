#pragma once
// What the platform objects share: the names of the platform settings and the per-thread
// error numbers behind KXPlatformInfo::getRegError and getLastError.
//
// Platform settings are values of the registry key "Runtime" ($KX_HOME/registry/Runtime):
//   sPhysicalMachine      this client's machine name         default: gethostname()
//   sCSHostNameMangled    the control server's mangled name  default: none (the call fails)
//   sJobResultsDirectory  the job results directory          default: $KX_HOME/jobresults
//   nPlatformType         platform bit set (decimal)         default: 0
//   nCSONLINE             control server online (read by the system through getString)
//
// Error numbers are positive errno values, kept per thread until the next failure of the
// same kind on that thread (a successful call does not clear them); 0 means none yet.

#include <cstdint>
#include <string>

#include "outside/error/CZoError.h"

namespace kxmp::registry {

constexpr char kRuntimeSection[] = "Runtime";
constexpr char kPhysicalMachineVal[] = "sPhysicalMachine";
constexpr char kCSHostNameMangledVal[] = "sCSHostNameMangled";
constexpr char kJobResultsDirectoryVal[] = "sJobResultsDirectory";
constexpr char kPlatformTypeVal[] = "nPlatformType";

// Records a failed registry call (the errno number of err, EIO when it has none).
void SetRegError(const CZoError& err);
void SetRegError(int32_t number);
int32_t RegError();

void SetLastError(int64_t number);
int64_t LastError();

// Reads one platform setting from the registry at registryRoot. Returns 0 when it is set
// (non-empty), ENOENT when it is missing or empty, another errno number (traced) when it
// cannot be read.
int ReadSetting(const std::string& registryRoot, const char* name, std::string& text);

}  // namespace kxmp::registry
