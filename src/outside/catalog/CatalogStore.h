#pragma once
// Where the catalog's rows live: one interface, one implementation per database (SQLite in
// sqlite/, PostgreSQL in postgres/). The public API (ArMgrClientAPI, ApplicationId,
// CatalogAdmin, the data server's mount path authority) holds no SQL and calls a store.
//
// Errors are errno-kind CZoErrors whose number is one of CatalogErrc; every store maps its
// database's failures onto these, so callers decide on the number alone.
//
// Reads need read rights only (a read-only database role works for client machines); each
// read sees one committed state. Writes run in Write(): one transaction holding the checks
// and the changes.

#include <errno.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

// The one error taxonomy of the catalog, as errno numbers.
struct CatalogErrc {
  static constexpr int kNotFound = ENOENT;         // no catalog, or no such row
  static constexpr int kAlreadyExists = EEXIST;    // the id is taken
  static constexpr int kConflict = EADDRINUSE;     // a second primary, a taken position
  static constexpr int kUnreachable = EHOSTUNREACH;  // the database server cannot be reached
  static constexpr int kUnreadable = EIO;          // damaged, tables missing, no rights
  static constexpr int kBusy = EBUSY;              // locked longer than the busy timeout
  static constexpr int kInvalid = EINVAL;          // bad input, never stored
  static constexpr int kNoMemory = ENOMEM;
  // A write whose COMMIT was sent but not answered: it may or may not have been kept.
  static constexpr int kOutcomeUnknown = EINPROGRESS;
};

// The layout this code reads and writes (table catalog_schema_version). 1: the three tables
// alone (also a catalog made by hand); 2: their rules as constraints, detached mount paths.
constexpr int kCatalogSchemaVersion = 2;

// The statements of one write transaction. Each store runs them inside the transaction
// Write() opened; the rows they read are locked against concurrent writers as noted.
class KXMP_EXPORT CatalogWriter {
 public:
  virtual ~CatalogWriter();
  // Reads the subclient and holds its row until the end of the transaction, so that the
  // checks of two writers of one subclient never interleave.
  virtual CZoError LockSubclient(uint64_t id, SubclientRecord& out, bool& found) = 0;
  // Reads the mount path and keeps it from being removed until the end of the transaction.
  virtual CZoError FindMountPath(int64_t id, MountPathRecord& out, bool& found) = 0;
  virtual CZoError Attachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) = 0;

  // kAlreadyExists when the id is taken.
  virtual CZoError InsertSubclient(const SubclientRecord& s) = 0;
  virtual CZoError UpdateSubclient(const SubclientRecord& s) = 0;
  // Removes the row and its attachments; existed is false when there was no row.
  virtual CZoError DeleteSubclient(uint64_t id, bool& existed) = 0;
  // m.id 0: stored under the next free id, written back into m.id. kAlreadyExists when taken.
  virtual CZoError InsertMountPath(MountPathRecord& m) = 0;
  virtual CZoError UpdateMountPath(const MountPathRecord& m) = 0;
  virtual CZoError DeleteMountPath(int64_t id, bool& existed) = 0;
  // Adds the attachment or changes kind and position of an existing one.
  virtual CZoError PutAttachment(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position) = 0;
  virtual CZoError DeleteAttachment(uint64_t subclientId, int64_t mountPathId, bool& existed) = 0;
  // Whether the catalog holds no subclient and no mount path.
  virtual CZoError IsEmpty(bool& empty) = 0;
  // Remembers, or forgets, a mount path detached from the subclient (kept for reading).
  virtual CZoError PutDetached(uint64_t subclientId, int64_t mountPathId) = 0;
  virtual CZoError DeleteDetached(uint64_t subclientId, int64_t mountPathId) = 0;
};

class KXMP_EXPORT CatalogStore {
 public:
  virtual ~CatalogStore();

  // The catalog's place for messages: a file, or the connection without secrets.
  virtual std::string Name() const = 0;

  // Creates the catalog when it has no tables, upgrades an older layout in one transaction
  // and writes nothing when it is current (so a read-only role may call it on a catalog
  // that is set up). A newer version, or tables without the expected columns, are refused
  // (kInvalid). created tells whether the catalog was new; upgradedFrom the version an
  // upgrade started from (0: none).
  virtual CZoError CreateSchema(bool& created, int& upgradedFrom) = 0;
  // 0: no tables; 1: the three tables without a version; else the stored version.
  virtual CZoError SchemaVersion(int& version) = 0;

  // found is false (and success returned) when no such subclient exists.
  virtual CZoError FindSubclient(uint64_t id, SubclientRecord& out, bool& found) = 0;
  // The mount paths of a subclient in position order (ties by mount path id); attachments
  // whose mount path row is missing are left out.
  virtual CZoError AttachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) = 0;
  // The mount paths detached from the subclient whose rows still exist (kind kKindDetached),
  // for reading what is stored there; none on a catalog of version 1.
  virtual CZoError DetachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) = 0;
  // The paths of table mount_path for the storage host (mangled name).
  virtual CZoError MountPathsOfHost(const std::string& host, std::vector<std::string>& paths) = 0;
  virtual CZoError AllSubclients(std::vector<SubclientRecord>& out) = 0;
  virtual CZoError AllMountPaths(std::vector<MountPathRecord>& out) = 0;

  // Runs body in one write transaction and commits when it succeeds; nothing is kept
  // otherwise. The body may run more than once (a database may ask to retry a transaction
  // that lost a race), so it must set its outputs anew on every run.
  using WriteBody = std::function<CZoError(CatalogWriter&)>;
  virtual CZoError Write(const WriteBody& body) = 0;
};

}  // namespace kxmp::catalog
