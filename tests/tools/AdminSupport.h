#pragma once
// Runs the kxmp tool against the test's home and reads its JSON output.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/Subprocess.h"

namespace kxmp::test {

inline const std::string kKxmpTool = KXMP_BINARY_DIR "/tools/kxmp/kxmp";

// kxmp with the arguments (the home comes from KX_HOME, which children inherit).
inline RunResult Kxmp(std::vector<std::string> args) {
  args.insert(args.begin(), kKxmpTool);
  return RunTool(args);
}

// Every line of the output parsed as JSON (a line that is not JSON becomes a string).
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = out.substr(start, nl - start);
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    lines.push_back(parsed.is_discarded() ? nlohmann::json(line) : parsed);
  }
  return lines;
}

// The last line of the output, which with --json is the summary.
inline nlohmann::json Summary(const RunResult& r) {
  std::vector<nlohmann::json> lines = JsonLines(r.out);
  return lines.empty() ? nlohmann::json() : lines.back();
}

}  // namespace kxmp::test
