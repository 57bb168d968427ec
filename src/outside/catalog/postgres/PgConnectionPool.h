#pragma once
// The catalog connections this process keeps open between calls. Opening one starts a
// backend on the server (about 20 ms on a quiet machine, against 0.1 ms for a look-up on an
// open connection), and a host asks the catalog on many requests.
//
// A connection is kept only when it is healthy and outside any transaction, and checked
// again, without waiting, before it is handed out (PgConnection::ReadyForReuse). One idle for
// longer than kMaxIdleMs is closed instead: a network path that silently forgets an idle
// connection would otherwise cost a statement its whole answer timeout. At most kMaxIdle are
// kept in all, the oldest closed first, so a process that names many catalogs holds few
// server slots. A process made by fork() never uses, nor closes, its parent's connections.
//
// This pool is the PostgreSQL module's one piece of process-wide state.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outside/catalog/postgres/PgConnection.h"

namespace kxmp::catalog {

class PgConnectionPool {
 public:
  static constexpr size_t kMaxIdle = 8;
  static constexpr int64_t kMaxIdleMs = 30000;

  static PgConnectionPool& Instance();

  // An idle connection to conninfo that is ready for use, or null.
  std::unique_ptr<PgConnection> Take(const std::string& conninfo);
  // Keeps the connection for the next caller when it is ready for reuse; closes it otherwise.
  void Give(const std::string& conninfo, std::unique_ptr<PgConnection> connection);
  // Closes every idle connection.
  void Clear();
  size_t IdleCount();

 private:
  struct Idle {
    std::string conninfo;
    std::unique_ptr<PgConnection> connection;
    int64_t sinceMs;
  };

  PgConnectionPool() = default;
  // In a process made by fork(), at once: forgets the parent's connections without ending them.
  void LeaveParentsInChild();

  std::mutex mutex_;
  std::vector<Idle> idle_;          // oldest first
  std::vector<PGconn*> abandoned_;  // the parent's, kept reachable and never finished
};

}  // namespace kxmp::catalog
