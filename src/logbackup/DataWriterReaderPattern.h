#pragma once
// The regular-expression side of a log file search: the pattern compiled once per search.
//
// ECMAScript grammar, case-sensitive, searched anywhere in the name: "^" and "$" anchor the
// whole name (a name may hold a line break), Perl-only syntax such as "(?i)" makes the
// pattern invalid. The ECMAScript front end (DataWriterReaderPatternSyntax.h) checks the
// pattern and writes it for PCRE2, which runs it (JIT-compiled where available) under match,
// depth and heap limits: a runaway match (catastrophic backtracking, such as "^(a+)+$"
// against a long name) stops with an error, counted as no match. A pattern without any
// special character is searched as plain text, which gives the same answer faster.

#include <memory>
#include <string>

namespace kxmp::logbackup {

class SearchPattern {
 public:
  // Compiles the pattern; an invalid one is logged once (at error level).
  explicit SearchPattern(const std::string& pattern);
  ~SearchPattern();
  SearchPattern(const SearchPattern&) = delete;
  SearchPattern& operator=(const SearchPattern&) = delete;

  // True when the pattern is plain text or a valid expression; else false with the reason.
  // Logs nothing: for callers that refuse an invalid pattern before searching.
  static bool Check(const std::string& pattern, std::string& why);

  // False for an invalid pattern and for a runaway match (logged once per pattern).
  bool Search(const std::string& name);
  bool IsValid() const { return kind_ != Kind::Invalid; }

 private:
  struct Engine;
  enum class Kind { Literal, Regex, Invalid };
  std::string pattern_;
  Kind kind_ = Kind::Invalid;
  std::unique_ptr<Engine> engine_;
  bool runawayLogged_ = false;
};

}  // namespace kxmp::logbackup
