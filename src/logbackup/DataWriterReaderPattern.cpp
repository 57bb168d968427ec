#include "logbackup/DataWriterReaderPattern.h"

#include <cstring>
#include <exception>

#include "outside/log/Log.h"

namespace kxmp::logbackup {

SearchPattern::SearchPattern(const std::string& pattern) : pattern_(pattern) {
  if (pattern_.find_first_of("\\^$.|?*+()[]{}") == std::string::npos) {
    kind_ = Kind::Literal;
    return;
  }
  try {
    regex_.assign(pattern_, boost::regex::ECMAScript);
    kind_ = Kind::Regex;
  } catch (const std::exception& e) {
    kind_ = Kind::Invalid;
    KXLOG_ERROR("Search pattern [%s] is not a valid regular expression (%s); only file names equal to it match",
                pattern_.c_str(), e.what());
  }
}

bool SearchPattern::Search(const std::string& name) {
  switch (kind_) {
    case Kind::Literal:
      return name.find(pattern_) != std::string::npos;
    case Kind::Invalid:
      return false;
    case Kind::Regex:
      break;
  }
  try {
    return boost::regex_search(name, regex_, boost::match_default | boost::match_not_dot_newline);
  } catch (const std::exception& e) {
    if (!runawayLogged_) {
      runawayLogged_ = true;
      KXLOG_ERROR("Search pattern [%s] gave up on file name [%s] (%s); such names count as no match",
                  pattern_.c_str(), name.c_str(), e.what());
    }
    return false;
  }
}

}  // namespace kxmp::logbackup
