#include "Command.h"

namespace kxmp::cli {

std::unique_ptr<Command> MakeMountCommand();
std::unique_ptr<Command> MakeSetupCommand();
std::unique_ptr<Command> MakeCatalogCommand();
std::unique_ptr<Command> MakeCacheCommand();
std::unique_ptr<Command> MakeFailoverCommand();
std::unique_ptr<Command> MakeEventsCommand();

std::vector<std::unique_ptr<Command>> MakeCommands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeMountCommand());
  commands.push_back(MakeSetupCommand());
  commands.push_back(MakeCatalogCommand());
  commands.push_back(MakeCacheCommand());
  commands.push_back(MakeFailoverCommand());
  commands.push_back(MakeEventsCommand());
  return commands;
}

}  // namespace kxmp::cli
