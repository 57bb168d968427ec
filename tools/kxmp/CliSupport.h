#pragma once
// Pieces shared by the administration subcommands (setup, catalog, cache, failover, events):
// the home folder option, output as text or as JSON lines, aligned tables, the library's log
// file, and option checks.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outside/error/CZoError.h"

namespace kxmp::cli {

// JSON output keeps the order in which fields are added ("type" first).
using Json = nlohmann::ordered_json;

// Options of every subcommand. --home and --json may stand before the subcommand
// (kxmp --json cache show ...) or after it; -v, -q and --version stand before it.
struct GlobalOptions {
  std::string home;
  bool json = false;
  int verbose = 0;  // -v: error frames with code locations, the library's detail lines on stderr
  bool quiet = false;  // -q: no progress meter on a terminal
};
GlobalOptions& Globals();

// One line for a person: the failure's messages from the outermost inwards and, for an
// errno-kind error, the system's text for it. With -v: every frame with its code location.
std::string ErrorText(const CZoError& error);

// The exit status of a failed administration request: bad values are usage errors (2), what
// is not there is "not found" (3), a conflict or a failure to read, write or reach is 1.
int AdminExitStatus(const CZoError& err);

// The piece size of the tool's file copies.
constexpr unsigned int kCopyPiece = 1u << 20;

// --home: the folder the platform components read (registry, catalog, locks, log). The
// components take it from KX_HOME, so Apply() sets that before any library object is made.
// Every subcommand's --home and the global one set the same value.
struct HomeOption {
  std::string& home = Globals().home;

  void AddTo(CLI::App& cmd);
  // Exports a given --home (made absolute) as KX_HOME; the home in use afterwards.
  std::string Apply() const;
};

// Where a subcommand's results go. Text goes to standard output for people; with --json
// every line of standard output is one JSON object whose "type" is "status" (progress of a
// long operation), "summary" (the result) or "event". Errors always go to standard error as
// text naming the subcommand.
class Output {
 public:
  Output(std::string command, const bool& json) : command_(std::move(command)), json_(json) {}

  bool json() const { return json_; }
  // Progress: a text line, or {"type":"status","message":...}.
  void Status(const std::string& message) const;
  // The result: the text (may be several lines), or the fields with "type":"summary".
  void Summary(Json fields, const std::string& text) const;
  // One JSON object on a line of its own.
  static void PrintJson(const Json& object);
  // The failure for a person: "kxmp <command>: <message>" on standard error, or with --json
  // {"type":"error","command":...,"message":...,"exitStatus":N} on standard output.
  // Returns status.
  int Fail(int status, const std::string& message) const;
  // A failure that does not end the run (one file of many): "kxmp <command>: <message>" on
  // standard error, or {"type":"error","command":...,<fields>,"message":...} on standard
  // output.
  void Error(const std::string& message, const Json& fields = Json::object()) const;
  // Something the operator must know that does not fail the run: "kxmp <command>: warning:
  // <message>" on standard error, or {"type":"warning","command":...,<fields>,"message":...}.
  void Warning(const std::string& message, const Json& fields = Json::object()) const;
  // The message of the last Fail, Error or Warning (for the operator event of a failed run).
  const std::string& LastError() const { return last_; }

 private:
  void Report(const char* type, const std::string& message, const Json& fields) const;

  std::string command_;
  const bool& json_;  // bound to the subcommand's --json flag, which CLI11 sets when parsing
  mutable std::string last_;
};

// A table with a header row; every column as wide as its widest cell.
class Table {
 public:
  explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  bool empty() const { return rows_.size() <= 1; }
  // The rows, each indented by `indent` spaces and ending in a newline.
  std::string Render(size_t indent = 2) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

// The text with control bytes (but not line breaks) written as \xHH, so that names read from
// the registry, the catalog or the event log cannot drive the terminal.
std::string Printable(const std::string& text);

// Sends the library's log lines to <home>/log/kxmp.log (level 0) for subcommands that run
// the service in-process; without a writable log folder the lines are dropped. With -v the
// lines up to the detail level go to standard error as well.
void StartLibraryLog();

// The user this process runs as, for messages about permissions: "postgres (uid 112)".
std::string RunningUser();
// "; kxmp runs as user postgres (uid 112)" for an error that is a refused permission; else
// empty. A database runs kxmp as its own user, which is rarely the one who set kxmp up.
std::string PermissionNote(const CZoError& err);
// Empty when this user may use the home as the log backup subcommands do (writes: the
// registry, locks, log and job results folders writable too); else one line naming the path
// that refuses, the user, the path's owner and mode, and the setup that hands the home over.
// A home or folder that does not exist is left to the subcommand.
std::string HomeAccessProblem(const std::string& home, bool writes);

// A warning line for each storage host the library skipped in this run, with the reason (a
// host that could not be connected to: its contexts failed over): "kxmp <command>: warning:
// storage host NAME was skipped: REASON" on standard error, or with --json
// {"type":"warning","command":...,"host":...,"reason":...,"security":bool} on standard output.
void SaySkippedStorageHosts(const std::string& command);

// The text of the home's default for --help.
std::string HomeHelp();

// Example lines for --help.
void SetExample(CLI::App* cmd, const std::string& example);

}  // namespace kxmp::cli
