#include "outside/catalog/postgres/PostgresCatalogStore.h"

#include <memory>
#include <new>

#include "outside/catalog/postgres/PgConnection.h"
#include "outside/catalog/postgres/PgConnectionPool.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "kxmp/generated/postgres_schema.inc"
#include "kxmp/generated/postgres_upgrade.inc"

namespace kxmp::catalog {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryUsingCatalog =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory using the catalog");
}  // namespace

namespace {

// Any constant: the key of the advisory lock that serializes schema creation.
constexpr const char* kSchemaLockKey = "6082011";

constexpr const char* kSelectSubclient = "SELECT id, guid, backupset_guid FROM subclient WHERE id = $1";
constexpr const char* kLockSubclient = "SELECT id, guid, backupset_guid FROM subclient WHERE id = $1 FOR UPDATE";
constexpr const char* kShareMountPath = "SELECT id, host, path, library FROM mount_path WHERE id = $1 FOR SHARE";
constexpr const char* kSelectAttached =
    "SELECT a.kind, a.position, m.id, m.host, m.path, m.library"
    " FROM subclient_mount_path a JOIN mount_path m ON m.id = a.mount_path_id"
    " WHERE a.subclient_id = $1 ORDER BY a.position, a.mount_path_id";

constexpr const char* kSelectDetached =
    "SELECT m.id, m.host, m.path, m.library"
    " FROM detached_mount_path d JOIN mount_path m ON m.id = d.mount_path_id"
    " WHERE d.subclient_id = $1 ORDER BY m.id";
// 0 no tables, 1 the tables without a version, -1 a version table (read it).
constexpr const char* kLayout =
    "SELECT CASE WHEN to_regclass('catalog_schema_version') IS NOT NULL THEN -1"
    " WHEN to_regclass('subclient') IS NOT NULL THEN 1 ELSE 0 END";
constexpr const char* kProbeColumns[] = {
    "SELECT id, guid, backupset_guid FROM subclient LIMIT 0",
    "SELECT id, host, path, library FROM mount_path LIMIT 0",
    "SELECT subclient_id, mount_path_id, kind, position FROM subclient_mount_path LIMIT 0",
};

std::string Num(int64_t v) { return std::to_string(v); }
std::string Id(uint64_t v) { return std::to_string(static_cast<int64_t>(v)); }  // the bit pattern

SubclientRecord SubclientAt(const PGresult* r, int row) {
  return {static_cast<uint64_t>(PgInt64(r, row, 0)), PgText(r, row, 1), PgText(r, row, 2)};
}
MountPathRecord MountPathAt(const PGresult* r, int row, int first) {
  return {PgInt64(r, row, first), PgText(r, row, first + 1), PgText(r, row, first + 2), PgText(r, row, first + 3)};
}

template <typename Record, typename RowFn>
void Collect(const PGresult* r, std::vector<Record>& out, RowFn rowFn) {
  int rows = PQntuples(r);
  out.reserve(out.size() + static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) out.push_back(rowFn(r, i));
}

template <typename Record, typename RowFn>
CZoError FindOne(PgConnection& c, const char* sql, const std::string& id, Record& out, bool& found, RowFn rowFn) {
  found = false;
  PgResult r;
  CZoError err = c.Exec(sql, {id}, r);
  if (err.IsError()) return err;
  if (PQntuples(r.get()) > 0) {
    out = rowFn(r.get(), 0);
    found = true;
  }
  return CZoError::Success();
}

CZoError Attached(PgConnection& c, uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  PgResult r;
  CZoError err = c.Exec(kSelectAttached, {Id(subclientId)}, r);
  if (err.IsError()) return err;
  Collect(r.get(), out, [subclientId](const PGresult* res, int row) {
    AttachedMountPath a;
    a.subclientId = subclientId;
    a.kind = PgInt64(res, row, 0);
    a.position = PgInt64(res, row, 1);
    a.mountPath = MountPathAt(res, row, 2);
    return a;
  });
  return CZoError::Success();
}

CZoError ReadVersion(PgConnection& c, int& version) {
  PgResult r;
  CZoError err = c.Exec(kLayout, {}, r);
  if (err.IsError()) return err;
  version = static_cast<int>(PgInt64(r.get(), 0, 0));
  if (version != -1) return err;
  err = c.Exec("SELECT COALESCE(MAX(version), 1) FROM catalog_schema_version", {}, r);
  if (!err.IsError()) version = static_cast<int>(PgInt64(r.get(), 0, 0));
  return err;
}

// Runs one statement and tells whether it changed a row.
CZoError Changed(PgConnection& c, const char* sql, const std::vector<std::string>& params, bool& changed) {
  PgResult r;
  CZoError err = c.Exec(sql, params, r);
  changed = !err.IsError() && std::atoi(PQcmdTuples(r.get())) > 0;
  return err;
}

class PostgresWriter : public CatalogWriter {
 public:
  explicit PostgresWriter(PgConnection& c) : c_(c) {}

