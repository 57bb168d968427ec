#pragma once
// One libpq connection with RAII owners for it and its results. Every statement is a
// constant text with $n parameters, sent as an unnamed prepared statement (PQexecParams):
// no SQL is ever built from values.
//
// The connection string (a URI or key=value text) must not hold a password: passwords come
// from libpq's password file. Without a connect_timeout of its own, connecting gives up
// after kDefaultConnectTimeoutS, so an unreachable server is an error, never a hang. The
// same holds after connecting: a server that stops answering (a stopped or wedged backend,
// a lost network) is given up on after the answer timeout and the connection is dropped,
// so a mount request never waits on the catalog forever.
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
  // Reads are asked where the registry cache can answer instead (mount requests, backups), so
  // they give up within seconds: the server ends a statement after 5 s and a lock wait after
  // 2 s, the client waits 10 s for an answer. Writes raise the bounds for their transaction
  // (kWrite*), below their answer timeout.
  static constexpr const char* kServerOptions = "-c statement_timeout=5000 -c lock_timeout=2000";
  static constexpr int kDefaultAnswerTimeoutMs = 10000;
  static constexpr const char* kWriteTimeouts = "SET LOCAL statement_timeout = 20000; SET LOCAL lock_timeout = 10000";
  static constexpr int kWriteAnswerTimeoutMs = 30000;
  // The server ends a session idle longer than the pool keeps one (PgConnectionPool).
  static constexpr const char* kIdleSessionTimeout = "SET idle_session_timeout = 35000";

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

  // True when the connection may serve another caller: open, outside any transaction, and
  // not ended by the server. What the server sent meanwhile is read without waiting: a
  // server that ends a session (restart, an administrator, an idle timeout) says so on the
  // socket before it closes it.
  bool ReadyForReuse();
  // Gives up the connection without telling the server, for a process made by fork(): the
  // session is its parent's, and ending it would end the parent's. The caller keeps the handle.
  PGconn* Abandon() { return conn_.release(); }

  const std::string& lastSqlState() const { return lastSqlState_; }
  void setAnswerTimeoutMs(int ms) { answerTimeoutMs_ = ms; }
  PGconn* get() const { return conn_.get(); }

 private:
  struct Closer {
    void operator()(PGconn* c) const { PQfinish(c); }
  };
  CZoError Fail(const FXCodeLocation& where, const PGresult* res, const char* sql);
  // Sends with send (a PQsend* call) and collects the statement's results within the answer
  // timeout; out is the last result, or the first that failed.
  template <typename Send>
  CZoError Run(const char* sql, Send send, PgResult& out);
  // Waits until the connection's socket is ready for events (POLLIN/POLLOUT) before deadline.
  CZoError WaitSocket(short events, int64_t deadlineMs, const char* sql);

  std::unique_ptr<PGconn, Closer> conn_;
  std::string name_;
  std::string lastSqlState_;
  int answerTimeoutMs_ = kDefaultAnswerTimeoutMs;
};

// Row values in libpq's text format.
int64_t PgInt64(const PGresult* res, int row, int column);
std::string PgText(const PGresult* res, int row, int column);

}  // namespace kxmp::catalog
