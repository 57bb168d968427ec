#pragma once
// What makes the objects behind the factories of CFSInterface and CFileInterface: one
// process-wide backend (BackendRouter.h), a BackendRouter that sends each storage host to its
// backend (LocalBackend with the catalog as mount-path authority unless the host is
// configured for a remote transport).

#include <memory>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/CFileInterface.h"

namespace kxmp::dataserver {

class KXMP_EXPORT Backend {
 public:
  virtual ~Backend();
  // New objects the caller owns, or null when none could be made. Objects must not depend
  // on the backend object staying alive.
  virtual CFSInterface* NewFSInterface(const CFSInitParams& params) = 0;
  virtual CFileInterface* NewFileInterface(const CFSInitParams& params) = 0;
};

}  // namespace kxmp::dataserver