  CZoError LockSubclient(uint64_t id, SubclientRecord& out, bool& found) override {
    return FindOne(c_, kLockSubclient, Id(id), out, found, SubclientAt);
  }
  CZoError FindMountPath(int64_t id, MountPathRecord& out, bool& found) override {
    return FindOne(c_, kShareMountPath, Num(id), out, found,
                   [](const PGresult* r, int row) { return MountPathAt(r, row, 0); });
  }
  CZoError Attachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) override {
    return Attached(c_, subclientId, out);
  }

  CZoError InsertSubclient(const SubclientRecord& s) override {
    return c_.Exec("INSERT INTO subclient (id, guid, backupset_guid) VALUES ($1, $2, $3)",
                   {Id(s.id), s.guid, s.backupsetGuid});
  }
  CZoError UpdateSubclient(const SubclientRecord& s) override {
    return c_.Exec("UPDATE subclient SET guid = $2, backupset_guid = $3 WHERE id = $1",
                   {Id(s.id), s.guid, s.backupsetGuid});
  }
  CZoError DeleteSubclient(uint64_t id, bool& existed) override {
    CZoError err = Changed(c_, "DELETE FROM subclient WHERE id = $1", {Id(id)}, existed);
    if (err.IsError() || !existed) return err;
    return c_.Exec("DELETE FROM subclient_mount_path WHERE subclient_id = $1", {Id(id)});
  }

  CZoError InsertMountPath(MountPathRecord& m) override {
    if (m.id != 0) {
      return c_.Exec("INSERT INTO mount_path (id, host, path, library) VALUES ($1, $2, $3, $4)",
                     {Num(m.id), m.host, m.path, m.library});
    }
    // The next free id, as the single-machine catalog gives it: the table is locked against
    // other writers (readers go on) until the transaction ends.
    CZoError err = c_.Exec("LOCK TABLE mount_path IN SHARE ROW EXCLUSIVE MODE", {});
    if (err.IsError()) return err;
    PgResult r;
    err = c_.Exec("INSERT INTO mount_path (id, host, path, library)"
                  " SELECT COALESCE(MAX(id), 0) + 1, $1, $2, $3 FROM mount_path RETURNING id",
                  {m.host, m.path, m.library}, r);
    if (!err.IsError()) m.id = PgInt64(r.get(), 0, 0);
    return err;
  }
  CZoError UpdateMountPath(const MountPathRecord& m) override {
    return c_.Exec("UPDATE mount_path SET host = $2, path = $3, library = $4 WHERE id = $1",
                   {Num(m.id), m.host, m.path, m.library});
  }
  CZoError DeleteMountPath(int64_t id, bool& existed) override {
    CZoError err = Changed(c_, "DELETE FROM mount_path WHERE id = $1", {Num(id)}, existed);
    if (err.IsError() || !existed) return err;
    return c_.Exec("DELETE FROM subclient_mount_path WHERE mount_path_id = $1", {Num(id)});
  }

