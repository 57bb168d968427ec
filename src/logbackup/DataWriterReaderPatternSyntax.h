#pragma once
// The front end of search patterns: parses a pattern by the ECMAScript regular-expression
// grammar (non-Unicode, with the web-compatibility annex: "\A" means "A", a lone "]" or "{"
// is a character, "\8" is "8", an out-of-range "\12" is an octal escape, lookaheads may be
// quantified), refuses what that grammar refuses ("(?i)", "(?#...)", "(?>...)", "a++", a
// quantifier on "^" ...), and writes an equivalent pattern for the PCRE2 engine.
//
// The written pattern is ASCII and expects the options PCRE2_UTF, PCRE2_MATCH_INVALID_UTF,
// PCRE2_DOLLAR_ENDONLY and PCRE2_MATCH_UNSET_BACKREF (no multi-line, no dot-all, no
// caseless). ECMAScript meanings spelt out: "." is any character but \n \r \u2028 \u2029,
// "[^]" any character, "[]" none, \s the ECMAScript white space, \uHHHH a character (a pair
// of surrogate escapes one character; a lone surrogate matches nothing in UTF-8 text),
// named groups are numbered groups and \k<name> a numbered back-reference.

#include <string>

namespace kxmp::logbackup {

// True with the PCRE2 pattern in `out`; false with the reason in `error` when the pattern is
// not valid ECMAScript (or not valid UTF-8).
bool TranslateEcmaScriptPattern(const std::string& pattern, std::string& out, std::string& error);

}  // namespace kxmp::logbackup
