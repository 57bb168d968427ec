#pragma once
// Builds and edits the control server's catalog: the schema, mount paths, subclients and the
// attachments of mount paths to subclients. Every write opens the catalog, takes the write
// lock (BEGIN IMMEDIATE), checks its input against the current rows and commits, so readers
// in other processes see either the old or the new state.
//
// Errors are errno-kind CZoErrors: EINVAL bad input; ENOENT no catalog (CreateSchema makes
// one), or no such subclient / mount path / attachment; EEXIST a conflicting row (a second
// primary, a taken position); EBUSY, EIO, ENOMEM as in CatalogDb.h.

#include <cstdint>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

class KXMP_EXPORT CatalogAdmin {
 public:
  // The catalog of the home folder.
  CatalogAdmin();
  explicit CatalogAdmin(std::string catalogPath);

  const std::string& path() const { return path_; }

  // Creates the catalog file and its three tables when missing; an existing catalog is left
  // as it is.
  CZoError CreateSchema();

  // Adds the mount path, or replaces the one with the same id (its attachments stay); id 0
  // adds it under a new id. assignedId (optional) receives the id. host must be a valid
  // (mangled) host name, path must not be empty, library must not hold "|".
  CZoError PutMountPath(const MountPathRecord& mountPath, int64_t* assignedId = nullptr);
  // Removes the mount path and its attachments.
  CZoError RemoveMountPath(int64_t id);

  // Adds the subclient, or replaces the one with the same id (its attachments stay). The id
  // must not be 0. The GUIDs name folders: guid must not be empty, neither may hold "/" or
  // be "." or "..".
  CZoError PutSubclient(const SubclientRecord& subclient);
  // Removes the subclient and its attachments.
  CZoError RemoveSubclient(uint64_t id);

  // Attaches the mount path to the subclient with kind kKindPrimary or kKindAlternate at the
  // given position, or updates kind and position of an existing attachment. A subclient has
  // at most one primary, and one mount path per position.
  CZoError Attach(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position);
  CZoError Detach(uint64_t subclientId, int64_t mountPathId);

  CZoError ListSubclients(std::vector<SubclientRecord>& out) const;
  CZoError ListMountPaths(std::vector<MountPathRecord>& out) const;
  // The subclient's mount paths in the order the archive manager gives them.
  CZoError ListAttachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) const;

  // The input checks of the writes, for tools that want to validate before they write.
  static CZoError ValidateMountPath(const MountPathRecord& mountPath);
  static CZoError ValidateSubclient(const SubclientRecord& subclient);

 private:
  std::string path_;
};

}  // namespace kxmp::catalog
