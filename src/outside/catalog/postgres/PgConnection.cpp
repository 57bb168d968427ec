#include "outside/catalog/postgres/PgConnection.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "outside/catalog/CatalogStore.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

namespace kxmp::catalog {

namespace {

struct OptionsDeleter {
  void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsDeleter>;

// Parses the connection string; on failure error receives libpq's reason.
Options Parse(const std::string& conninfo, std::string& error) {
  char* message = nullptr;
  Options options(PQconninfoParse(conninfo.c_str(), &message));
  if (!options) error = message != nullptr ? message : "out of memory";
  if (message != nullptr) PQfreemem(message);
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return options;
}

std::string Trimmed(const char* text) {
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The taxonomy number of a SQLSTATE.
int ErrnoOfSqlState(const std::string& state, const char* constraint) {
  // The rules of the catalog beyond the keys: one primary, one position (unique indexes),
  // attachments of existing rows (foreign keys), kinds and ids in range (checks).
  if (state == "23505" && constraint != nullptr && std::strncmp(constraint, "subclient_one_", 14) == 0) {
    return CatalogErrc::kConflict;
  }
  if (state == "23505") return CatalogErrc::kAlreadyExists;
  if (state == "23503") return CatalogErrc::kNotFound;
  if (state == "23514") return CatalogErrc::kInvalid;
  if (state == "40001" || state == "40P01" || state == "55P03" || state == "57014") return CatalogErrc::kBusy;
  if (state == "53200") return CatalogErrc::kNoMemory;
  if (state.compare(0, 2, "08") == 0 || state == "57P01" || state == "57P02" || state == "57P03") {
    return CatalogErrc::kUnreachable;
  }
  if (state.compare(0, 2, "22") == 0) return CatalogErrc::kInvalid;
  return CatalogErrc::kUnreadable;  // missing tables (42P01), no rights (42501), the rest
}

// Sends a cancel request for the connection's running statement from a thread of its own:
// libpq's cancel connects to the server without a bound of its own, and the caller must not
// wait on a server that stopped answering.
void CancelInBackground(PGconn* conn) {
  PGcancel* cancel = PQgetCancel(conn);
  if (cancel == nullptr) return;
  try {
    std::thread([cancel] {
      char why[256] = {};
      PQcancel(cancel, why, sizeof why);
      PQfreeCancel(cancel);
    }).detach();
  } catch (const std::exception&) {
    PQfreeCancel(cancel);  // no thread: the server's own timeouts end the statement
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

namespace {

// Options libpq itself marks as secret (password, sslpassword, and any a later libpq adds).
bool IsSecret(const PQconninfoOption* o) { return o->dispchar != nullptr && std::strchr(o->dispchar, '*') != nullptr; }

}  // namespace

CZoError PgConnection::CheckConnectionString(const std::string& conninfo) {
  std::string error;
  if (conninfo.find('\0') != std::string::npos) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid, "The catalog connection holds a NUL character");
  }
  Options options = Parse(conninfo, error);
  if (!options) {
    // Neither the text nor libpq's reason is repeated: either may quote a secret.
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid,
                                   "The catalog connection is not a valid libpq URI or key=value string (neither it "
                                   "nor the parser's reason is repeated here: either may quote a password)");
  }
  for (PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (IsSecret(o) && o->val != nullptr && o->val[0] != '\0') {
      return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid,
                                     "The catalog connection holds %s, which libpq keeps hidden: leave it out; "
                                     "passwords belong in the password file of libpq (~/.pgpass, or the file "
                                     "PGPASSFILE names)",
                                     o->keyword);
    }
  }
  return CZoError::Success();
}

std::string PgConnection::Describe(const std::string& conninfo) {
  std::string error;
  Options options = Parse(conninfo, error);
  if (!options) return "(an invalid connection string)";
  std::string text;
  for (PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr || o->val[0] == '\0' || IsSecret(o)) continue;
    if (!text.empty()) text += ' ';
    text += std::string(o->keyword) + "=" + o->val;
  }
  return text;
}

CZoError PgConnection::Open(const std::string& conninfo) {
  conn_.reset();
  name_ = Describe(conninfo);
  CZoError err = CheckConnectionString(conninfo);
  if (err.IsError()) return err;
  std::string error;
  Options options = Parse(conninfo, error);
  if (!options) return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid, "The catalog connection is not valid");
  std::vector<const char*> keywords, values;
  bool hasTimeout = false;
  for (PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    if (std::strcmp(o->keyword, "connect_timeout") == 0) hasTimeout = true;
    keywords.push_back(o->keyword);
    values.push_back(o->val);
  }
  if (!hasTimeout) {
    keywords.push_back("connect_timeout");
    values.push_back(kDefaultConnectTimeoutS);
  }
  keywords.push_back("fallback_application_name");
  values.push_back("kxmp");
  // Bounded on the server too, below the answer timeout, so that a statement the client gave
  // up on does not wait on (a lock, a busy server) for ever; the site's own options go after
  // these and win.
  std::string serverOptions = kServerOptions;
  for (size_t i = 0; i < keywords.size(); ++i) {
    if (std::strcmp(keywords[i], "options") == 0) {
      serverOptions += std::string(" ") + values[i];
      keywords.erase(keywords.begin() + static_cast<std::ptrdiff_t>(i));
      values.erase(values.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  keywords.push_back("options");
  values.push_back(serverOptions.c_str());
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  conn_.reset(PQconnectdbParams(keywords.data(), values.data(), 0));
  if (!conn_) return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory connecting to the catalog");
  // Server notices ("relation ... already exists, skipping") go to the log, not to stderr.
  PQsetNoticeProcessor(conn_.get(), [](void*, const char* message) { KXLOG_TRACE("Catalog: %s", message); }, nullptr);
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    std::string why = Trimmed(PQerrorMessage(conn_.get()));
    conn_.reset();
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreachable,
                                   "Cannot reach the control server's database [%s]: %s", name_.c_str(), why.c_str());
  }
  // A kept connection that no call uses is ended by the server a little after the pool would
  // close it (servers from version 14 know the setting), so a quiet process holds no backend.
  if (PQserverVersion(conn_.get()) >= 140000) {
    CZoError err = Exec(kIdleSessionTimeout, {});
    if (err.IsError()) KXLOG_DETAIL("Catalog [%s]: %s", name_.c_str(), err.Message().c_str());
  }
  return CZoError::Success();
}

bool PgConnection::ReadyForReuse() {
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK || PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) return false;
  // A server ending the session sends its reason, then closes: the end of the stream shows
  // only at the read after the message, so reading goes on while the socket has input (an
  // idle session is sent little else: notices, parameter changes).
  for (int reads = 0; reads < 8; ++reads) {
    pollfd p{PQsocket(conn_.get()), POLLIN, 0};
    if (p.fd < 0) return false;
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0) return false;
    if (ready == 0) {
      return PQstatus(conn_.get()) == CONNECTION_OK && PQtransactionStatus(conn_.get()) == PQTRANS_IDLE;
    }
    if (PQconsumeInput(conn_.get()) == 0) return false;
  }
  return false;  // still sending: not an idle session to rely on
}

