#include "Suggest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CliSupport.h"
#include "Command.h"

namespace kxmp::cli {

namespace {

// Optimal string alignment distance: insertions, deletions, substitutions and swaps of
// neighbours each cost one.
size_t Distance(const std::string& a, const std::string& b) {
  const size_t n = a.size(), m = b.size();
  std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
  for (size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = 1; j <= m; ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

// The subcommands named on the command line so far, outermost first.
std::vector<CLI::App*> ParsedChain(CLI::App& app) {
  std::vector<CLI::App*> chain{&app};
  for (;;) {
    CLI::App* next = nullptr;
    for (CLI::App* sub : chain.back()->get_subcommands({})) {
      if (sub->parsed()) next = sub;
    }
    if (next == nullptr) return chain;
    chain.push_back(next);
  }
}

std::string ChainName(const std::vector<CLI::App*>& chain) {
  std::string name = "kxmp";
  for (size_t i = 1; i < chain.size(); ++i) name += " " + chain[i]->get_name();
  return name;
}

// The arguments CLI11 did not expect, from its message ("... not expected: a b").
std::vector<std::string> Unexpected(const CLI::ParseError& error) {
  std::vector<std::string> words;
  const std::string text = error.what();
  const size_t colon = text.find("expected:");
  if (colon == std::string::npos) return words;
  std::string rest = text.substr(colon + std::strlen("expected:"));
  size_t pos = 0;
  while (pos < rest.size()) {
    const size_t start = rest.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    const size_t end = rest.find(' ', start);
    words.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
    pos = end == std::string::npos ? rest.size() : end;
  }
  return words;
}

// The first argument that is neither an option of the tool nor an option's value: what the
// user meant as the subcommand. Of the tool's own options only --home takes a value.
std::string FirstWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : std::string();
    if (arg.empty() || arg[0] != '-') return arg;
    if (arg == "--home") ++i;
  }
  return std::string();
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

std::string Closest(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  size_t bestDistance = std::string::npos;
  for (const std::string& c : candidates) {
    const size_t d = Distance(word, c);
    if (d < bestDistance) {
      bestDistance = d;
      best = c;
    }
  }
  // A slip is a few letters: at most a third of the word, and never the whole of it.
  const size_t limit = std::max<size_t>(1, std::min<size_t>(3, word.size() / 3 + 1));
  return bestDistance <= limit ? best : std::string();
}

int ReportUsageError(CLI::App& app, const CLI::ParseError& error, int argc, char** argv, int status) {
  const std::vector<CLI::App*> chain = ParsedChain(app);
  const std::string name = ChainName(chain);
  std::string message = error.what();
  const std::vector<std::string> unexpected = Unexpected(error);
  if (!unexpected.empty()) {
    const std::string& word = unexpected.front();
    std::vector<std::string> candidates;
    std::string suggestion;
    if (word.size() > 1 && word[0] == '-') {
      const std::string bare = word.substr(0, word.find('='));
      for (CLI::App* level : chain) {
        for (const CLI::Option* opt : level->get_options()) {
          for (const std::string& l : opt->get_lnames()) candidates.push_back("--" + l);
          for (const std::string& s : opt->get_snames()) candidates.push_back("-" + s);
        }
      }
      suggestion = Closest(bare, candidates);
      message = "unknown option '" + bare + "'";
    } else {
      for (CLI::App* sub : chain.back()->get_subcommands({})) candidates.push_back(sub->get_name());
      suggestion = Closest(word, candidates);
      message = (candidates.empty() ? "unexpected argument '" : "unknown subcommand '") + word + "'";
    }
    if (!suggestion.empty()) message += "; did you mean " + suggestion + "?";
  } else if (chain.size() == 1 && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
             message.find("subcommand") != std::string::npos) {
    std::vector<std::string> names;
    for (CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    const std::string word = FirstWord(argc, argv);
    if (!word.empty()) {
      message = "unknown subcommand '" + word + "'";
      const std::string suggestion = Closest(word, names);
      if (!suggestion.empty()) message += "; did you mean " + suggestion + "?";
    } else {
      message = "a subcommand is required:";
      for (const std::string& n : names) message += " " + n;
    }
  }
  if (WantsJson(argc, argv)) {
    Output::PrintJson({{"type", "error"}, {"command", name}, {"message", message}, {"exitStatus", status}});
  } else {
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for more.\n", name.c_str(), Printable(message).c_str(), name.c_str());
  }
  return status;
}

}  // namespace kxmp::cli
