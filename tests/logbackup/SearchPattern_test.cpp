// Search patterns follow ECMAScript (non-Unicode, with the web-compatibility annex) on names
// held as UTF-8, whatever engine runs them.

#include "logbackup/DataWriterReaderPattern.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TempHome.h"

namespace kxmp::test {
namespace {

using logbackup::SearchPattern;

class SearchPatternTest : public HomeTest {
 protected:
  bool Matches(const std::string& pattern, const std::string& name) { return SearchPattern(pattern).Search(name); }
};

struct Case {
  const char* pattern;
  std::string name;
  bool match;
};

TEST_F(SearchPatternTest, MeaningsOfEcmaScriptThatOtherDialectsDoNotShare) {
  const Case cases[] = {
      // "^" and "$" anchor the whole name, never a line of it; "$" not before a final line break.
      {"^db$", "db", true},
      {"^db$", "x\ndb", false},
      {"^db$", "db\nx", false},
      {"db$", "db\n", false},
      {"^log_\\d+\\.trn$", "log_12.trn", true},
      // "." is one character, but no line terminator; "[^]" is any character, "[]" none.
      {"^.$", "\xC3\xA9", true},
      {"a.b", "a\nb", false},
      {"a.b", "a\rb", false},
      {"a.b", "a\xE2\x80\xA8" "b", false},
      {"^[^]$", "\n", true},
      {"a[]", "a", false},
      {"[^\\s]", " \t", false},
      {"a\\sb", "a\xC2\xA0" "b", true},  // no-break space is white space
      {"^[\\S]$", "\xC2\xA0", false},
      {"^[^\\S]$", "\xC2\xA0", true},
      {"^[\\Sx]+$", "ax", true},
      // Escapes: identity escapes stand for the character, \uHHHH (and a surrogate pair) a character.
      {"\\A\\z", "Az", true},
      {"\\Qa\\E", "QaE", true},
      {"^\\u00e9$", "\xC3\xA9", true},
      {"^\\uD83D\\uDE00$", "\xF0\x9F\x98\x80", true},
      {"\\cJ", "\n", true},
      {"\\c", "\\c", true},
      {"\\x4", "x4", true},
      // Back-references: unset groups match empty, "\N" without group N is octal or the digit.
      {"^(a)?b\\1$", "b", true},
      {"^\\1(a)$", "a", true},
      {"^\\8$", "8", true},
      {"^\\101$", "A", true},
      {"^(?<y>\\d{2})-\\k<y>$", "24-24", true},
      {"^(?<y>\\d{2})-\\k<y>$", "24-25", false},
      {"\\k", "k", true},
      // Web-compatibility: a lone "]", "{" or "}" is the character; lookaheads can repeat.
      {"^a]{,5}}$", "a]{,5}}", true},
      {"^(?=a)*a$", "a", true},
      {"(?<=x)y", "xy", true},
      {"^a{2,3}?$", "aaa", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Matches(c.pattern, c.name), c.match) << "[" << c.pattern << "] on [" << c.name << "]";
  }
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
}

TEST_F(SearchPatternTest, WhatEcmaScriptRefusesIsAnInvalidPatternLoggedOnce) {
  for (const char* pattern : {"(?i)db", "(?#note)db", "(?>db)", "d++", "d*+", "d?+", "(?P<n>d)", "(?|a|b)",
                              "*d", "^*", "\\b+", "(?<=d)*", "a{2}{3}", "{1}", "a{2,1}", "a{99999}", "(d", "d)",
                              "[b-a]", "[d", "d\\", "(?<n>a)(?<n>b)", "(?<n>a)\\k<m>", "(?<n>a)[\\k]",
                              "(?<1a>d)", "\xFF+"}) {
    log_->Clear();
    SearchPattern compiled(pattern);
    EXPECT_FALSE(compiled.IsValid()) << pattern;
    EXPECT_FALSE(compiled.Search(pattern)) << pattern;
    EXPECT_FALSE(compiled.Search("db"));
    EXPECT_EQ(log_->CountContaining("is not a valid regular expression"), 1) << pattern;
  }
}

TEST_F(SearchPatternTest, ARunawayMatchStopsAsNoMatchLoggedOnce) {
  SearchPattern compiled("^(a+)+$");
  EXPECT_FALSE(compiled.Search(std::string(40, 'a') + "!"));
  EXPECT_FALSE(compiled.Search(std::string(41, 'a') + "!"));
  EXPECT_TRUE(compiled.Search("aaaa"));
  EXPECT_EQ(log_->CountContaining("gave up on file name"), 1) << log_->Dump();
  // Names that are not UTF-8 still match where they are.
  EXPECT_TRUE(Matches("\\.trn$", "log\xFF.trn"));
}

}  // namespace
}  // namespace kxmp::test
