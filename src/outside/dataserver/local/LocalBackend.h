#pragma once
// The default backend: serves paths of this machine's file system (a mount path may be a
// local disk or a network file system mounted here), confined to the served tree below a
// mount path the authority lists (see ServedTree). Objects made for a data-server context
// share that context's answer of the authority and its open folders.

#include <memory>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/Backend.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/dataserver/local/ServedTree.h"

namespace kxmp::dataserver {

class KXMP_EXPORT LocalBackend : public Backend {
 public:
  // A null authority reads the catalog ($KX_HOME/catalog.db).
  explicit LocalBackend(std::shared_ptr<MountPathAuthority> authority = nullptr,
                        ResolveMode mode = ResolveMode::Auto);
  // Everything: flock, RENAME_NOREPLACE (else a hard link), fsync of folders, statvfs.
  BackendCapabilities Capabilities(const CFSInitParams&) override { return {true, true, true, true}; }
  CFSInterface* NewFSInterface(const CFSInitParams& params) override;
  CFileInterface* NewFileInterface(const CFSInitParams& params) override;

 private:
  std::shared_ptr<MountPathAuthority> authority_;
  ResolveMode mode_;
  const std::shared_ptr<const void> token_;  // this backend's key in context states
};

}  // namespace kxmp::dataserver
