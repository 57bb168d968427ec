#include "CliSupport.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "outside/log/CLogWriterInterface.h"
#include "outside/log/FileLogWriter.h"
#include "outside/util/FXPath.h"
#include "outside/util/KxHome.h"

namespace kxmp::cli {

void HomeOption::AddTo(CLI::App& cmd) {
  cmd.add_option("--home", home, "the kxmp home folder (default: $KX_HOME, else /var/lib/kxmp)");
}

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
  std::fprintf(stderr, "kxmp %s: %s\n", command_.c_str(), Printable(message).c_str());
  return status;
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

void StartLibraryLog() {
  std::string folder;
  if (kxmp::home::Ensure("log", folder).IsError()) return;
  auto writer = std::make_shared<FileLogWriter>(FXPath::Join(folder, "kxmp.log"), 0);
  // A writer that could not open its file would write to standard error, which belongs to
  // the tool's own messages.
  if (writer->IsOpen()) SetLogWriter(writer);
}

void SetExample(CLI::App* cmd, const std::string& example) { cmd->footer("Example:\n  " + example); }

namespace {
CLI::Validator WholeNumber(int64_t minimum, const std::string& rule) {
  return CLI::Validator(
      [minimum, rule](std::string& text) {
        int64_t value = 0;
        const char* end = text.data() + text.size();
        auto [ptr, ec] = std::from_chars(text.data(), end, value);
        const bool ok = !text.empty() && ec == std::errc() && ptr == end && value >= minimum;
        return ok ? std::string() : rule;
      },
      "INT64");
}
}  // namespace

const CLI::Validator kPositiveId = WholeNumber(1, "must be a whole number from 1 to 9223372036854775807");
const CLI::Validator kNonNegative = WholeNumber(0, "must be a whole number from 0 to 9223372036854775807");

}  // namespace kxmp::cli
