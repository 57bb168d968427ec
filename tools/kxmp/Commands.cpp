#include "Command.h"

#include <string>

namespace kxmp::cli {

std::unique_ptr<Command> MakeSetupCommand();
std::unique_ptr<Command> MakeCatalogCommand();
std::unique_ptr<Command> MakeStorageHostCommand();
std::unique_ptr<Command> MakeControlServerCommand();
std::unique_ptr<Command> MakeMountCommand();
std::unique_ptr<Command> MakeCacheCommand();
std::unique_ptr<Command> MakeFailoverCommand();
std::unique_ptr<Command> MakeBackupCommand();
std::unique_ptr<Command> MakePushCommand();
std::unique_ptr<Command> MakeGetCommand();
std::unique_ptr<Command> MakeSearchCommand();
std::unique_ptr<Command> MakeRestoreCommand();
std::unique_ptr<Command> MakeVerifyCommand();
std::unique_ptr<Command> MakeExpireCommand();
std::unique_ptr<Command> MakeEventsCommand();

// In the order a new user meets them: set up, describe the storage, then use it.
const std::vector<CommandEntry>& CommandTable() {
  static const std::vector<CommandEntry> table{
      {"setup", MakeSetupCommand},       {"catalog", MakeCatalogCommand}, {"storage-host", MakeStorageHostCommand},
      {"control-server", MakeControlServerCommand}, {"mount", MakeMountCommand}, {"cache", MakeCacheCommand},
      {"failover", MakeFailoverCommand}, {"backup", MakeBackupCommand}, {"search", MakeSearchCommand},
      {"restore", MakeRestoreCommand},   {"verify", MakeVerifyCommand},   {"expire", MakeExpireCommand},
      {"push", MakePushCommand},         {"get", MakeGetCommand},
      {"events", MakeEventsCommand},
  };
  return table;
}

namespace {

const CommandEntry* Find(const std::string& word) {
  for (const CommandEntry& e : CommandTable()) {
    if (word == e.name) return &e;
  }
  return nullptr;
}

// The subcommand a command line names, or null when it should see every command. Only the
// tool's own options may come before the subcommand; --home takes the next word.
const CommandEntry* OnlyCommandNamed(int argc, char** argv) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return nullptr;
    if (word == "--home") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] != '-') break;
  }
  if (i >= argc) return nullptr;
  const CommandEntry* named = Find(argv[i]);
  if (named == nullptr) return nullptr;
  for (int j = i + 1; j < argc; ++j) {
    const CommandEntry* other = Find(argv[j]);
    if (other != nullptr && other != named) return nullptr;
  }
  return named;
}

}  // namespace

std::vector<std::unique_ptr<Command>> MakeCommands(int argc, char** argv) {
  std::vector<std::unique_ptr<Command>> commands;
  if (const CommandEntry* only = OnlyCommandNamed(argc, argv)) {
    commands.push_back(only->make());
    return commands;
  }
  for (const CommandEntry& e : CommandTable()) commands.push_back(e.make());
  return commands;
}

}  // namespace kxmp::cli
