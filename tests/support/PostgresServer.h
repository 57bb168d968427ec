#pragma once
// A real PostgreSQL cluster for the tests of one executable: made with initdb in a temporary
// folder below /tmp on first use, started with pg_ctl listening on a Unix socket in that
// folder only (no TCP), and stopped and removed when the executable ends. The server refuses
// to run as root, so a root test runs initdb and pg_ctl as the postgres user (runuser). The
// cluster is made for speed, not durability (fsync off); tests get a schema each in one
// database.
//
//   void SetUp() override {
//     std::string why;
//     bool installed = false;
//     pg_ = PostgresServer::Shared(why, installed);
//     if (pg_ == nullptr && !installed) GTEST_SKIP() << why;  // no server can run here
//     ASSERT_NE(pg_, nullptr) << why;                          // it can, but did not start
//     conn_ = pg_->NewCatalog();                                // a fresh schema per test
//   }

#include <string>
#include <vector>

namespace kxmp::test {

class PostgresServer {
 public:
  // The executable's cluster, started on first use. Null when the server cannot run here
  // (why says so: not installed, or no postgres user to run it as); a server that is
  // installed but fails to start is a test failure, reported through why as well.
  static PostgresServer* Shared(std::string& why, bool& installed);

  ~PostgresServer();

  // A new empty schema in the executable's database, and the connection string whose
  // search path is that schema (making a database per test is too slow). schema (optional)
  // receives its name.
  std::string NewCatalog(std::string* schema = nullptr);
  // The connection to the schema as user (default the superuser).
  std::string Connection(const std::string& schema, const std::string& user = "postgres") const;
  // Runs statements as the superuser (roles, grants), in the executable's database or the
  // one named; false with error on failure.
  bool Exec(const std::string& sql, std::string& error, const std::string& database = std::string()) const;
  // A key=value connection to a database of the cluster as user.
  std::string DatabaseConnection(const std::string& database, const std::string& user) const;

  // Stops and starts the server (the cluster and its data stay).
  bool Stop();
  bool Start();
  bool running() const { return running_; }
  const std::string& folder() const { return folder_; }

 private:
  PostgresServer() = default;
  bool Init(std::string& why);
  // Runs a server program (as postgres when this process is root).
  bool RunAsOwner(const std::vector<std::string>& argv, std::string& output) const;

  std::string bin_;     // folder of initdb and pg_ctl
  std::string folder_;  // the temporary folder: data/, the socket, log
  std::string runuser_;
  bool running_ = false;
  int catalogs_ = 0;
};

}  // namespace kxmp::test

