#include "CliSupport.h"
#include "Command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/CLogWriterInterface.h"
#include "outside/log/FileLogWriter.h"
#include "outside/log/Log.h"
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
  Error(message, {{"exitStatus", status}});
  return status;
}

void Output::Error(const std::string& message, const Json& fields) const {
  if (json_) {
    Json line = {{"type", "error"}, {"command", command_}, {"message", message}};
    line.update(fields);
    PrintJson(line);
  } else {
    std::fprintf(stderr, "kxmp %s: %s\n", command_.c_str(), Printable(message).c_str());
  }
}

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

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\n') || c == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

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

void SetExample(CLI::App* cmd, const std::string& example) { cmd->footer("Example:\n  " + example); }

}  // namespace kxmp::cli
