#include "outside/catalog/sqlite/SqliteCatalogStore.h"

#include <sys/stat.h>

#include "outside/catalog/sqlite/CatalogDb.h"
#include "outside/catalog/sqlite/CatalogQueries.h"
#include "outside/error/FXErrorUtil.h"
#include "kxmp/generated/sqlite_schema.inc"
#include "kxmp/generated/sqlite_upgrade.inc"

namespace kxmp::catalog {

namespace {

// Runs body(db) on the catalog opened read-only.
template <typename Body>
CZoError ReadCatalog(const std::string& path, Body body) {
  CatalogDb db;
  CZoError err = db.Open(path, CatalogDb::Mode::ReadOnly);
  if (!err.IsError()) err = body(db);
  return err;
}

// Runs one prepared statement with int64 parameters; changes receives the rows changed.
CZoError Change(CatalogDb& db, const char* sql, std::initializer_list<int64_t> values, int* changes = nullptr) {
  CatalogStmt stmt;
  CZoError err = db.Prepare(sql, stmt);
  int index = 1;
  for (int64_t v : values) {
    if (!err.IsError()) err = stmt.BindInt64(index++, v);
  }
  if (!err.IsError()) err = stmt.Run();
  if (changes != nullptr) *changes = db.Changes();
  return err;
}

// The statements of one BEGIN IMMEDIATE transaction on an open connection.
class SqliteWriter : public CatalogWriter {
 public:
  explicit SqliteWriter(CatalogDb& db) : db_(db) {}

  // The write lock of BEGIN IMMEDIATE already keeps every other writer out.
  CZoError LockSubclient(uint64_t id, SubclientRecord& out, bool& found) override {
    return QuerySubclient(db_, id, out, found);
  }
  CZoError FindMountPath(int64_t id, MountPathRecord& out, bool& found) override {
    return QueryMountPath(db_, id, out, found);
  }
  CZoError Attachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) override {
    return QueryAttachedMountPaths(db_, subclientId, out);
  }

  CZoError InsertSubclient(const SubclientRecord& s) override {
    return PutSubclient("INSERT INTO subclient (id, guid, backupset_guid) VALUES (?, ?, ?)", s);
  }
  CZoError UpdateSubclient(const SubclientRecord& s) override {
    return PutSubclient("UPDATE subclient SET guid = ?2, backupset_guid = ?3 WHERE id = ?1", s);
  }
  CZoError DeleteSubclient(uint64_t id, bool& existed) override {
    return DeleteWithAttachments("DELETE FROM subclient WHERE id = ?",
                                 "DELETE FROM subclient_mount_path WHERE subclient_id = ?",
                                 static_cast<int64_t>(id), existed);
  }

  CZoError InsertMountPath(MountPathRecord& m) override {
    // A new id is the highest plus one, given here rather than by SQLite (the write lock is
    // held), so that the id range rule sees the id itself.
    CZoError err = PutMountPath(m.id != 0 ? "INSERT INTO mount_path (id, host, path, library) VALUES (?, ?, ?, ?)"
                                          : "INSERT INTO mount_path (id, host, path, library)"
                                            " SELECT COALESCE(MAX(id), 0) + 1, ?2, ?3, ?4 FROM mount_path",
                                m);
    if (!err.IsError() && m.id == 0) m.id = db_.LastInsertId();
    return err;
  }
  CZoError UpdateMountPath(const MountPathRecord& m) override {
    return PutMountPath("UPDATE mount_path SET host = ?2, path = ?3, library = ?4 WHERE id = ?1", m);
  }
  CZoError DeleteMountPath(int64_t id, bool& existed) override {
    return DeleteWithAttachments("DELETE FROM mount_path WHERE id = ?",
                                 "DELETE FROM subclient_mount_path WHERE mount_path_id = ?", id, existed);
  }

  CZoError PutAttachment(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position) override {
    return Change(db_,
                  "INSERT OR REPLACE INTO subclient_mount_path (subclient_id, mount_path_id, kind, position)"
                  " VALUES (?, ?, ?, ?)",
                  {static_cast<int64_t>(subclientId), mountPathId, kind, position});
  }
  CZoError DeleteAttachment(uint64_t subclientId, int64_t mountPathId, bool& existed) override {
    int changes = 0;
    CZoError err = Change(db_, "DELETE FROM subclient_mount_path WHERE subclient_id = ? AND mount_path_id = ?",
                          {static_cast<int64_t>(subclientId), mountPathId}, &changes);
    existed = changes > 0;
    return err;
  }
  CZoError IsEmpty(bool& empty) override {
    CatalogStmt stmt;
    CZoError err = db_.Prepare("SELECT NOT EXISTS (SELECT 1 FROM subclient) AND NOT EXISTS (SELECT 1 FROM mount_path)", stmt);
    bool row = false;
    if (!err.IsError()) err = stmt.Step(row);
    empty = !err.IsError() && row && stmt.ColumnInt64(0) != 0;
    return err;
  }
  CZoError PutDetached(uint64_t subclientId, int64_t mountPathId) override {
    return Change(db_, "INSERT OR IGNORE INTO detached_mount_path (subclient_id, mount_path_id) VALUES (?, ?)",
                  {static_cast<int64_t>(subclientId), mountPathId});
  }
  CZoError DeleteDetached(uint64_t subclientId, int64_t mountPathId) override {
    return Change(db_, "DELETE FROM detached_mount_path WHERE subclient_id = ? AND mount_path_id = ?",
                  {static_cast<int64_t>(subclientId), mountPathId});
  }

