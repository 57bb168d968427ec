#pragma once
// The kxmp tool's main: parses the command line, runs the subcommand, returns the exit status.
// Program.cpp is the program around it; tests run it in their own process.

namespace kxmp::cli {
int Main(int argc, char** argv);
}  // namespace kxmp::cli
