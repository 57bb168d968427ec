#pragma once
// A subcommand of the kxmp tool. Each group of subcommands lives in its own file and is
// listed in MakeCommands() (Commands.cpp).

#include <CLI/CLI.hpp>
#include <memory>
#include <vector>

namespace kxmp::cli {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the request failed or the host answered with an error code
constexpr int kExitUsage = 2;
constexpr int kExitNotFound = 3;  // what was asked for is nowhere: not a failure of a host
// kxmp get follows a database's restore-command convention: 1 is "not stored", and every
// other failure is above 125, the range a database takes as "stop the recovery" rather than
// "the archive ends here".
constexpr int kExitNotStored = 1;
constexpr int kExitGetFailed = 128;

class Command {
 public:
  virtual ~Command() = default;
  // Adds the subcommand with its options to the application.
  virtual CLI::App* Register(CLI::App& app) = 0;
  // Runs the subcommand after a successful parse; returns the exit status.
  virtual int Run() = 0;
  // The status to end with when the tool fails around the subcommand (a usage error found
  // while parsing, an exception): the tool's own status unless the subcommand has its own.
  virtual int StatusFor(int toolStatus) const { return toolStatus; }
  // False when this command line does not use the home (mount with --socket): a home that
  // setup did not make is then no reason to refuse it.
  virtual bool UsesHome() const { return true; }
};

// The tool's subcommands by name, in the order --help lists them.
struct CommandEntry {
  const char* name;  // as the command registers itself
  std::unique_ptr<Command> (*make)();
};
const std::vector<CommandEntry>& CommandTable();

// The commands to register for this command line. Registering all of them costs more than
// most single runs of the tool (each option is an allocated object), so a command line that
// names one subcommand, and no other subcommand's name anywhere, gets only that one; any
// other command line (help, a misspelt or missing subcommand, names CLI11 might read as a
// second subcommand) gets all of them, so its answer is the same as ever.
std::vector<std::unique_ptr<Command>> MakeCommands(int argc, char** argv);

}  // namespace kxmp::cli
