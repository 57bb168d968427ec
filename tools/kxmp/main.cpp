// kxmp: administers a kxmp home and uses the mount-point service (in-process or through
// kxmp-host).
//
//   kxmp [--home DIR] [--json] [-v] [-q] [--version] SUBCOMMAND ...
//
// Exit status: 0 success, 1 failed, 2 usage error, 3 not found, 130/143 interrupted; kxmp get
// has its own (1 not stored, 128 any other failure).
//
// Built as the tool module (libkxmp-tool.so) that the front end (FrontEnd.c) loads.
#include <cstdio>
#include <exception>

#include <sqlite3.h>

#include "CliSupport.h"
#include "Command.h"
#include "Suggest.h"
#include "ToolModule.h"
#include "kxmp/Version.h"

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

int ToolMain(int argc, char** argv) {
  using namespace kxmp::cli;
  TuneSqliteForShortRuns();
  CLI::App app{"kxmp: sets up a kxmp home, describes the control server's catalog, talks to kxmp-host and backs up,\n"
               "finds and restores log files on the storage hosts"};
  app.require_subcommand(1);
  // Options a subcommand does not know are tried on the tool itself: kxmp backup -v ... works.
  app.fallthrough();
  GlobalOptions& global = Globals();
  app.add_option("--home", global.home, HomeHelp());
  app.add_flag("--json", global.json, "print one JSON object per line (errors too, as \"type\":\"error\")");
  app.add_flag("-v,--verbose", global.verbose, "show error frames with code locations and the library's detail log lines");
  app.add_flag("-q,--quiet", global.quiet, "print no progress");
  app.set_version_flag("--version", KxmpVersion(), "print the version and exit");
  SetExample(&app, "kxmp setup --home /srv/kxmp && kxmp --home /srv/kxmp catalog list");
  std::vector<std::unique_ptr<Command>> commands;
  std::vector<std::pair<CLI::App*, Command*>> registered;
  try {
    commands = MakeCommands(argc, argv);
    for (auto& c : commands) registered.emplace_back(c->Register(app), c.get());
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? kExitOk : kExitUsage;  // --help, --version
    return ReportUsageError(app, e, argc, argv, StatusOfParsed(registered, kExitUsage));
  }
  if (global.verbose > 0 && global.quiet) global.quiet = false;
  try {
    for (auto& [sub, command] : registered) {
      if (sub->parsed()) {
        const int status = command->Run();
        SaySkippedStorageHosts(sub->get_name());
        return status;
      }
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "kxmp: %s\n", ex.what());
    return StatusOfParsed(registered, kExitFailed);
  }
  return kExitUsage;
}

const struct kxmp_tool_module kTool{KXMP_TOOL_MODULE_ABI, KXMP_TOOL_VERSION, &ToolMain};

}  // namespace

extern "C" __attribute__((visibility("default"))) const struct kxmp_tool_module* kxmp_tool_module() { return &kTool; }
