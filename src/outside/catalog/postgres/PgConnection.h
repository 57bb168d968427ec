#pragma once
// One libpq connection with RAII owners for it and its results. Every statement is a
// constant text with $n parameters, sent as an unnamed prepared statement (PQexecParams):
// no SQL is ever built from values.
//
// The connection string (a URI or key=value text) must not hold a password: passwords come
// from libpq's password file. Without a connect_timeout of its own, connecting gives up
// after kDefaultConnectTimeoutS, so an unreachable server is an error, never a hang.
//
// Errors use the catalog's taxonomy (CatalogStore.h); the SQLSTATE of the last failure is
// kept for callers that retry (serialization failures, deadlocks).

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

#include "outside/error/CZoError.h"

namespace kxmp::catalog {

struct PgResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

class PgConnection {
 public:
  static constexpr const char* kDefaultConnectTimeoutS = "5";

  // EINVAL when the text cannot be parsed or holds a password (the message says why).
  static CZoError CheckConnectionString(const std::string& conninfo);
  // The connection string without any password, for messages.
  static std::string Describe(const std::string& conninfo);

  CZoError Open(const std::string& conninfo);
  // Runs one statement. Rows (if any) are in out; text parameters, no NUL characters.
  CZoError Exec(const char* sql, const std::vector<std::string>& params, PgResult& out);
  CZoError Exec(const char* sql, const std::vector<std::string>& params) {
    PgResult ignored;
    return Exec(sql, params, ignored);
  }
  // Runs a script of statements without parameters (the schema).
  CZoError ExecScript(const char* script);

  const std::string& lastSqlState() const { return lastSqlState_; }
  PGconn* get() const { return conn_.get(); }

 private:
  struct Closer {
    void operator()(PGconn* c) const { PQfinish(c); }
  };
  CZoError Fail(const FXCodeLocation& where, const PGresult* res, const char* sql);

  std::unique_ptr<PGconn, Closer> conn_;
  std::string name_;
  std::string lastSqlState_;
};

// Row values in libpq's text format.
int64_t PgInt64(const PGresult* res, int row, int column);
std::string PgText(const PGresult* res, int row, int column);

}  // namespace kxmp::catalog
