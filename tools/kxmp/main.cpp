// kxmp: the command-line client of kxmp-host.
//
// Exit status: 0 success, 1 failure (including an error code in the host's answer),
// 2 usage errors.
#include <cstdio>
#include <exception>

#include "Command.h"

int main(int argc, char** argv) {
  using namespace kxmp::cli;
  CLI::App app{"kxmp: talks to the mount-point service host (kxmp-host)"};
  app.require_subcommand(1);
  std::vector<std::unique_ptr<Command>> commands;
  std::vector<std::pair<CLI::App*, Command*>> registered;
  try {
    commands = MakeCommands();
    for (auto& c : commands) registered.emplace_back(c->Register(app), c.get());
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  try {
    for (auto& [sub, command] : registered) {
      if (sub->parsed()) return command->Run();
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "kxmp: %s\n", ex.what());
    return kExitFailed;
  }
  return kExitUsage;
}
