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

// What a backend's objects guarantee beyond the common contract of CFSInterface and
// CFileInterface, declared so that callers need not probe for ENOSYS.
struct BackendCapabilities {
  bool fileLocks = false;      // Lock and Unlock hold whole-file locks other handles see (else ENOSYS)
  bool noReplaceMove = false;  // Move flag 1 refuses an existing target in the same step as the rename
  bool folderSync = false;     // a name made, moved or removed is durable when the call returns
  bool volumeSize = false;     // GetVolumeSize answers for the served tree
};

class KXMP_EXPORT Backend {
 public:
  virtual ~Backend();
  // What the objects made for the parameters' storage host can do.
  virtual BackendCapabilities Capabilities(const CFSInitParams& params) = 0;
  // New objects the caller owns, or null when none could be made. Objects must not depend
  // on the backend object staying alive.
  virtual CFSInterface* NewFSInterface(const CFSInitParams& params) = 0;
  virtual CFileInterface* NewFileInterface(const CFSInitParams& params) = 0;
};

}  // namespace kxmp::dataserver
