#include "support/PostgresServer.h"

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "outside/util/CZoFile.h"
#include "support/Subprocess.h"

namespace kxmp::test {

namespace {

constexpr const char* kPort = "5432";  // only names the socket file: no TCP listener
constexpr const char* kDatabase = "kxmp";

// The newest installed server's programs, e.g. /usr/lib/postgresql/15/bin.
std::string FindServerBin() {
  glob_t g{};
  std::string found;
  if (::glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0) {
    std::vector<std::string> all(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    std::sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;  // 9 before 15
    });
    found = all.back().substr(0, all.back().size() - std::string("/pg_ctl").size());
  }
  ::globfree(&g);
  return found;
}

std::string FirstExisting(std::initializer_list<const char*> paths) {
  for (const char* p : paths) {
    if (::access(p, X_OK) == 0) return p;
  }
  return std::string();
}

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};

}  // namespace

PostgresServer* PostgresServer::Shared(std::string& why, bool& installed) {
  static std::string failure;
  static bool runs = false;
  static std::unique_ptr<PostgresServer> server = [] {
    std::unique_ptr<PostgresServer> s = Prepare(failure, runs);
    if (s != nullptr && !s->Init(failure)) s.reset();
    return s;
  }();
  installed = runs;
  why = failure;
  return server.get();
}

std::unique_ptr<PostgresServer> PostgresServer::Make(std::string& why, bool& installed,
                                                     const std::vector<std::string>& initdbArgs,
                                                     const std::string& config) {
  std::unique_ptr<PostgresServer> s = Prepare(why, installed);
  if (s != nullptr && !s->Init(why, initdbArgs, config)) s.reset();
  return s;
}

std::unique_ptr<PostgresServer> PostgresServer::MakeEmpty(std::string& why, bool& installed) {
  return Prepare(why, installed);
}

