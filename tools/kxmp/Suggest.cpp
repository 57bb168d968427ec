#include "Suggest.h"

#include <algorithm>
#include <cctype>
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

// What a command line names that no command knows: the first option that none of the
// commands named so far has, or else the first word where a subcommand was due and none has
// that name; with the commands named up to that point.
struct Stray {
  std::string option;
  std::string subcommand;
  std::vector<CLI::App*> chain;
};

const CLI::Option* FindOption(const std::vector<CLI::App*>& chain, const std::string& name) {
  for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
    for (const CLI::Option* opt : (*level)->get_options()) {
      for (const std::string& l : opt->get_lnames()) {
        if (name == "--" + l) return opt;
      }
      for (const std::string& s : opt->get_snames()) {
        if (name == "-" + s) return opt;
      }
    }
  }
  return nullptr;
}

Stray FindStray(CLI::App& app, int argc, char** argv) {
  Stray stray;
  std::vector<CLI::App*> chain{&app};
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    const bool number = word.size() > 1 && (std::isdigit(static_cast<unsigned char>(word[1])) != 0 || word[1] == '.');
    if (word.size() > 1 && word[0] == '-' && !number) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* opt = FindOption(chain, name);
      if (opt == nullptr && name.size() > 2 && name[1] != '-') {
        // -vq: short flags written together
        bool all = true;
        for (size_t k = 1; k < name.size() && all; ++k) all = FindOption(chain, std::string("-") + name[k]) != nullptr;
        if (all) continue;
      }
      if (opt == nullptr) {
        stray.option = name;
        stray.chain = chain;
        return stray;
      }
      if (opt->get_items_expected_min() > 0 && word.find('=') == std::string::npos) ++i;  // its value
      continue;
    }
    std::vector<CLI::App*> subs = chain.back()->get_subcommands({});
    CLI::App* next = nullptr;
    for (CLI::App* sub : subs) {
      if (sub->check_name(word)) next = sub;
    }
    if (next != nullptr) {
      chain.push_back(next);
    } else if (!subs.empty() && chain.back()->get_require_subcommand_min() > 0) {
      // What follows a misspelt subcommand cannot be judged: its options are not known.
      stray.subcommand = word;
      stray.chain = chain;
      return stray;
    }
  }
  return stray;
}

}  // namespace

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

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
  std::vector<CLI::App*> chain = ParsedChain(app);
  std::string message = error.what();
  const Stray stray = FindStray(app, argc, argv);
  const std::vector<std::string> unexpected = Unexpected(error);
  if (!stray.option.empty()) {
    // Before any other complaint: a misspelt option also leaves its real one missing.
    chain = stray.chain;
    std::vector<std::string> candidates;
    for (CLI::App* level : chain) {
      for (const CLI::Option* opt : level->get_options()) {
        for (const std::string& l : opt->get_lnames()) candidates.push_back("--" + l);
        for (const std::string& s : opt->get_snames()) candidates.push_back("-" + s);
      }
    }
    message = "unknown option '" + stray.option + "'";
    const std::string suggestion = Closest(stray.option, candidates);
    if (!suggestion.empty()) message += "; did you mean " + suggestion + "?";
  } else if (!stray.subcommand.empty()) {
    chain = stray.chain;
    std::vector<std::string> names;
    for (CLI::App* sub : chain.back()->get_subcommands({})) names.push_back(sub->get_name());
    message = "unknown subcommand '" + stray.subcommand + "'";
    const std::string suggestion = Closest(stray.subcommand, names);
    if (!suggestion.empty()) message += "; did you mean " + suggestion + "?";
  } else if (!unexpected.empty()) {
    message = (chain.back()->get_subcommands({}).empty() ? "unexpected argument '" : "unknown subcommand '") +
              unexpected.front() + "'";
  } else if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
             message.find("subcommand") != std::string::npos) {
    message = "a subcommand is required:";
    for (CLI::App* sub : chain.back()->get_subcommands({})) message += " " + sub->get_name();
  }
  const std::string name = ChainName(chain);
  if (WantsJson(argc, argv)) {
    Output::PrintJson({{"type", "error"}, {"command", name}, {"message", message}, {"exitStatus", status}});
  } else {
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for more.\n", name.c_str(), Printable(message).c_str(), name.c_str());
  }
  return status;
}

}  // namespace kxmp::cli
