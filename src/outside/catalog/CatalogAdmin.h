#pragma once
// Builds and edits the control server's catalog: the schema, mount paths, subclients and the
// attachments of mount paths to subclients, on whichever catalog the machine uses
// (CatalogLocator.h). Every change is one transaction of the catalog store holding its
// checks and its writes (SQLite: BEGIN IMMEDIATE; PostgreSQL: the subclient's row locked),
// so readers on every machine see either the old or the new state, and two administrators
// changing one subclient at once never both pass a check that only one may pass.
//
// Errors use the catalog's taxonomy (CatalogStore.h): EINVAL bad input; ENOENT no catalog
// (CreateSchema makes one) or no such subclient / mount path / attachment; EEXIST the id is
// taken (adding without replace); EADDRINUSE a conflicting row (a second primary, a taken
// position); EHOSTUNREACH the database server cannot be reached; EBUSY, EIO, ENOMEM.

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/CatalogLocator.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

class KXMP_EXPORT CatalogAdmin {
 public:
  // Attach: after the subclient's last mount path, or where the attachment is already.
  static constexpr int64_t kNextPosition = std::numeric_limits<int64_t>::min();

  // The catalog the home's registry names (its own SQLite file by default).
  CatalogAdmin();
  // The SQLite file catalogPath.
  explicit CatalogAdmin(std::string catalogPath);
  explicit CatalogAdmin(CatalogLocation where);
  ~CatalogAdmin();
  CatalogAdmin(CatalogAdmin&&) noexcept;

  const CatalogLocation& location() const { return where_; }
  // The SQLite file, or the connection string.
  const std::string& path() const { return where_.target; }
  // The catalog's place for messages (never a password).
  std::string name() const;

  // Creates the catalog and its tables when missing, upgrades an older layout in one
  // transaction, leaves a current one as it is (reading only) and refuses a newer one.
  // created (optional) tells whether the catalog was new, upgradedFrom (optional) the version
  // an upgrade started from (0 none).
  CZoError CreateSchema(bool* created = nullptr, int* upgradedFrom = nullptr);
  // 0 no tables, 1 the tables without a version, else the stored version. Writes need
  // kCatalogSchemaVersion and say "run kxmp setup" otherwise.
  CZoError SchemaVersion(int& version) const;

  // Adds the mount path; id 0 adds it under a new id. An existing id is replaced (its
  // attachments stay) when replace is true, else refused (EEXIST). assignedId and replaced
  // (optional) receive the id and whether a row was replaced. host must be a valid (mangled)
  // host name, path must not be empty, library must not hold "|".
  CZoError PutMountPath(const MountPathRecord& mountPath, int64_t* assignedId = nullptr, bool replace = true,
                        bool* replaced = nullptr);
  // Removes the mount path and its attachments.
  CZoError RemoveMountPath(int64_t id);

  // Adds or replaces the subclient with exactly the given GUIDs (its attachments stay).
  CZoError PutSubclient(const SubclientRecord& subclient);

  // Adds or changes a subclient, deciding from the row as it stands in the same transaction.
  struct SubclientChange {
    SubclientRecord subclient;  // an empty GUID: the existing row's, else the default below
    bool replace = false;       // false: an existing id is refused (EEXIST)
    std::string defaultGuid;
    std::string defaultBackupsetGuid;
  };
  // stored (optional) receives the row as written, replaced whether one was replaced.
  CZoError PutSubclient(const SubclientChange& change, SubclientRecord* stored, bool* replaced);
  // Removes the subclient and its attachments.
  CZoError RemoveSubclient(uint64_t id);

  // Attaches the mount path to the subclient with kind kKindPrimary or kKindAlternate at the
  // given position (kNextPosition: where it is, or after the last one), or updates kind and
  // position of an existing attachment. A subclient has at most one primary, and one mount
  // path per position. placed (optional) receives the position used. Without allowNoPrimary,
  // turning the primary into an alternate is refused (EADDRINUSE).
  CZoError Attach(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position,
                  int64_t* placed = nullptr, bool allowNoPrimary = true);
  // Ends the attachment and keeps the mount path listed for reading (ListDetached, and the
  // archive manager's answer for reads) until it is removed or attached again. Without
  // allowNoPrimary, detaching the primary is refused (EADDRINUSE).
  CZoError Detach(uint64_t subclientId, int64_t mountPathId, bool allowNoPrimary = true);
  CZoError ListDetached(uint64_t subclientId, std::vector<AttachedMountPath>& out) const;

  // A whole catalog's rows: what export reads and import writes. Attachments of every
  // subclient, detached mount paths with kind kKindDetached.
  struct Content {
    std::vector<MountPathRecord> mountPaths;
    std::vector<SubclientRecord> subclients;
    std::vector<AttachedMountPath> attachments;
  };
  CZoError Export(Content& out) const;
  // Writes content into an empty catalog in one transaction, or nothing. A value the target
  // cannot hold (a mount path id outside 1..2^31-1, an invalid host or GUID, a NUL, an
  // attachment of a row the content lacks) is refused naming it (EINVAL); a catalog that is
  // not empty is EEXIST.
  CZoError Import(const Content& content);

  CZoError ListSubclients(std::vector<SubclientRecord>& out) const;
  CZoError ListMountPaths(std::vector<MountPathRecord>& out) const;
  // The subclient's mount paths in the order the archive manager gives them.
  CZoError ListAttachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) const;

  // The input checks of the writes, for tools that want to validate before they write.
  static CZoError ValidateMountPath(const MountPathRecord& mountPath);
  static CZoError ValidateSubclient(const SubclientRecord& subclient);

 private:
  // The store, or why there is none (an unreadable registry, out of memory).
  CZoError Store(CatalogStore*& out) const;
  // Runs body in one write transaction of the store.
  CZoError Write(const CatalogStore::WriteBody& body) const;

  CatalogLocation where_;
  CZoError locateError_;
  std::unique_ptr<CatalogStore> store_;
};

}  // namespace kxmp::catalog
