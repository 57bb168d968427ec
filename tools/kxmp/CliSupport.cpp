#include "CliSupport.h"
#include "Command.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "outside/dataserver/StorageHostNotices.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/CLogWriterInterface.h"
#include "outside/log/FileLogWriter.h"
#include "outside/log/Log.h"
#include "outside/util/ControlBytes.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
#include "outside/util/KxHome.h"

namespace kxmp::cli {

GlobalOptions& Globals() {
  static GlobalOptions options;
  return options;
}

int AdminExitStatus(const CZoError& err) {
  if (FXErrorUtil::IsErrNo(err, EINVAL)) return kExitUsage;
  if (FXErrorUtil::IsErrNo(err, ENOENT)) return kExitNotFound;
  return kExitFailed;
}

std::string ErrorText(const CZoError& error) {
  if (Globals().verbose > 0) return error.AsString();
  // Outermost first: "what failed" reads before "why".
  std::string text;
  const auto& frames = error.Frames();
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    std::string message = it->message;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == ',')) {
      message.pop_back();
    }
    if (message.empty() || text.find(message) != std::string::npos) continue;
    if (!text.empty()) text += ": ";
    text += message;
  }
  if (FXErrorUtil::GetKind(error) == FXErrorUtil::Kind::ErrNo) {
    const int number = FXErrorUtil::Number(error);
    const std::string why = std::strerror(number);
    // The library's own codes of the errno kind (774: no data path) have no system text.
    const bool known = why.rfind("Unknown error", 0) != 0;
    if (known && text.find(why) == std::string::npos) text += (text.empty() ? "" : ": ") + why;
  }
  if (text.empty()) {
    text = FXString::Format("error %d", FXErrorUtil::Number(error));
  }
  return text;
}

std::string HomeHelp() { return std::string("the kxmp home folder (default: $KX_HOME, else ") + kxmp::home::DefaultRoot() + ")"; }

void HomeOption::AddTo(CLI::App& cmd) { cmd.add_option("--home", home, HomeHelp())->type_name("DIR"); }

std::string HomeOption::Apply() const {
  if (!home.empty()) {
    std::string absolute = home;
    if (absolute[0] != '/') {
      // The library may run long after a working-folder change; pin the folder now.
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = FXPath::Join(cwd, home);
    }
    ::setenv("KX_HOME", absolute.c_str(), 1);
  }
  return kxmp::home::Root();
}

void Output::Status(const std::string& message) const {
  if (json_) {
    PrintJson({{"type", "status"}, {"message", message}});
  } else {
    std::printf("%s\n", Printable(message).c_str());
    std::fflush(stdout);
  }
}

