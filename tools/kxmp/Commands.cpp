#include "Command.h"

namespace kxmp::cli {

std::unique_ptr<Command> MakeMountCommand();
std::unique_ptr<Command> MakeBackupCommand();
std::unique_ptr<Command> MakeSearchCommand();
std::unique_ptr<Command> MakeRestoreCommand();

std::vector<std::unique_ptr<Command>> MakeCommands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeMountCommand());
  commands.push_back(MakeBackupCommand());
  commands.push_back(MakeSearchCommand());
  commands.push_back(MakeRestoreCommand());
  return commands;
}

}  // namespace kxmp::cli
