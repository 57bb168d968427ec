#include "Command.h"

namespace kxmp::cli {

std::unique_ptr<Command> MakeMountCommand();

std::vector<std::unique_ptr<Command>> MakeCommands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeMountCommand());
  return commands;
}

}  // namespace kxmp::cli
