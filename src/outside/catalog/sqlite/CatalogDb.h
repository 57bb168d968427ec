#pragma once
// A connection to the catalog database of one machine (SQLite), opened per call so that several processes
// can use the catalog at once, with RAII owners for the connection, its statements and its
// write transactions.
//
// Errors are errno-kind CZoErrors whose number tells the caller what happened:
//   ENOENT (2)  the catalog file does not exist
//   EIO    (5)  the catalog cannot be read: not a database, tables missing, damaged,
//               no permission, or a crashed writer's journal that only a writer can undo
//   ENOMEM (12) out of memory
//   EBUSY  (16) another connection held the catalog longer than the busy timeout
//   EEXIST (17) a row with the same key exists already
//   EINVAL (22) a text holds a NUL character (never stored)

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::catalog {

class CatalogDb;

class KXMP_EXPORT CatalogStmt {
 public:
  CatalogStmt() = default;
  CatalogStmt(CatalogStmt&&) noexcept = default;
  CatalogStmt& operator=(CatalogStmt&&) noexcept = default;

  CZoError BindInt64(int index, int64_t value);
  CZoError BindText(int index, const std::string& value);
  // One step: row is true while a result row is available, false when done.
  CZoError Step(bool& row);
  // Runs the statement to its end (writes).
  CZoError Run();

  int64_t ColumnInt64(int column) const;
  uint64_t ColumnUInt64(int column) const { return static_cast<uint64_t>(ColumnInt64(column)); }
  std::string ColumnText(int column) const;

 private:
  friend class CatalogDb;
  struct Finalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
  };
  CZoError Fail(const FXCodeLocation& where, int rc, const char* what) const;

  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
  sqlite3* db_ = nullptr;  // borrowed from the CatalogDb that prepared the statement
  std::string path_;
  std::string sql_;
};

class KXMP_EXPORT CatalogDb {
 public:
  enum class Mode {
    ReadOnly,   // never creates nor changes the file
    ReadWrite,  // the file must exist
    Create,     // creates the file (and its folder) when missing
  };
  static constexpr int kBusyTimeoutMs = 5000;

  CatalogDb() = default;

  CZoError Open(const std::string& path, Mode mode);
  CZoError Prepare(const char* sql, CatalogStmt& out) const;
  // Runs statements that take no parameters and return no rows.
  CZoError Exec(const char* sql);
  // Runs a script of several such statements (the schema).
  CZoError ExecScript(const char* script);

  const std::string& path() const { return path_; }
  // Rows changed by the last write statement, and the id of the last inserted row.
  int Changes() const { return db_ ? sqlite3_changes(db_.get()) : 0; }
  int64_t LastInsertId() const { return db_ ? sqlite3_last_insert_rowid(db_.get()) : 0; }

  // The CZoError for a failed SQLite call (rc) on a connection, naming what was attempted.
  static CZoError Error(const FXCodeLocation& where, sqlite3* db, const std::string& path, int rc,
                        const std::string& what);

 private:
  struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  std::unique_ptr<sqlite3, Closer> db_;
  std::string path_;
};

// A write transaction: Begin() takes the write lock at once (BEGIN IMMEDIATE) so that two
// writers never deadlock upgrading read locks; destruction without Commit() rolls back.
class KXMP_EXPORT CatalogTransaction {
 public:
  explicit CatalogTransaction(CatalogDb& db) : db_(db) {}
  ~CatalogTransaction();
  CatalogTransaction(const CatalogTransaction&) = delete;
  CatalogTransaction& operator=(const CatalogTransaction&) = delete;

  CZoError Begin();
  CZoError Commit();

 private:
  CatalogDb& db_;
  bool open_ = false;
};

}  // namespace kxmp::catalog
