#pragma once
// The regular-expression side of a log file search: the pattern compiled once per search.
//
// ECMAScript grammar, case-sensitive, searched anywhere in the name. Boost.Regex runs it: it
// matches without recursion and gives up on a runaway match (catastrophic backtracking, such
// as "^(a+)+$" against a long name) with an error, where the standard library's engine would
// run for ages or overflow the stack. A pattern without any special character is searched as
// plain text, which gives the same answer faster.

#include <string>

#include <boost/regex.hpp>

namespace kxmp::logbackup {

class SearchPattern {
 public:
  // Compiles the pattern; an invalid one is logged once (at error level).
  explicit SearchPattern(const std::string& pattern);
  // False for an invalid pattern and for a runaway match (logged once per pattern).
  bool Search(const std::string& name);
  bool IsValid() const { return kind_ != Kind::Invalid; }

 private:
  enum class Kind { Literal, Regex, Invalid };
  std::string pattern_;
  Kind kind_ = Kind::Invalid;
  boost::regex regex_;
  bool runawayLogged_ = false;
};

}  // namespace kxmp::logbackup