CZoError PgConnection::Fail(const FXCodeLocation& where, const PGresult* res, const char* sql) {
  const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  lastSqlState_ = state != nullptr ? state : "";
  std::string why = Trimmed(res != nullptr ? PQresultErrorMessage(res) : PQerrorMessage(conn_.get()));
  if (why.empty()) why = Trimmed(PQerrorMessage(conn_.get()));
  int number = ErrnoOfSqlState(lastSqlState_, res != nullptr ? PQresultErrorField(res, PG_DIAG_CONSTRAINT_NAME) : nullptr);
  // A catalog without its tables (42P01) was never set up on this database.
  if (lastSqlState_ == "42P01") why += "; run kxmp setup";
  if (PQstatus(conn_.get()) != CONNECTION_OK) number = CatalogErrc::kUnreachable;
  if (res == nullptr && number == CatalogErrc::kUnreadable) number = CatalogErrc::kUnreachable;
  return FXErrorUtil::ErrorErrNo(where, number, "Catalog [%s]: [%s] failed: %s (SQLSTATE %s)", name_.c_str(), sql,
                                 why.c_str(), lastSqlState_.empty() ? "none" : lastSqlState_.c_str());
}

CZoError PgConnection::WaitSocket(short events, int64_t deadlineMs, const char* sql) {
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    pollfd pfd{PQsocket(conn_.get()), events, 0};
    const int ready = left > 0 ? ::poll(&pfd, 1, static_cast<int>(left)) : 0;
    if (ready > 0) return CZoError::Success();
    if (ready < 0 && errno == EINTR) continue;
    const int why = ready < 0 ? errno : ETIMEDOUT;
    // Nothing more can be read from a connection in this state: the statement is cancelled
    // (so its backend stops waiting now, not at its own timeout) and the connection dropped.
    CancelInBackground(conn_.get());
    conn_.reset();
    return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreachable,
                                   "Catalog [%s]: [%s]: the control server's database did not answer within %d ms (%s)",
                                   name_.c_str(), sql, answerTimeoutMs_, std::strerror(why));
  }
}

