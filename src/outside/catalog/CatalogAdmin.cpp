#include "outside/catalog/CatalogAdmin.h"

#include <errno.h>

#include <new>

#include "outside/catalog/CatalogDb.h"
#include "outside/catalog/CatalogQueries.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/HostName.h"

namespace kxmp::catalog {

namespace {

// The catalog's tables. Readers rely on these three only; keep them as they are.
constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS subclient (id INTEGER PRIMARY KEY, guid TEXT NOT NULL,"
    " backupset_guid TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL,"
    " path TEXT NOT NULL, library TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS subclient_mount_path (subclient_id INTEGER NOT NULL,"
    " mount_path_id INTEGER NOT NULL, kind INTEGER NOT NULL, position INTEGER NOT NULL,"
    " PRIMARY KEY (subclient_id, mount_path_id))",
};

using ull = unsigned long long;
using ll = long long;

bool HasControl(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

CZoError CheckGuid(const char* what, const std::string& guid) {
  if (guid == "." || guid == ".." || guid.find('/') != std::string::npos || HasControl(guid)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The %s [%s] cannot name a folder", what, guid.c_str());
  }
  return CZoError::Success();
}

// Runs fn() and turns an allocation failure into an error, so none leaves the API.
template <typename Fn>
CZoError Guarded(Fn fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory working on the catalog");
  }
}

// Runs body(db) on the catalog opened for reading.
template <typename Body>
CZoError ReadCatalog(const std::string& path, Body body) {
  return Guarded([&] {
    CatalogDb db;
    CZoError err = db.Open(path, CatalogDb::Mode::ReadOnly);
    if (!err.IsError()) err = body(db);
    return err;
  });
}

// Checks the input with validate(), then runs body(db) in one write transaction; nothing is
// kept unless the body and the commit succeed.
template <typename Validate, typename Body>
CZoError WriteCatalog(const std::string& path, CatalogDb::Mode mode, Validate validate, Body body) {
  return Guarded([&] {
    CZoError err = validate();
    if (err.IsError()) return err;
    CatalogDb db;
    if ((err = db.Open(path, mode)).IsError()) return err;
    CatalogTransaction tx(db);
    if ((err = tx.Begin()).IsError()) return err;
    if ((err = body(db)).IsError()) return err;
    return tx.Commit();
  });
}

CZoError NoCheck() { return CZoError::Success(); }

CZoError RunDelete(CatalogDb& db, const char* sql, int64_t id, int& changes) {
  CatalogStmt stmt;
  CZoError err = db.Prepare(sql, stmt);
  if (!err.IsError()) err = stmt.BindInt64(1, id);
  if (!err.IsError()) err = stmt.Run();
  changes = db.Changes();
  return err;
}

// Removes a row of table (by id) and its attachments (by column).
CZoError RemoveWithAttachments(CatalogDb& db, const char* deleteRow, const char* deleteLinks,
                               int64_t id, const char* what) {
  int changes = 0;
  CZoError err = RunDelete(db, deleteRow, id, changes);
  if (err.IsError()) return err;
  if (changes == 0) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No %s [%lld] in the catalog", what, (ll)id);
  return RunDelete(db, deleteLinks, id, changes);
}

}  // namespace

CatalogAdmin::CatalogAdmin() : path_(DefaultCatalogPath()) {}

CatalogAdmin::CatalogAdmin(std::string catalogPath) : path_(std::move(catalogPath)) {}

CZoError CatalogAdmin::CreateSchema() {
  return WriteCatalog(path_, CatalogDb::Mode::Create, NoCheck, [](CatalogDb& db) {
    for (const char* sql : kSchema) {
      CZoError err = db.Exec(sql);
      if (err.IsError()) return err;
    }
    return CZoError::Success();
  });
}

CZoError CatalogAdmin::ValidateMountPath(const MountPathRecord& m) {
  return Guarded([&] {
    if (m.id < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path id [%lld] is negative", (ll)m.id);
    std::string host, second;
    int64_t n1 = 0, n2 = 0;
    if (m.host.empty() || HasControl(m.host) || !DemangleHostName(m.host, host, second, n1, n2) || host.empty()) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: [%s] is not a valid host name",
                                     (ll)m.id, m.host.c_str());
    }
    if (m.path.empty() || HasControl(m.path)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: the path [%s] is empty or holds control characters",
                                     (ll)m.id, m.path.c_str());
    }
    if (m.library.find('|') != std::string::npos || HasControl(m.library)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: the library [%s] must not hold \"|\" or control characters",
                                     (ll)m.id, m.library.c_str());
    }
    return CZoError::Success();
  });
}

