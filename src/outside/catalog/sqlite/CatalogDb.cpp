#include "outside/catalog/sqlite/CatalogDb.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"

namespace kxmp::catalog {

namespace {

int ErrnoForSqlite(int rc) {
  // The catalog's rules beyond the keys: one primary and one position per subclient
  // (unique indexes), attachments of existing rows and ids in range (triggers).
  if (rc == SQLITE_CONSTRAINT_UNIQUE) return EADDRINUSE;
  if (rc == SQLITE_CONSTRAINT_TRIGGER) return EINVAL;
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return EBUSY;
    case SQLITE_NOMEM:
      return ENOMEM;
    case SQLITE_CONSTRAINT:
      return EEXIST;  // the primary keys
    default:
      return EIO;
  }
}

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

CZoError CatalogDb::Error(const FXCodeLocation& where, sqlite3* db, const std::string& path, int rc,
                          const std::string& what) {
  const char* detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const std::string text = detail != nullptr ? detail : "";
  // A file without the catalog's tables was never set up as one.
  const char* hint = text.rfind("no such table", 0) == 0 ? "; run kxmp setup" : "";
  return FXErrorUtil::ErrorErrNo(where, ErrnoForSqlite(rc), "Catalog [%s]: %s failed: %s (sqlite %d)%s",
                                 path.c_str(), what.c_str(), text.c_str(), rc, hint);
}

CZoError CatalogDb::Open(const std::string& path, Mode mode) {
  db_.reset();
  path_ = path;
  if (path.empty() || HasNul(path)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid catalog path [%s]", path.c_str());
  }
  if (mode == Mode::Create) {
    std::string parent = ParentOf(path);
    if (!parent.empty()) {
      CZoError err = CZoDirectory::Create(parent, true);
      if (err.IsError()) return err.Push(FX_LOC, "Cannot create the folder of catalog [%s]", path.c_str());
    }
  }
  int flags = SQLITE_OPEN_NOMUTEX;
  switch (mode) {
    case Mode::ReadOnly: flags |= SQLITE_OPEN_READONLY; break;
    case Mode::ReadWrite: flags |= SQLITE_OPEN_READWRITE; break;
    case Mode::Create: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  db_.reset(raw);  // a failed open still hands out a handle to close
  if (rc != SQLITE_OK) {
    struct stat st;
    if ((rc & 0xff) == SQLITE_CANTOPEN && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Catalog [%s] does not exist", path.c_str());
    }
    return Error(FX_LOC, raw, path, rc, "open");
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  return CZoError::Success();
}

CZoError CatalogDb::Prepare(const char* sql, CatalogStmt& out) const {
  out.stmt_.reset();
  out.db_ = db_.get();
  out.path_ = path_;
  out.sql_ = sql;
  if (!db_) return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Catalog [%s] is not open", path_.c_str());
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
  out.stmt_.reset(raw);
  if (rc != SQLITE_OK) return Error(FX_LOC, db_.get(), path_, rc, std::string("preparing [") + sql + "]");
  return CZoError::Success();
}

CZoError CatalogDb::Exec(const char* sql) {
  CatalogStmt stmt;
  CZoError err = Prepare(sql, stmt);
  if (err.IsError()) return err;
  return stmt.Run();
}

CZoError CatalogDb::ExecScript(const char* script) {
  if (!db_) return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Catalog [%s] is not open", path_.c_str());
  int rc = sqlite3_exec(db_.get(), script, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Error(FX_LOC, db_.get(), path_, rc, "running the schema script");
  return CZoError::Success();
}

CZoError CatalogStmt::BindInt64(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_.get(), index, value);
  if (rc != SQLITE_OK) return Fail(FX_LOC, rc, "binding a parameter of");
  return CZoError::Success();
}

CZoError CatalogStmt::BindText(int index, const std::string& value) {
  if (HasNul(value)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Catalog [%s]: a text holds a NUL character",
                                   path_.c_str());
  }
  int rc = sqlite3_bind_text(stmt_.get(), index, value.data(), static_cast<int>(value.size()),
                             SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) return Fail(FX_LOC, rc, "binding a parameter of");
  return CZoError::Success();
}

CZoError CatalogStmt::Step(bool& row) {
  row = false;
  int rc = sqlite3_step(stmt_.get());
  if (rc == SQLITE_ROW) {
    row = true;
    return CZoError::Success();
  }
  if (rc == SQLITE_DONE) return CZoError::Success();
  return Fail(FX_LOC, rc, "running");
}

CZoError CatalogStmt::Fail(const FXCodeLocation& where, int rc, const char* what) const {
  return CatalogDb::Error(where, db_, path_, rc, std::string(what) + " [" + sql_ + "]");
}

CZoError CatalogStmt::Run() {
  bool row = true;
  while (row) {
    CZoError err = Step(row);
    if (err.IsError()) return err;
  }
  return CZoError::Success();
}

int64_t CatalogStmt::ColumnInt64(int column) const {
  return sqlite3_column_int64(stmt_.get(), column);
}

std::string CatalogStmt::ColumnText(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_.get(), column);
  if (text == nullptr) return std::string();
  int size = sqlite3_column_bytes(stmt_.get(), column);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

CatalogTransaction::~CatalogTransaction() {
  if (open_) db_.Exec("ROLLBACK");  // nothing else to do about a failed rollback here
}

CZoError CatalogTransaction::Begin() {
  CZoError err = db_.Exec("BEGIN IMMEDIATE");
  if (err.IsError()) return err.Push(FX_LOC);
  open_ = true;
  return CZoError::Success();
}

CZoError CatalogTransaction::Commit() {
  CZoError err = db_.Exec("COMMIT");
  if (err.IsError()) return err.Push(FX_LOC);
  open_ = false;
  return CZoError::Success();
}

}  // namespace kxmp::catalog
