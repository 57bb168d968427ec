#pragma once
// The seam behind the factories of CFSInterface and CFileInterface: one process-wide
// backend makes the objects. The default is a BackendRouter that sends each storage host to
// its backend (LocalBackend with the catalog as mount-path authority unless the host is
// configured for a remote transport); tests install another one for a scope with
// ScopedBackend.

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

// The installed backend (the default one when none is installed).
KXMP_EXPORT std::shared_ptr<Backend> CurrentBackend();

// Installs a backend for the life of the object and restores the previous one after.
// Scopes nest; destroy them in reverse order of creation.
class KXMP_EXPORT ScopedBackend {
 public:
  explicit ScopedBackend(std::shared_ptr<Backend> backend);
  // Non-owning: the backend must outlive the scope.
  explicit ScopedBackend(Backend& backend);
  ~ScopedBackend();
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  std::shared_ptr<Backend> previous_;
};

}  // namespace kxmp::dataserver
