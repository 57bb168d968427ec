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

class Command {
 public:
  virtual ~Command() = default;
  // Adds the subcommand with its options to the application.
  virtual CLI::App* Register(CLI::App& app) = 0;
  // Runs the subcommand after a successful parse; returns the exit status.
  virtual int Run() = 0;
};

std::vector<std::unique_ptr<Command>> MakeCommands();

}  // namespace kxmp::cli
