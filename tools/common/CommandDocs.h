#pragma once
// Completion scripts (bash and zsh) and man pages made from a program's own command tree, the
// CLI11 application it parses with, so that they list exactly its subcommands and options.
//
// What an option's value is comes from its type name: DIR completes folders, FILE and PATH
// complete file names, and a choice validator ({online,offline}) completes its values. An
// application's footer "Example:\n  line\n  line" gives the examples of its page; lines of the
// footer that are not indented are part of its description.

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kxmp::tools {

// What the command tree does not say: the sections every page of the program shares.
struct ProgramDocs {
  std::string program;  // "kxmp"
  std::string version;
  std::string summary;  // the main page's NAME line: what the program does
  std::string pageTitle;  // the manual's title: "kxmp manual"
  // One page per subcommand (kxmp-backup.1), or the program's page alone.
  bool pagePerSubcommand = true;
  std::vector<std::pair<std::string, std::string>> exitStatus;  // status, meaning
  std::vector<std::pair<std::string, std::string>> environment;  // variable, meaning
  std::vector<std::pair<std::string, std::string>> files;  // path, what it holds
  std::vector<std::string> seeAlso;  // other programs' pages: "kxmp-host(1)"
};

// The bash completion script of the program (a file for bash-completion's completions/ folder).
std::string BashCompletion(const CLI::App& app, const ProgramDocs& docs);
// The zsh completion function of the program (a file "_<program>" for a folder of $fpath).
std::string ZshCompletion(const CLI::App& app, const ProgramDocs& docs);
// The man pages as (file name, roff text): "<program>.1" and, when pagePerSubcommand, one
// "<program>-<subcommand>.1" per subcommand, which also describes its own subcommands.
std::vector<std::pair<std::string, std::string>> ManPages(const CLI::App& app, const ProgramDocs& docs);

// Writes all of them below folder: man1/*.1, bash-completion/<program>, zsh/_<program>.
// The exit status of the program: 0, or 1 with the reason on standard error.
int WriteDocs(const CLI::App& app, const ProgramDocs& docs, const std::string& folder);

}  // namespace kxmp::tools
