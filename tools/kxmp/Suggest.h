#pragma once
// Usage errors for a person: what was wrong, and for a mistyped subcommand or option the
// closest one that exists ("did you mean backup?").

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace kxmp::cli {

// The candidate nearest to word by edit distance (a swap of two neighbours counts as one
// edit), when near enough to be a typing slip; else empty.
std::string Closest(const std::string& word, const std::vector<std::string>& candidates);

// True when --json stands on the command line (before any "--").
bool WantsJson(int argc, char** argv);

// Prints the parse error (with a suggestion where one fits, as a JSON line with --json) and
// returns status, the subcommand's status for a usage error.
int ReportUsageError(CLI::App& app, const CLI::ParseError& error, int argc, char** argv, int status);

}  // namespace kxmp::cli