template <typename Send>
CZoError PgConnection::Run(const char* sql, Send send, PgResult& out) {
  out.reset();
  const int64_t deadline = NowMs() + answerTimeoutMs_;
  if (PQsetnonblocking(conn_.get(), 1) != 0 || send() != 1) return Fail(FX_LOC, nullptr, sql);
  for (int flushed; (flushed = PQflush(conn_.get())) != 0;) {
    if (flushed < 0) return Fail(FX_LOC, nullptr, sql);
    CZoError err = WaitSocket(POLLIN | POLLOUT, deadline, sql);
    if (err.IsError()) return err;
    if (PQconsumeInput(conn_.get()) != 1) return Fail(FX_LOC, nullptr, sql);
  }
  PgResult failed;
  for (;;) {
    while (PQisBusy(conn_.get()) == 1) {
      CZoError err = WaitSocket(POLLIN, deadline, sql);
      if (err.IsError()) return err;
      if (PQconsumeInput(conn_.get()) != 1) return Fail(FX_LOC, nullptr, sql);
    }
    PgResult next(PQgetResult(conn_.get()));
    if (!next) break;
    const ExecStatusType status = PQresultStatus(next.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (!failed) failed = std::move(next);
    } else {
      out = std::move(next);
    }
  }
  if (failed) return Fail(FX_LOC, failed.get(), sql);
  if (!out) return Fail(FX_LOC, nullptr, sql);
  return CZoError::Success();
}

CZoError PgConnection::Exec(const char* sql, const std::vector<std::string>& params, PgResult& out) {
  out.reset();
  lastSqlState_.clear();
  if (!conn_) return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreachable, "Catalog [%s] is not open", name_.c_str());
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) {
    if (p.find('\0') != std::string::npos) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kInvalid, "Catalog [%s]: a text holds a NUL character",
                                     name_.c_str());
    }
    values.push_back(p.c_str());
  }
  return Run(
      sql,
      [&] {
        return PQsendQueryParams(conn_.get(), sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0);
      },
      out);
}

CZoError PgConnection::ExecScript(const char* script) {
  lastSqlState_.clear();
  if (!conn_) return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kUnreachable, "Catalog [%s] is not open", name_.c_str());
  PgResult ignored;
  return Run("the schema script", [&] { return PQsendQuery(conn_.get(), script); }, ignored);
}

int64_t PgInt64(const PGresult* res, int row, int column) {
  return std::strtoll(PQgetvalue(res, row, column), nullptr, 10);
}

std::string PgText(const PGresult* res, int row, int column) {
  return std::string(PQgetvalue(res, row, column), static_cast<size_t>(PQgetlength(res, row, column)));
}

}  // namespace kxmp::catalog
