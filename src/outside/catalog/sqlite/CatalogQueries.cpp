#include "outside/catalog/sqlite/CatalogQueries.h"

#include <errno.h>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::catalog {

namespace {

constexpr const char* kSubclientColumns = "SELECT id, guid, backupset_guid FROM subclient";
constexpr const char* kMountPathColumns = "SELECT id, host, path, library FROM mount_path";

SubclientRecord SubclientRow(const CatalogStmt& s) {
  SubclientRecord r;
  r.id = s.ColumnUInt64(0);
  r.guid = s.ColumnText(1);
  r.backupsetGuid = s.ColumnText(2);
  return r;
}

MountPathRecord MountPathRow(const CatalogStmt& s, int first) {
  MountPathRecord r;
  r.id = s.ColumnInt64(first);
  r.host = s.ColumnText(first + 1);
  r.path = s.ColumnText(first + 2);
  r.library = s.ColumnText(first + 3);
  return r;
}

// Runs a prepared statement and appends one record per row, made by rowFn.
template <typename Record, typename RowFn>
CZoError CollectRows(CatalogStmt& stmt, std::vector<Record>& out, RowFn rowFn) {
  for (;;) {
    bool row = false;
    CZoError err = stmt.Step(row);
    if (err.IsError()) return err;
    if (!row) return CZoError::Success();
    out.push_back(rowFn(stmt));
  }
}

// Prepares "<select> WHERE id = ?", binds id and collects at most the one row.
template <typename Record, typename RowFn>
CZoError QueryById(const CatalogDb& db, const std::string& select, int64_t id, Record& out,
                   bool& found, RowFn rowFn) {
  found = false;
  CatalogStmt stmt;
  CZoError err = db.Prepare((select + " WHERE id = ?").c_str(), stmt);
  if (err.IsError()) return err;
  if ((err = stmt.BindInt64(1, id)).IsError()) return err;
  std::vector<Record> rows;
  if ((err = CollectRows(stmt, rows, rowFn)).IsError()) return err;
  if (!rows.empty()) {
    out = std::move(rows.front());
    found = true;
  }
  return CZoError::Success();
}

}  // namespace

CZoError QuerySubclient(const CatalogDb& db, uint64_t id, SubclientRecord& out, bool& found) {
  return QueryById(db, kSubclientColumns, static_cast<int64_t>(id), out, found, SubclientRow);
}

CZoError QueryMountPath(const CatalogDb& db, int64_t id, MountPathRecord& out, bool& found) {
  return QueryById(db, kMountPathColumns, id, out, found,
                   [](const CatalogStmt& s) { return MountPathRow(s, 0); });
}

CZoError QueryAttachedMountPaths(const CatalogDb& db, uint64_t subclientId,
                                 std::vector<AttachedMountPath>& out) {
  CatalogStmt stmt;
  CZoError err = db.Prepare(
      "SELECT a.kind, a.position, m.id, m.host, m.path, m.library"
      " FROM subclient_mount_path a JOIN mount_path m ON m.id = a.mount_path_id"
      " WHERE a.subclient_id = ? ORDER BY a.position, a.mount_path_id",
      stmt);
  if (err.IsError()) return err;
  if ((err = stmt.BindInt64(1, static_cast<int64_t>(subclientId))).IsError()) return err;
  return CollectRows(stmt, out, [subclientId](const CatalogStmt& s) {
    AttachedMountPath a;
    a.subclientId = subclientId;
    a.kind = s.ColumnInt64(0);
    a.position = s.ColumnInt64(1);
    a.mountPath = MountPathRow(s, 2);
    return a;
  });
}

CZoError QueryAllSubclients(const CatalogDb& db, std::vector<SubclientRecord>& out) {
  CatalogStmt stmt;
  CZoError err = db.Prepare((std::string(kSubclientColumns) + " ORDER BY id").c_str(), stmt);
  if (err.IsError()) return err;
  return CollectRows(stmt, out, SubclientRow);
}

CZoError QueryAllMountPaths(const CatalogDb& db, std::vector<MountPathRecord>& out) {
  CatalogStmt stmt;
  CZoError err = db.Prepare((std::string(kMountPathColumns) + " ORDER BY id").c_str(), stmt);
  if (err.IsError()) return err;
  return CollectRows(stmt, out, [](const CatalogStmt& s) { return MountPathRow(s, 0); });
}

CZoError QueryMountPathsOfHost(const CatalogDb& db, const std::string& host, std::vector<std::string>& out) {
  CatalogStmt stmt;
  CZoError err = db.Prepare("SELECT path FROM mount_path WHERE host = ?", stmt);
  if (err.IsError()) return err;
  if ((err = stmt.BindText(1, host)).IsError()) return err;
  return CollectRows(stmt, out, [](const CatalogStmt& s) { return s.ColumnText(0); });
}

namespace {

// The first column of the one row of a query without parameters.
CZoError ScalarInt(const CatalogDb& db, const char* sql, int64_t& value) {
  CatalogStmt stmt;
  CZoError err = db.Prepare(sql, stmt);
  bool row = false;
  if (!err.IsError()) err = stmt.Step(row);
  value = !err.IsError() && row ? stmt.ColumnInt64(0) : 0;
  return err;
}

}  // namespace

CZoError ReadSchemaVersion(const CatalogDb& db, int& version) {
  int64_t layout = 0;
  CZoError err = ScalarInt(db,
                           "SELECT CASE WHEN EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
                           "'catalog_schema_version') THEN -1 WHEN EXISTS (SELECT 1 FROM sqlite_master WHERE type = "
                           "'table' AND name = 'subclient') THEN 1 ELSE 0 END",
                           layout);
  if (!err.IsError() && layout == -1) {
    err = ScalarInt(db, "SELECT COALESCE(MAX(version), 1) FROM catalog_schema_version", layout);
  }
  version = static_cast<int>(layout);
  return err;
}

CZoError ProbeLayout(const CatalogDb& db) {
  for (const char* probe : {"SELECT id, guid, backupset_guid FROM subclient LIMIT 0",
                            "SELECT id, host, path, library FROM mount_path LIMIT 0",
                            "SELECT subclient_id, mount_path_id, kind, position FROM subclient_mount_path LIMIT 0"}) {
    CatalogStmt stmt;
    CZoError err = db.Prepare(probe, stmt);
    if (err.IsError()) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Catalog [%s] has tables that are not the catalog's layout: %s",
                                     db.path().c_str(), err.Message().c_str());
    }
  }
  return CZoError::Success();
}

CZoError QueryDetachedMountPaths(const CatalogDb& db, uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  int64_t present = 0;
  CZoError err = ScalarInt(
      db, "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'detached_mount_path')", present);
  if (err.IsError() || present == 0) return err;
  CatalogStmt stmt;
  err = db.Prepare(
      "SELECT m.id, m.host, m.path, m.library FROM detached_mount_path d JOIN mount_path m ON m.id = d.mount_path_id"
      " WHERE d.subclient_id = ? ORDER BY m.id",
      stmt);
  if (!err.IsError()) err = stmt.BindInt64(1, static_cast<int64_t>(subclientId));
  if (err.IsError()) return err;
  return CollectRows(stmt, out, [subclientId](const CatalogStmt& s) {
    AttachedMountPath a;
    a.subclientId = subclientId;
    a.kind = kKindDetached;
    a.mountPath = MountPathRow(s, 0);
    return a;
  });
}

}  // namespace kxmp::catalog
