#pragma once
// The service library as the host loads it: dlopen, the entry point, the service object.
//
// The host is linked with the same library (for the logger it installs and the session
// server), and it must dlopen that very file: the dynamic loader then hands back the copy
// already mapped, so the service logs through the host's logger and shares its process-wide
// state. Load() checks this by comparing the handle with the one of the linked copy (found by
// its SONAME) and refuses another copy.

#include <string>

#include "kxmp/IOnDemandSvcInterface.h"
#include "outside/error/CZoError.h"

namespace kxmp::host {

class ServiceLibrary {
 public:
  ServiceLibrary() = default;
  ~ServiceLibrary();
  ServiceLibrary(const ServiceLibrary&) = delete;
  ServiceLibrary& operator=(const ServiceLibrary&) = delete;

  // The library beside the host's executable (/proc/self/exe): the installed layout
  // (bin/ -> lib/) first, then the build tree (tools/host/ -> the build root). When neither
  // file exists, the installed location (so an error names it).
  static std::string DefaultPath();

  // Loads the library at path and gets the service from GetOnDemandSvcLibInstance.
  // Errors (errno kind): ENOENT the file cannot be loaded, EXDEV it is another copy than the
  // linked one, ENOSYS no entry point, EFAULT the entry point gave no service.
  CZoError Load(const std::string& path);

  IOnDemandSvcInterface* Service() const { return service_; }

 private:
  void* handle_ = nullptr;
  IOnDemandSvcInterface* service_ = nullptr;
};

}  // namespace kxmp::host