 private:
  CZoError PutSubclient(const char* sql, const SubclientRecord& s) {
    CatalogStmt stmt;
    CZoError e = db_.Prepare(sql, stmt);
    if (!e.IsError()) e = stmt.BindInt64(1, static_cast<int64_t>(s.id));
    if (!e.IsError()) e = stmt.BindText(2, s.guid);
    if (!e.IsError()) e = stmt.BindText(3, s.backupsetGuid);
    if (!e.IsError()) e = stmt.Run();
    return e;
  }
  CZoError PutMountPath(const char* sql, const MountPathRecord& m) {
    CatalogStmt stmt;
    CZoError e = db_.Prepare(sql, stmt);
    if (!e.IsError() && m.id != 0) e = stmt.BindInt64(1, m.id);  // unbound: NULL, a new id
    if (!e.IsError()) e = stmt.BindText(2, m.host);
    if (!e.IsError()) e = stmt.BindText(3, m.path);
    if (!e.IsError()) e = stmt.BindText(4, m.library);
    if (!e.IsError()) e = stmt.Run();
    return e;
  }
  CZoError DeleteWithAttachments(const char* deleteRow, const char* deleteLinks, int64_t id, bool& existed) {
    int changes = 0;
    CZoError err = Change(db_, deleteRow, {id}, &changes);
    existed = changes > 0;
    if (err.IsError() || !existed) return err;
    return Change(db_, deleteLinks, {id});
  }

  CatalogDb& db_;
};

}  // namespace

SqliteCatalogStore::SqliteCatalogStore(std::string path) : path_(std::move(path)) {}

CZoError SqliteCatalogStore::CreateSchema(bool& created, int& upgradedFrom) {
  created = false;
  upgradedFrom = 0;
  struct stat st {};
  const bool existed = ::stat(path_.c_str(), &st) == 0;
  CatalogDb db;
  CZoError err = db.Open(path_, existed ? CatalogDb::Mode::ReadWrite : CatalogDb::Mode::Create);
  if (err.IsError()) return err;
  CatalogTransaction tx(db);
  if ((err = tx.Begin()).IsError()) return err;
  int version = 0;
  if ((err = ReadSchemaVersion(db, version)).IsError()) return err;
  if (version > kCatalogSchemaVersion) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid,
                                   "Catalog [%s] has schema version %d, newer than this kxmp knows (%d): use a newer kxmp",
                                   path_.c_str(), version, kCatalogSchemaVersion);
  }
  if (version == kCatalogSchemaVersion) return tx.Commit();
  if (version == 0) {
    created = true;
    if ((err = db.ExecScript(kSqliteSchema)).IsError()) return err;
  } else {
    upgradedFrom = version;
    if ((err = ProbeLayout(db)).IsError()) return err;
  }
  if ((err = db.ExecScript(kSqliteUpgrade)).IsError()) {
    if (version > 0) err.Push(FX_LOC, "Cannot upgrade catalog [%s] from version %d; nothing was changed", path_.c_str(), version);
    return err;
  }
  return tx.Commit();
}

CZoError SqliteCatalogStore::SchemaVersion(int& version) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return ReadSchemaVersion(db, version); });
}

CZoError SqliteCatalogStore::DetachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QueryDetachedMountPaths(db, subclientId, out); });
}

CZoError SqliteCatalogStore::FindSubclient(uint64_t id, SubclientRecord& out, bool& found) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QuerySubclient(db, id, out, found); });
}

CZoError SqliteCatalogStore::AttachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QueryAttachedMountPaths(db, subclientId, out); });
}

CZoError SqliteCatalogStore::MountPathsOfHost(const std::string& host, std::vector<std::string>& paths) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QueryMountPathsOfHost(db, host, paths); });
}

CZoError SqliteCatalogStore::AllSubclients(std::vector<SubclientRecord>& out) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QueryAllSubclients(db, out); });
}

CZoError SqliteCatalogStore::AllMountPaths(std::vector<MountPathRecord>& out) {
  return ReadCatalog(path_, [&](CatalogDb& db) { return QueryAllMountPaths(db, out); });
}

CZoError SqliteCatalogStore::Write(const WriteBody& body) {
  CatalogDb db;
  CZoError err = db.Open(path_, CatalogDb::Mode::ReadWrite);
  if (err.IsError()) return err;
  CatalogTransaction tx(db);
  if ((err = tx.Begin()).IsError()) return err;
  SqliteWriter writer(db);
  if ((err = body(writer)).IsError()) return err;
  return tx.Commit();
}

}  // namespace kxmp::catalog