std::unique_ptr<PostgresServer> PostgresServer::Prepare(std::string& why, bool& installed) {
  std::unique_ptr<PostgresServer> s(new PostgresServer());
  installed = false;
  s->bin_ = FindServerBin();
  if (s->bin_.empty()) {
    why = "needs a PostgreSQL server: none is installed (/usr/lib/postgresql/*/bin); scripts/deps installs it";
    return nullptr;
  }
  std::string tmpl = "/tmp/kxmp-pg-XXXXXX";
  if (::geteuid() == 0) {
    struct passwd* pw = ::getpwnam("postgres");
    s->runuser_ = FirstExisting({"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser"});
    if (pw == nullptr || s->runuser_.empty()) {
      why = "cannot run the PostgreSQL server as root, and there is no postgres user (or no runuser) to run it as";
      return nullptr;
    }
    installed = true;
    if (::mkdtemp(&tmpl[0]) == nullptr || ::chown(tmpl.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      why = "cannot make the cluster's folder below /tmp";
      return nullptr;
    }
  } else {
    installed = true;
    if (::mkdtemp(&tmpl[0]) == nullptr) {
      why = "cannot make the cluster's folder below /tmp";
      return nullptr;
    }
  }
  s->folder_ = tmpl;
  return s;
}

bool PostgresServer::RunAsOwner(const std::vector<std::string>& argv, std::string& output) const {
  // In the cluster's folder: the server programs refuse a working folder they cannot read.
  std::vector<std::string> command;
  if (!runuser_.empty()) command = {runuser_, "-u", "postgres", "--"};
  command.insert(command.end(), {"/usr/bin/env", "--chdir=" + folder_});
  command.insert(command.end(), argv.begin(), argv.end());
  RunResult r = RunTool(command, 120000);
  output = r.out + r.err;
  return r.status == 0;
}

std::string PostgresServer::user() const {
  if (!runuser_.empty()) return "postgres";
  struct passwd* pw = ::getpwuid(::geteuid());
  return pw != nullptr ? pw->pw_name : std::to_string(::geteuid());
}

bool PostgresServer::Init(std::string& why, const std::vector<std::string>& initdbArgs, const std::string& config) {
  std::string output;
  std::vector<std::string> initdb = {bin_ + "/initdb", "-D", data(), "-U", "postgres", "-A", "trust", "--no-sync",
                                     "--no-locale", "-E", "UTF8"};
  initdb.insert(initdb.end(), initdbArgs.begin(), initdbArgs.end());
  if (!RunAsOwner(initdb, output)) {
    why = "initdb failed: " + output;
    return false;
  }
  if (!config.empty() && !Configure(config)) {
    why = "cannot add to " + data() + "/postgresql.conf";
    return false;
  }
  if (!Start()) {
    why = "the PostgreSQL server did not start; its log is in " + folder_ + "/log";
    return false;
  }
  if (!RunAsOwner({bin_ + "/createdb", "-h", folder_, "-p", kPort, "-U", "postgres", kDatabase}, output)) {
    why = "createdb failed: " + output;
    return false;
  }
  return true;
}

bool PostgresServer::Configure(const std::string& lines) const {
  FILE* f = std::fopen((data() + "/postgresql.conf").c_str(), "a");
  if (f == nullptr) return false;
  const bool ok = std::fputs(("\n" + lines + "\n").c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

std::string PostgresServer::Log() const {
  std::string text;
  (void)CZoFile::ReadWholeFile(folder_ + "/log", text);
  return text;
}

PostgresServer::~PostgresServer() {
  if (running_) Stop();
  if (!folder_.empty()) CZoDirectory::Remove(folder_, true, false);
}

bool PostgresServer::Start() {
  std::string output;
  const std::string options = "-c listen_addresses='' -k " + folder_ + " -p " + kPort +
                              " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
  running_ = RunAsOwner({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-l", folder_ + "/log", "-w", "-t", "60", "-o",
                         options, "start"},
                        output);
  return running_;
}

bool PostgresServer::Stop() {
  std::string output;
  bool ok = RunAsOwner({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "fast", "-w", "-t", "60", "stop"}, output);
  if (ok) running_ = false;
  return ok;
}

std::string PostgresServer::Connection(const std::string& schema, const std::string& user) const {
  return "host=" + folder_ + " port=" + kPort + " dbname=" + kDatabase + " user=" + user +
         " options=-csearch_path=" + schema;
}

bool PostgresServer::Query(const std::string& sql, std::string& value, std::string& error) const {
  std::unique_ptr<PGconn, ConnCloser> c(PQconnectdb(Connection("public").c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK) {
    error = PQerrorMessage(c.get());
    return false;
  }
  PGresult* r = PQexec(c.get(), sql.c_str());
  const bool ok = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0;
  if (ok) value = PQgetvalue(r, 0, 0);
  if (!ok) error = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK ? "no rows" : PQerrorMessage(c.get());
  PQclear(r);
  return ok;
}

std::string PostgresServer::DatabaseConnection(const std::string& database, const std::string& user) const {
  return "host=" + folder_ + " port=" + kPort + " dbname=" + database + " user=" + user;
}

bool PostgresServer::Exec(const std::string& sql, std::string& error, const std::string& database) const {
  std::unique_ptr<PGconn, ConnCloser> c(
      PQconnectdb((database.empty() ? Connection("public") : DatabaseConnection(database, "postgres")).c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK) {
    error = PQerrorMessage(c.get());
    return false;
  }
  PGresult* r = PQexec(c.get(), sql.c_str());
  bool ok = r != nullptr && (PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK);
  if (!ok) error = PQerrorMessage(c.get());
  PQclear(r);
  return ok;
}

std::string PostgresServer::NewCatalog(std::string* schema) {
  const std::string name = "catalog_" + std::to_string(::getpid()) + "_" + std::to_string(++catalogs_);
  std::string error;
  if (!Exec("CREATE SCHEMA " + name, error)) ADD_FAILURE() << "cannot create schema " << name << ": " << error;
  if (schema != nullptr) *schema = name;
  return Connection(name);
}

}  // namespace kxmp::test
