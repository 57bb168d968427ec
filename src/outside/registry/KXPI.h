#pragma once
// Platform-kind objects: what kind of platform this is, and the client's directories.
// Settings come from the registry key "Runtime" of $KX_HOME (see PlatformState.h for names
// and defaults). No call throws.

#include <string>

#include "kxmp/kxmp_export.h"

class KXMP_EXPORT KXPI_Base {
 public:
  KXPI_Base();
  // The platform bit set: Runtime/nPlatformType as a decimal number; 0 when missing or not a
  // number. Bit 0 set means the control server counts as online.
  unsigned int getPlatformType() const;

 protected:
  std::string registryRoot_;
};

class KXMP_EXPORT KXPI_CommClient : public KXPI_Base {
 public:
  KXPI_CommClient();
  // The job results directory for the machine: Runtime/sJobResultsDirectory, else
  // $KX_HOME/jobresults. This platform keeps one directory, whichever (non-empty) machine is
  // asked. The text is interned: the pointer stays valid for the life of the process. Null
  // for an empty machine name or an invalid platform.
  const char* getJobResultsDirectory(const std::string& machine) const;
  // True when the platform could not be set up: the home folder is not an absolute path.
  bool invalidKXPlatform() const;

 private:
  bool invalid_ = true;
};