CZoError CatalogAdmin::ValidateSubclient(const SubclientRecord& s) {
  return Guarded([&] {
    if (s.id == 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient id 0 is not valid");
    if (s.guid.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient [%llu] needs a GUID", (ull)s.id);
    CZoError err = CheckGuid("subclient GUID", s.guid);
    if (!err.IsError() && !s.backupsetGuid.empty()) err = CheckGuid("backup set GUID", s.backupsetGuid);
    return err;
  });
}

CZoError CatalogAdmin::PutMountPath(const MountPathRecord& m, int64_t* assignedId) {
  int64_t id = 0;
  auto validate = [&] { return ValidateMountPath(m); };
  CZoError err = WriteCatalog(path_, CatalogDb::Mode::ReadWrite, validate, [&](CatalogDb& db) {
    CatalogStmt stmt;
    CZoError e = db.Prepare("INSERT OR REPLACE INTO mount_path (id, host, path, library) VALUES (?, ?, ?, ?)", stmt);
    if (!e.IsError() && m.id != 0) e = stmt.BindInt64(1, m.id);  // unbound: NULL, a new id
    if (!e.IsError()) e = stmt.BindText(2, m.host);
    if (!e.IsError()) e = stmt.BindText(3, m.path);
    if (!e.IsError()) e = stmt.BindText(4, m.library);
    if (!e.IsError()) e = stmt.Run();
    id = db.LastInsertId();
    return e;
  });
  if (!err.IsError() && assignedId != nullptr) *assignedId = id;
  return err;
}

CZoError CatalogAdmin::RemoveMountPath(int64_t id) {
  return WriteCatalog(path_, CatalogDb::Mode::ReadWrite, NoCheck, [&](CatalogDb& db) {
    return RemoveWithAttachments(db, "DELETE FROM mount_path WHERE id = ?",
                                 "DELETE FROM subclient_mount_path WHERE mount_path_id = ?", id, "mount path");
  });
}

CZoError CatalogAdmin::PutSubclient(const SubclientRecord& s) {
  auto validate = [&] { return ValidateSubclient(s); };
  return WriteCatalog(path_, CatalogDb::Mode::ReadWrite, validate, [&](CatalogDb& db) {
    CatalogStmt stmt;
    CZoError e = db.Prepare("INSERT OR REPLACE INTO subclient (id, guid, backupset_guid) VALUES (?, ?, ?)", stmt);
    if (!e.IsError()) e = stmt.BindInt64(1, static_cast<int64_t>(s.id));
    if (!e.IsError()) e = stmt.BindText(2, s.guid);
    if (!e.IsError()) e = stmt.BindText(3, s.backupsetGuid);
    if (!e.IsError()) e = stmt.Run();
    return e;
  });
}

CZoError CatalogAdmin::RemoveSubclient(uint64_t id) {
  return WriteCatalog(path_, CatalogDb::Mode::ReadWrite, NoCheck, [&](CatalogDb& db) {
    return RemoveWithAttachments(db, "DELETE FROM subclient WHERE id = ?",
                                 "DELETE FROM subclient_mount_path WHERE subclient_id = ?",
                                 static_cast<int64_t>(id), "subclient");
  });
}

CZoError CatalogAdmin::Attach(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position) {
  auto validate = [&] {
    if (kind == kKindPrimary || kind == kKindAlternate) return CZoError::Success();
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Kind [%lld] is neither primary (0) nor alternate (-1)", (ll)kind);
  };
  return WriteCatalog(path_, CatalogDb::Mode::ReadWrite, validate, [&](CatalogDb& db) {
    SubclientRecord subclient;
    MountPathRecord mountPath;
    bool found = false;
    CZoError e = QuerySubclient(db, subclientId, subclient, found);
    if (e.IsError()) return e;
    if (!found) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No subclient [%llu] in the catalog", (ull)subclientId);
    if ((e = QueryMountPath(db, mountPathId, mountPath, found)).IsError()) return e;
    if (!found) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No mount path [%lld] in the catalog", (ll)mountPathId);
    std::vector<AttachedMountPath> current;
    if ((e = QueryAttachedMountPaths(db, subclientId, current)).IsError()) return e;
    for (const auto& a : current) {
      if (a.mountPath.id == mountPathId) continue;  // the attachment being updated
      if (kind == kKindPrimary && a.kind == kKindPrimary) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Subclient [%llu] already has primary mount path [%lld]",
                                       (ull)subclientId, (ll)a.mountPath.id);
      }
      if (a.position == position) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Position [%lld] of subclient [%llu] is taken by mount path [%lld]",
                                       (ll)position, (ull)subclientId, (ll)a.mountPath.id);
      }
    }
    CatalogStmt stmt;
    e = db.Prepare("INSERT OR REPLACE INTO subclient_mount_path (subclient_id, mount_path_id, kind, position)"
                   " VALUES (?, ?, ?, ?)", stmt);
    if (!e.IsError()) e = stmt.BindInt64(1, static_cast<int64_t>(subclientId));
    if (!e.IsError()) e = stmt.BindInt64(2, mountPathId);
    if (!e.IsError()) e = stmt.BindInt64(3, kind);
    if (!e.IsError()) e = stmt.BindInt64(4, position);
    if (!e.IsError()) e = stmt.Run();
    return e;
  });
}