  CZoError PutAttachment(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position) override {
    return c_.Exec("INSERT INTO subclient_mount_path (subclient_id, mount_path_id, kind, position)"
                   " VALUES ($1, $2, $3, $4) ON CONFLICT (subclient_id, mount_path_id)"
                   " DO UPDATE SET kind = EXCLUDED.kind, position = EXCLUDED.position",
                   {Id(subclientId), Num(mountPathId), Num(kind), Num(position)});
  }
  CZoError DeleteAttachment(uint64_t subclientId, int64_t mountPathId, bool& existed) override {
    return Changed(c_, "DELETE FROM subclient_mount_path WHERE subclient_id = $1 AND mount_path_id = $2",
                   {Id(subclientId), Num(mountPathId)}, existed);
  }
  CZoError IsEmpty(bool& empty) override {
    PgResult r;
    CZoError err = c_.Exec("SELECT NOT EXISTS (SELECT 1 FROM subclient) AND NOT EXISTS (SELECT 1 FROM mount_path)", {}, r);
    empty = !err.IsError() && PgText(r.get(), 0, 0) == "t";
    return err;
  }
  CZoError PutDetached(uint64_t subclientId, int64_t mountPathId) override {
    return c_.Exec("INSERT INTO detached_mount_path (subclient_id, mount_path_id) VALUES ($1, $2)"
                   " ON CONFLICT DO NOTHING",
                   {Id(subclientId), Num(mountPathId)});
  }
  CZoError DeleteDetached(uint64_t subclientId, int64_t mountPathId) override {
    return c_.Exec("DELETE FROM detached_mount_path WHERE subclient_id = $1 AND mount_path_id = $2",
                   {Id(subclientId), Num(mountPathId)});
  }

 private:
  PgConnection& c_;
};

// Runs body(connection) on a kept connection, or a new one, and keeps it for the next call
// when it is still healthy and outside any transaction.
template <typename Body>
CZoError WithConnection(const std::string& conninfo, Body body) {
  try {
    PgConnectionPool& pool = PgConnectionPool::Instance();
    std::unique_ptr<PgConnection> c = pool.Take(conninfo);
    if (!c) {
      c = std::make_unique<PgConnection>();
      CZoError err = c->Open(conninfo);
      if (err.IsError()) return err;
    }
    c->setAnswerTimeoutMs(PgConnection::kDefaultAnswerTimeoutMs);  // a write raised it for itself
    CZoError err = body(*c);
    pool.Give(conninfo, std::move(c));
    return err;
  } catch (...) {
    return CaughtError(kNoMemoryUsingCatalog, FX_LOC);
  }
}

}  // namespace

PostgresCatalogStore::PostgresCatalogStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}

std::string PostgresCatalogStore::Name() const { return PgConnection::Describe(conninfo_); }

CZoError PostgresCatalogStore::CreateSchema(bool& created, int& upgradedFrom) {
  created = false;
  upgradedFrom = 0;
  return WithConnection(conninfo_, [&](PgConnection& c) {
    // A current catalog is only read, so a read-only role (or a standby) passes; a change is
    // made under an advisory lock, so that two machines running setup at once take turns.
    c.setAnswerTimeoutMs(PgConnection::kWriteAnswerTimeoutMs);
    CZoError err = c.Exec("BEGIN", {});
    if (!err.IsError()) err = c.ExecScript(PgConnection::kWriteTimeouts);
    int version = 0;
    if (!err.IsError()) err = ReadVersion(c, version);
    if (!err.IsError() && version != kCatalogSchemaVersion) {
      err = c.Exec("SELECT pg_advisory_xact_lock($1)", {kSchemaLockKey});
      if (!err.IsError()) err = ReadVersion(c, version);
    }
    if (!err.IsError() && version > kCatalogSchemaVersion) {
      err = FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid,
                                    "Catalog [%s] has schema version %d, newer than this kxmp knows (%d): use a newer "
                                    "kxmp",
                                    Name().c_str(), version, kCatalogSchemaVersion);
    }
    if (!err.IsError() && version == 0) {
      created = true;
      err = c.ExecScript(kPostgresSchema);
    }
    if (!err.IsError() && version > 0 && version < kCatalogSchemaVersion) {
      for (const char* probe : kProbeColumns) {
        if (err.IsError()) break;
        err = c.Exec(probe, {});
        if (err.IsError()) {
          err = FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid,
                                        "Catalog [%s] has tables that are not the catalog's layout: %s", Name().c_str(),
                                        err.Message().c_str());
        }
      }
      upgradedFrom = version;
    }
    if (!err.IsError() && version < kCatalogSchemaVersion) {
      err = c.ExecScript(kPostgresUpgrade);
      if (err.IsError() && version > 0) err.Push(FX_LOC, "Cannot upgrade catalog [%s] from version %d; nothing was changed",
                                                 Name().c_str(), version);
    }
    if (!err.IsError()) err = c.Exec("COMMIT", {});
    if (err.IsError()) c.Exec("ROLLBACK", {});
    return err;
  });
}

