// kxmp: administers a kxmp home and uses the mount-point service (in-process or through
// kxmp-host).
//
//   kxmp [--home DIR] [--json] [-v] [-q] [--version] SUBCOMMAND ...
//
// Exit status: 0 success, 1 failed, 2 usage error (also a home that kxmp setup did not
// make), 3 not found, 130/143 interrupted; kxmp get has its own (1 not stored, 128 any other
// failure).
//
// `kxmp --write-docs DIR` writes the man pages and completion scripts made from the command
// table (the build runs it).
#include <cstdio>
#include <exception>

#include <sqlite3.h>

#include "CliSupport.h"
#include "Main.h"
#include "Command.h"
#include "Suggest.h"
#include "common/CommandDocs.h"
#include "common/ToolHome.h"
#include "kxmp/Version.h"
#include "outside/util/KxHome.h"

namespace {

// A run of the tool makes a handful of catalog queries on one connection. SQLite's defaults
// suit long-lived processes: each connection's lookaside pool and the page cache's first bulk
// allocation (about 200 KiB, all touched at open) cost a short run more than they save. The
// settings are the process's, so the program sets them, before SQLite starts.
void TuneSqliteForShortRuns() {
  sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
  sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
}

// The status the subcommand named on the command line ends with when the tool fails.
int StatusOfParsed(const std::vector<std::pair<CLI::App*, kxmp::cli::Command*>>& registered, int toolStatus) {
  for (const auto& [sub, command] : registered) {
    if (sub->parsed()) return command->StatusFor(toolStatus);
  }
  return toolStatus;
}

// The sections of the pages that the command table does not hold.
kxmp::tools::ProgramDocs Docs() {
  const std::string home = kxmp::home::DefaultRoot();
  kxmp::tools::ProgramDocs docs;
  docs.program = "kxmp";
  docs.version = KxmpVersion();
  docs.pageTitle = "kxmp manual";
  docs.summary =
      "set up a kxmp home, describe the control server's catalog, talk to kxmp-host, and back up, find and restore "
      "log files on the storage hosts";
  docs.exitStatus = {{"0", "success"},
                     {"1", "a failed operation: the host, a storage host or the catalog failed or refused"},
                     {"2", "a usage error: an unknown subcommand or option, a value out of range, or a home that "
                           "kxmp setup did not make"},
                     {"3", "nothing found: the subclient is not in the catalog, nothing is cached, nothing matches"},
                     {"130, 143", "interrupted by SIGINT or SIGTERM"}};
  docs.environment = {{"KX_HOME", "the home folder when --home is not given (default " + home + ")"},
                      {"PGPASSFILE", "libpq's password file, for a catalog in PostgreSQL (default ~/.pgpass)"}};
  docs.files = {{"$KX_HOME/registry/", "the platform registry: the mount-point cache, storage hosts, settings"},
                {"$KX_HOME/catalog.db", "the control server's catalog (SQLite)"},
                {"$KX_HOME/locks/", "lock files"},
                {"$KX_HOME/log/", "events.log, kxmp-host.log and kxmp.log"},
                {"$KX_HOME/jobresults/", "file-mode log backups and data-path cache files"},
                {"$KX_HOME/run/mountpoint.sock", "the socket kxmp-host serves"}};
  docs.seeAlso = {"kxmp-host(1)"};
  return docs;
}

// Before a subcommand runs: every one but setup needs a home that setup made (a mistyped
// --home must not grow half a home; mount with --socket uses none), and root working on a
// home another user owns acts as that user. 0, or the exit status, said.
int PrepareHome(const std::string& command, bool usesHome) {
  using namespace kxmp::cli;
  const std::string home = HomeOption().Apply();
  const Output out(command, Globals().json);
  std::string why;
  if (command != "setup" && usesHome) {
    switch (kxmp::tools::ExamineHome(home, why)) {
      case kxmp::tools::HomeProblem::kNone:
        break;
      case kxmp::tools::HomeProblem::kNotAHome:
        return out.Fail(kExitUsage, home + " is not a kxmp home (" + why + "): run kxmp setup --home " + home);
      case kxmp::tools::HomeProblem::kUnreadable:
        // mount needs only the host's socket; connecting to it says what is in the way.
        if (command == "mount") break;
        {
          // Who is kept out and how to let them in, when that can be told.
          const std::string closed = HomeAccessProblem(home, false);
          return out.Fail(kExitFailed, closed.empty() ? "cannot use the home " + home + ": " + why : closed);
        }
    }
  }
  std::string user;
  if (!kxmp::tools::ActAsHomeOwner(home, user, why)) return out.Fail(kExitFailed, why);
  if (!user.empty() && Globals().verbose > 0) std::fprintf(stderr, "kxmp: acting as %s, who owns %s\n", user.c_str(), home.c_str());
  return kExitOk;
}

}  // namespace

int kxmp::cli::Main(int argc, char** argv) {
  TuneSqliteForShortRuns();
  CLI::App app{"kxmp: sets up a kxmp home, describes the control server's catalog, talks to kxmp-host and backs up,\n"
               "finds and restores log files on the storage hosts"};
  app.require_subcommand(1);
  // Options a subcommand does not know are tried on the tool itself: kxmp backup -v ... works.
  app.fallthrough();
  GlobalOptions& global = Globals();
  app.add_option("--home", global.home, HomeHelp())->type_name("DIR");
  app.add_flag("--json", global.json, "print one JSON object per line (errors too, as \"type\":\"error\")");
  app.add_flag("-v,--verbose", global.verbose, "show error frames with code locations and the library's detail log lines");
  app.add_flag("-q,--quiet", global.quiet, "print no progress");
  app.set_version_flag("--version", KxmpVersion(), "print the version and exit");
  SetExample(&app, "kxmp setup --home /srv/kxmp && kxmp --home /srv/kxmp catalog list");
  std::vector<std::unique_ptr<Command>> commands;
  std::vector<std::pair<CLI::App*, Command*>> registered;
  const bool writeDocs = argc == 3 && std::string(argv[1]) == "--write-docs";
  try {
    commands = MakeCommands(writeDocs ? 1 : argc, argv);
    for (auto& c : commands) registered.emplace_back(c->Register(app), c.get());
    if (writeDocs) return kxmp::tools::WriteDocs(app, Docs(), argv[2]);
    app.parse(argc, argv);
  } catch (const CLI::CallForVersion& e) {
    if (!WantsJson(argc, argv)) return app.exit(e) == 0 ? kExitOk : kExitUsage;
    Output::PrintJson({{"type", "version"}, {"program", "kxmp"}, {"version", KxmpVersion()}});
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? kExitOk : kExitUsage;  // --help
    return ReportUsageError(app, e, argc, argv, StatusOfParsed(registered, kExitUsage));
  }
  if (global.verbose > 0 && global.quiet) global.quiet = false;
  try {
    for (auto& [sub, command] : registered) {
      if (!sub->parsed()) continue;
      if (int status = PrepareHome(sub->get_name(), command->UsesHome())) return command->StatusFor(status);
      const int status = command->Run();
      SaySkippedStorageHosts(sub->get_name());
      return status;
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "kxmp: %s\n", ex.what());
    return StatusOfParsed(registered, kExitFailed);
  }
  return kExitUsage;
}
