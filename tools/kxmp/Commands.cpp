#include "Command.h"

namespace kxmp::cli {

std::unique_ptr<Command> MakeSetupCommand();
std::unique_ptr<Command> MakeCatalogCommand();
std::unique_ptr<Command> MakeControlServerCommand();
std::unique_ptr<Command> MakeMountCommand();
std::unique_ptr<Command> MakeCacheCommand();
std::unique_ptr<Command> MakeFailoverCommand();
std::unique_ptr<Command> MakeBackupCommand();
std::unique_ptr<Command> MakeSearchCommand();
std::unique_ptr<Command> MakeRestoreCommand();
std::unique_ptr<Command> MakeEventsCommand();

// In the order a new user meets them: set up, describe the storage, then use it.
std::vector<std::unique_ptr<Command>> MakeCommands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeSetupCommand());
  commands.push_back(MakeCatalogCommand());
  commands.push_back(MakeControlServerCommand());
  commands.push_back(MakeMountCommand());
  commands.push_back(MakeCacheCommand());
  commands.push_back(MakeFailoverCommand());
  commands.push_back(MakeBackupCommand());
  commands.push_back(MakeSearchCommand());
  commands.push_back(MakeRestoreCommand());
  commands.push_back(MakeEventsCommand());
  return commands;
}

}  // namespace kxmp::cli