void Output::Summary(Json fields, const std::string& text) const {
  SaySkippedStorageHosts(command_);  // before the result: a summary is the last line
  if (json_) {
    Json line = {{"type", "summary"}};
    line.update(fields);
    PrintJson(line);
  } else if (!text.empty()) {
    std::fputs(Printable(text).c_str(), stdout);
    if (text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

void Output::PrintJson(const Json& object) {
  // Texts from the registry or a storage host need not be UTF-8: replace what is not.
  const std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int Output::Fail(int status, const std::string& message) const {
  SaySkippedStorageHosts(command_);
  Error(message, {{"exitStatus", status}});
  return status;
}

void Output::Report(const char* type, const std::string& message, const Json& fields) const {
  last_ = message;
  const bool warning = std::string(type) == "warning";
  if (json_) {
    Json line = {{"type", type}, {"command", command_}, {"message", message}};
    line.update(fields);
    PrintJson(line);
  } else {
    std::fprintf(stderr, "kxmp %s: %s%s\n", command_.c_str(), warning ? "warning: " : "", Printable(message).c_str());
  }
}

void Output::Error(const std::string& message, const Json& fields) const { Report("error", message, fields); }

void Output::Warning(const std::string& message, const Json& fields) const { Report("warning", message, fields); }

std::string Table::Render(size_t indent) const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows_) {
    std::string line(indent, ' ');
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::string Printable(const std::string& text) { return EscapeControlBytes(text, true); }

namespace {

// The library's lines go to the home's log file and, with -v, up to the detail level to
// standard error as well.
class ToolLogWriter : public CLogWriterInterface {
 public:
  ToolLogWriter(std::shared_ptr<FileLogWriter> file, bool toStderr) : file_(std::move(file)), stderr_(toStderr) {}
  int GetLevel() const override {
    int level = file_ ? file_->GetLevel() : -1;
    return stderr_ ? std::max(level, kxmp::log::kDetail) : level;
  }

 protected:
  void WriteLine(int level, const char* function, int line, int arg1, int arg2, const std::string& message) override {
    if (file_ && kxmp::log::Enabled(level, file_->GetLevel())) file_->Write(level, function, line, arg1, arg2, "%s", message.c_str());
    if (stderr_ && kxmp::log::Enabled(level, kxmp::log::kDetail)) {
      std::fprintf(stderr, "kxmp: log %d %s:%d: %s\n", level, function, line, Printable(message).c_str());
    }
  }

 private:
  std::shared_ptr<FileLogWriter> file_;
  bool stderr_;
};

}  // namespace

void StartLibraryLog() {
  std::string folder;
  std::shared_ptr<FileLogWriter> file;
  if (kxmp::home::Ensure("log", folder).IsSuccess()) {
    file = std::make_shared<FileLogWriter>(FXPath::Join(folder, "kxmp.log"), 0);
    // A writer that could not open its file would write to standard error, which belongs to
    // the tool's own messages.
    if (!file->IsOpen()) file.reset();
  }
  const bool verbose = Globals().verbose > 0;
  if (file || verbose) SetLogWriter(std::make_shared<ToolLogWriter>(std::move(file), verbose));
}

namespace {

std::string UserName(uid_t uid) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return std::to_string(uid);
}

// The first folder from the root down to path that this user may not pass through; path when
// every folder above it may be passed.
std::string FirstClosed(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::faccessat(AT_FDCWD, folder.c_str(), X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM)) return folder;
  }
  return path;
}

}  // namespace

std::string RunningUser() {
  const uid_t uid = ::geteuid();
  return UserName(uid) + " (uid " + std::to_string(uid) + ")";
}

std::string PermissionNote(const CZoError& err) {
  if (!FXErrorUtil::IsErrNo(err, EACCES) && !FXErrorUtil::IsErrNo(err, EPERM)) return std::string();
  return "; kxmp runs as user " + RunningUser();
}

std::string HomeAccessProblem(const std::string& home, bool writes) {
  struct Need {
    const char* name;
    int mode;
    bool forWrites;
  };
  static const Need kNeeds[] = {{"", X_OK, false},
                                {"registry", R_OK | X_OK, false},
                                {"catalog.db", R_OK, false},
                                {"registry", W_OK, true},
                                {"locks", W_OK | X_OK, true},
                                {"log", W_OK | X_OK, true},
                                {"jobresults", W_OK | X_OK, true}};
  for (const Need& need : kNeeds) {
    if (need.forWrites && !writes) continue;
    std::string path = *need.name != '\0' ? FXPath::Join(home, need.name) : home;
    if (::faccessat(AT_FDCWD, path.c_str(), need.mode, AT_EACCESS) == 0) continue;
    if (errno != EACCES && errno != EPERM) continue;  // missing: the subcommand says so
    if (*need.name == '\0') path = FirstClosed(path);
    struct stat st {};
    std::string whose;
    if (::stat(path.c_str(), &st) == 0) {
      whose = " (it belongs to " + UserName(st.st_uid) + ", mode " +
              FXString::Format("%04o", static_cast<unsigned>(st.st_mode & 07777)) + ")";
    }
    return "Permission denied: user " + RunningUser() + " cannot " +
           (need.mode & W_OK ? "write to " : need.mode == X_OK ? "reach " : "read ") + path + whose +
           "; to hand the kxmp home to this user, run as root: kxmp setup --home " + home + " --owner " +
           UserName(::geteuid());
  }
  return std::string();
}

void SetExample(CLI::App* cmd, const std::string& example) { cmd->footer("Example:\n  " + example); }

void SaySkippedStorageHosts(const std::string& command) {
  for (const dataserver::StorageHostNotice& n : dataserver::TakeStorageHostNotices()) {
    if (Globals().json) {
      Output::PrintJson({{"type", "warning"},
                         {"command", command},
                         {"host", n.host},
                         {"reason", n.reason},
                         {"security", n.security}});
    } else {
      std::fprintf(stderr, "kxmp %s: warning: storage host %s was skipped: %s\n", command.c_str(),
                   Printable(n.host).c_str(), Printable(n.reason).c_str());
    }
  }
}

}  // namespace kxmp::cli
