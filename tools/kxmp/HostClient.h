#pragma once
// The tool's side of a session with kxmp-host: where the host listens, and one request
// message out, one response message back.

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "CliSupport.h"
#include "outside/error/CZoError.h"
#include "outside/xml/CNMessageBase.h"

namespace kxmp::cli {

// Options every subcommand that talks to the host takes.
struct HostOptions {
  std::string socket;  // empty: <home>/run/mountpoint.sock
  std::string& home = Globals().home;  // empty: $KX_HOME, else the built-in default
  int timeoutSeconds = 120;

  void AddTo(CLI::App& cmd);
  std::string SocketPath() const;
};

// Sends the request and waits for the response. On failure says why through out (naming
// kxmp-host when nothing serves the socket; a JSON error line with --json) and returns false.
bool Exchange(const HostOptions& options, const CNMessageBase& request, std::unique_ptr<CNMessageBase>& response,
              const Output& out);

}  // namespace kxmp::cli
