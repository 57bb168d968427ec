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

#include <memory>
#include <string>
#include <vector>

namespace kxmp::test {

class PostgresServer {
 public:
  // The executable's cluster, started on first use. Null when the server cannot run here
  // (why says so: not installed, or no postgres user to run it as); a server that is
  // installed but fails to start is a test failure, reported through why as well.
  static PostgresServer* Shared(std::string& why, bool& installed);

  // A cluster of the test's own, started, with a database "kxmp": made by initdb with the
  // extra arguments (for example "--wal-segsize=1") and `config` added to postgresql.conf.
  // Null with why when the server cannot run here (installed false) or did not start.
  static std::unique_ptr<PostgresServer> Make(std::string& why, bool& installed,
                                              const std::vector<std::string>& initdbArgs = {},
                                              const std::string& config = "");
  // A folder for a cluster whose data() the caller fills (pg_basebackup -D), not started.
  static std::unique_ptr<PostgresServer> MakeEmpty(std::string& why, bool& installed);

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

  // The first column of the first row of a query in database "kxmp", as the superuser.
  bool Query(const std::string& sql, std::string& value, std::string& error) const;
  // Adds lines to the cluster's postgresql.conf (later lines win).
  bool Configure(const std::string& lines) const;

  // Stops and starts the server (the cluster and its data stay). A start that fails (the
  // server ended while starting) leaves its reason in the log.
  bool Stop();
  bool Start();
  bool running() const { return running_; }
  const std::string& folder() const { return folder_; }
  std::string data() const { return folder_ + "/data"; }
  std::string Log() const;
  // The server program of that name (pg_basebackup, pg_controldata ...).
  std::string Program(const std::string& name) const { return bin_ + "/" + name; }
  // The user the server runs as: postgres when the tests run as root, else the tests' own.
  std::string user() const;
  // Runs a server program as the user the server runs as, in the cluster's folder.
  bool RunAsOwner(const std::vector<std::string>& argv, std::string& output) const;

 private:
  PostgresServer() = default;
  // Finds the programs and makes the cluster's folder, the server's user's own.
  static std::unique_ptr<PostgresServer> Prepare(std::string& why, bool& installed);
  bool Init(std::string& why, const std::vector<std::string>& initdbArgs = {}, const std::string& config = "");

  std::string bin_;     // folder of initdb and pg_ctl
  std::string folder_;  // the temporary folder: data/, the socket, log
  std::string runuser_;
  bool running_ = false;
  int catalogs_ = 0;
};

}  // namespace kxmp::test