CZoError CatalogAdmin::Detach(uint64_t subclientId, int64_t mountPathId) {
  return WriteCatalog(path_, CatalogDb::Mode::ReadWrite, NoCheck, [&](CatalogDb& db) {
    CatalogStmt stmt;
    CZoError e = db.Prepare("DELETE FROM subclient_mount_path WHERE subclient_id = ? AND mount_path_id = ?", stmt);
    if (!e.IsError()) e = stmt.BindInt64(1, static_cast<int64_t>(subclientId));
    if (!e.IsError()) e = stmt.BindInt64(2, mountPathId);
    if (!e.IsError()) e = stmt.Run();
    if (!e.IsError() && db.Changes() == 0) {
      e = FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Mount path [%lld] is not attached to subclient [%llu]",
                                  (ll)mountPathId, (ull)subclientId);
    }
    return e;
  });
}

CZoError CatalogAdmin::ListSubclients(std::vector<SubclientRecord>& out) const {
  std::vector<SubclientRecord> rows;
  CZoError err = ReadCatalog(path_, [&](CatalogDb& db) { return QueryAllSubclients(db, rows); });
  if (!err.IsError()) out.swap(rows);
  return err;
}

CZoError CatalogAdmin::ListMountPaths(std::vector<MountPathRecord>& out) const {
  std::vector<MountPathRecord> rows;
  CZoError err = ReadCatalog(path_, [&](CatalogDb& db) { return QueryAllMountPaths(db, rows); });
  if (!err.IsError()) out.swap(rows);
  return err;
}

CZoError CatalogAdmin::ListAttachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) const {
  std::vector<AttachedMountPath> rows;
  CZoError err = ReadCatalog(path_, [&](CatalogDb& db) { return QueryAttachedMountPaths(db, subclientId, rows); });
  if (!err.IsError()) out.swap(rows);
  return err;
}

}  // namespace kxmp::catalog