CZoError PostgresCatalogStore::SchemaVersion(int& version) {
  return WithConnection(conninfo_, [&](PgConnection& c) { return ReadVersion(c, version); });
}

CZoError PostgresCatalogStore::DetachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  return WithConnection(conninfo_, [&](PgConnection& c) {
    PgResult r;
    CZoError err = c.Exec("SELECT to_regclass('detached_mount_path') IS NOT NULL", {}, r);
    if (err.IsError() || PgText(r.get(), 0, 0) != "t") return err;
    err = c.Exec(kSelectDetached, {Id(subclientId)}, r);
    if (err.IsError()) return err;
    Collect(r.get(), out, [subclientId](const PGresult* res, int row) {
      AttachedMountPath a;
      a.subclientId = subclientId;
      a.kind = kKindDetached;
      a.mountPath = MountPathAt(res, row, 0);
      return a;
    });
    return err;
  });
}

CZoError PostgresCatalogStore::FindSubclient(uint64_t id, SubclientRecord& out, bool& found) {
  return WithConnection(conninfo_, [&](PgConnection& c) { return FindOne(c, kSelectSubclient, Id(id), out, found, SubclientAt); });
}

CZoError PostgresCatalogStore::AttachedMountPaths(uint64_t subclientId, std::vector<AttachedMountPath>& out) {
  return WithConnection(conninfo_, [&](PgConnection& c) { return Attached(c, subclientId, out); });
}

CZoError PostgresCatalogStore::MountPathsOfHost(const std::string& host, std::vector<std::string>& paths) {
  return WithConnection(conninfo_, [&](PgConnection& c) {
    PgResult r;
    CZoError err = c.Exec("SELECT path FROM mount_path WHERE host = $1", {host}, r);
    if (!err.IsError()) Collect(r.get(), paths, [](const PGresult* res, int row) { return PgText(res, row, 0); });
    return err;
  });
}

CZoError PostgresCatalogStore::AllSubclients(std::vector<SubclientRecord>& out) {
  return WithConnection(conninfo_, [&](PgConnection& c) {
    PgResult r;
    CZoError err = c.Exec("SELECT id, guid, backupset_guid FROM subclient ORDER BY id", {}, r);
    if (!err.IsError()) Collect(r.get(), out, SubclientAt);
    return err;
  });
}

CZoError PostgresCatalogStore::AllMountPaths(std::vector<MountPathRecord>& out) {
  return WithConnection(conninfo_, [&](PgConnection& c) {
    PgResult r;
    CZoError err = c.Exec("SELECT id, host, path, library FROM mount_path ORDER BY id", {}, r);
    if (!err.IsError()) Collect(r.get(), out, [](const PGresult* res, int row) { return MountPathAt(res, row, 0); });
    return err;
  });
}

CZoError PostgresCatalogStore::Write(const WriteBody& body) {
  return WithConnection(conninfo_, [&](PgConnection& c) {
    CZoError err;
    c.setAnswerTimeoutMs(PgConnection::kWriteAnswerTimeoutMs);
    for (int attempt = 1; attempt <= kWriteAttempts; ++attempt) {
      err = c.Exec("BEGIN", {});
      if (!err.IsError()) err = c.ExecScript(PgConnection::kWriteTimeouts);
      if (err.IsError()) return err;
      PostgresWriter writer(c);
      err = body(writer);
      if (!err.IsError()) {
        err = c.Exec("COMMIT", {});
        // Sent but not answered: the server may have kept the change (a synchronous standby
        // that stopped confirming holds a committed row back, not undone).
        if (FXErrorUtil::IsErrNo(err, CatalogErrc::kUnreachable)) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kOutcomeUnknown,
                                         "Catalog [%s] did not answer the COMMIT, so the change may or may not have "
                                         "been kept: %s",
                                         Name().c_str(), err.Message().c_str());
        }
      }
      if (!err.IsError()) return err;
      const std::string state = c.lastSqlState();
      CZoError rolledBack = c.Exec("ROLLBACK", {});
      if (rolledBack.IsError()) return err;  // the connection is gone: nothing was kept
      if (state != "40001" && state != "40P01") return err;
    }
    return err;
  });
}

}  // namespace kxmp::catalog
