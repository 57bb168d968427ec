#include "logbackup/DataWriterReaderPatternSyntax.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kxmp::logbackup {

namespace {

constexpr char32_t kEnd = 0xFFFFFFFF;  // past the end of the pattern
constexpr int kMaxNesting = 200;       // groups inside groups; the engine allows 250
constexpr unsigned long kMaxCount = 65535;  // the engine's largest repeat count

// ECMAScript white space and line terminators, as items of a PCRE2 class.
const char kWhiteSpace[] =
    "\\x{9}-\\x{d}\\x{20}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}\\x{202f}\\x{205f}\\x{3000}\\x{feff}";
// Any character but a line terminator.
const char kDot[] = "[^\\x{a}\\x{d}\\x{2028}\\x{2029}]";
const char kNothing[] = "(?:(?!))";

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsDigit(char32_t c) { return c >= '0' && c <= '9'; }
bool IsOctal(char32_t c) { return c >= '0' && c <= '7'; }
bool IsHex(char32_t c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsAsciiLetter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int HexValue(char32_t c) { return IsDigit(c) ? int(c - '0') : int((c | 0x20) - 'a' + 10); }

// Code points of UTF-8 text; false for a byte sequence that is not UTF-8.
bool DecodeUtf8(const std::string& in, std::u32string& out) {
  static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < in.size();) {
    const unsigned char b = static_cast<unsigned char>(in[i]);
    int extra;
    char32_t c;
    if (b < 0x80) {
      extra = 0, c = b;
    } else if ((b >> 5) == 0x6) {
      extra = 1, c = b & 0x1F;
    } else if ((b >> 4) == 0xE) {
      extra = 2, c = b & 0x0F;
    } else if ((b >> 3) == 0x1E) {
      extra = 3, c = b & 0x07;
    } else {
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= in.size()) return false;
      const unsigned char n = static_cast<unsigned char>(in[i + k]);
      if ((n & 0xC0) != 0x80) return false;
      c = (c << 6) | (n & 0x3F);
    }
    if (c < kMin[extra] || c > 0x10FFFF || IsSurrogate(c)) return false;
    out.push_back(c);
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

std::string Hex(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\x{%x}", static_cast<unsigned>(c));
  return buf;
}

// One character as PCRE2 text: letters, digits and "_" as they are, everything else as \x{}.
std::string Char(char32_t c) {
  if (IsAsciiLetter(c) || IsDigit(c) || c == '_') return std::string(1, static_cast<char>(c));
  return Hex(c);
}

// The items of one character class, gathered before it is written.
struct ClassItems {
  std::vector<std::pair<char32_t, char32_t>> ranges;
  std::string sets;  // \d \D \w \W and the white space items
  bool notWhiteSpace = false;  // \S
};

class Translator {
 public:
  explicit Translator(std::u32string s) : s_(std::move(s)) {}

  bool Run(std::string& out, std::string& error) {
    CountGroups();
    if (error_.empty() && Disjunction() && i_ < s_.size()) Fail("unmatched )");
    if (!error_.empty()) {
      error = error_;
      return false;
    }
    out = std::move(out_);
    return true;
  }

 private:
  char32_t Peek(size_t k = 0) const { return i_ + k < s_.size() ? s_[i_ + k] : kEnd; }

  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at offset " + std::to_string(i_);
    return false;
  }

  // The number of capturing groups and their names, which decide what "\N" and "\k" mean
  // anywhere in the pattern (also before the group).
  void CountGroups() {
    bool inClass = false;
    for (size_t k = 0; k < s_.size(); ++k) {
      const char32_t c = s_[k];
      if (c == '\\') {
        ++k;
      } else if (inClass) {
        inClass = c != ']';
      } else if (c == '[') {
        inClass = true;
      } else if (c == '(') {
        if (k + 1 < s_.size() && s_[k + 1] == '?') {
          if (k + 2 < s_.size() && s_[k + 2] == '<' && k + 3 < s_.size() && s_[k + 3] != '=' && s_[k + 3] != '!') {
            std::u32string name;
            size_t j = k + 3;
            while (j < s_.size() && s_[j] != '>') name.push_back(s_[j++]);
            for (const auto& known : names_) {
              if (!name.empty() && known == name) {
                i_ = k;
                Fail("duplicate group name");
                return;
              }
            }
            names_.push_back(name);
          } else {
            continue;
          }
        } else {
          names_.emplace_back();
        }
      }
    }
    for (const auto& n : names_) hasNames_ = hasNames_ || !n.empty();
  }

  bool Disjunction() {
    if (!Alternative()) return false;
    while (Peek() == '|') {
      ++i_;
      out_ += '|';
      if (!Alternative()) return false;
    }
    return true;
  }

  bool Alternative() {
    while (i_ < s_.size() && Peek() != '|' && Peek() != ')') {
      if (!Term()) return false;
    }
    return true;
  }

  // "{n}", "{n,}" or "{n,m}" at position k.
  bool BracedQuantifierAt(size_t k) const {
    if (k >= s_.size() || s_[k] != '{') return false;
    size_t j = k + 1;
    if (j >= s_.size() || !IsDigit(s_[j])) return false;
    while (j < s_.size() && IsDigit(s_[j])) ++j;
    if (j < s_.size() && s_[j] == ',') {
      ++j;
      while (j < s_.size() && IsDigit(s_[j])) ++j;
    }
    return j < s_.size() && s_[j] == '}';
  }

  bool Term() {
    const char32_t c = Peek();
    bool quantifiable = true;
    switch (c) {
      case '^':
      case '$':
        ++i_;
        out_ += static_cast<char>(c);
        return true;  // a quantifier after it finds nothing to repeat
      case '*':
      case '+':
      case '?':
        return Fail("nothing to repeat");
      case '{':
        if (BracedQuantifierAt(i_)) return Fail("nothing to repeat");
        ++i_;
        out_ += Char(c);
        break;
      case '.':
        ++i_;
        out_ += kDot;
        break;
      case '[':
        if (!Class()) return false;
        break;
      case '(':
        if (!Group(quantifiable)) return false;
        break;
      case '\\':
        if (Peek(1) == 'b' || Peek(1) == 'B') {
          out_ += "\\";
          out_ += static_cast<char>(Peek(1));
          i_ += 2;
          return true;
        }
        if (!AtomEscape()) return false;
        break;
      default:
        ++i_;
        out_ += Char(c);
        break;
    }
    return quantifiable ? Quantifier() : true;
  }

  bool Group(bool& quantifiable) {
    if (++depth_ > kMaxNesting) return Fail("groups nested too deeply");
    ++i_;  // (
    if (Peek() == '?') {
      const char32_t k = Peek(1);
      if (k == ':' || k == '=' || k == '!') {
        out_ += "(?";
        out_ += static_cast<char>(k);
        i_ += 2;
      } else if (k == '<' && (Peek(2) == '=' || Peek(2) == '!')) {
        out_ += "(?<";
        out_ += static_cast<char>(Peek(2));
        i_ += 3;
        quantifiable = false;
      } else if (k == '<') {
        i_ += 2;
        if (!GroupName()) return false;
        out_ += '(';
      } else {
        return Fail("invalid group");
      }
    } else {
      out_ += '(';
    }
    if (!Disjunction()) return false;
    if (Peek() != ')') return Fail("missing )");
    ++i_;
    out_ += ')';
    --depth_;
    return true;
  }

  // An identifier name up to ">" (consumed); its number is the group's.
  bool GroupName() {
    std::u32string name;
    while (i_ < s_.size() && Peek() != '>') {
      const char32_t c = Peek();
      const bool ok = IsAsciiLetter(c) || c == '$' || c == '_' || c >= 0x80 || (!name.empty() && IsDigit(c));
      if (!ok) return Fail("invalid group name");
      name.push_back(c);
      ++i_;
    }
    if (name.empty() || Peek() != '>') return Fail("invalid group name");
    ++i_;
    return true;
  }

  bool Quantifier() {
    const char32_t c = Peek();
    if (c == '*' || c == '+' || c == '?') {
      ++i_;
      out_ += static_cast<char>(c);
    } else if (BracedQuantifierAt(i_)) {
      ++i_;
      unsigned long low = Number(), high = low;
      bool unbounded = false;
      if (Peek() == ',') {
        ++i_;
        if (IsDigit(Peek())) {
          high = Number();
        } else {
          unbounded = true;
        }
      }
      ++i_;  // }
      if (!unbounded && high < low) return Fail("numbers out of order in {} quantifier");
      if (low > kMaxCount) return Fail("number too large in {} quantifier");
      // Past the engine's largest count the bound cannot matter for a file name.
      if (high > kMaxCount) unbounded = true;
      out_ += "{" + std::to_string(low) + (unbounded ? "," : high != low ? "," + std::to_string(high) : "") + "}";
    } else {
      return true;
    }
    if (Peek() == '?') {
      ++i_;
      out_ += '?';
    }
    return true;
  }

  // Decimal digits, saturating.
  unsigned long Number() {
    unsigned long v = 0;
    while (IsDigit(Peek())) {
      if (v < 100000000) v = v * 10 + (Peek() - '0');
      ++i_;
    }
    return v;
  }

  // Up to three octal digits (two when the first is 4 to 7), the web-compatible meaning of
  // "\1" that names no group, and of "\0" followed by digits.
  char32_t LegacyOctal() {
    const size_t most = Peek() <= '3' ? 3 : 2;
    char32_t v = 0;
    for (size_t n = 0; n < most && IsOctal(Peek()); ++n, ++i_) v = v * 8 + (Peek() - '0');
    return v;
  }

  // A character escape at i_ (just after "\"), shared by atoms and classes; false when the
  // escape is not one (handled by the caller).
  bool CharacterEscape(char32_t& out) {
    const char32_t c = Peek();
    switch (c) {
      case 'f': out = 0x0C; ++i_; return true;
      case 'n': out = 0x0A; ++i_; return true;
      case 'r': out = 0x0D; ++i_; return true;
      case 't': out = 0x09; ++i_; return true;
      case 'v': out = 0x0B; ++i_; return true;
      case 'x':
        if (IsHex(Peek(1)) && IsHex(Peek(2))) {
          out = static_cast<char32_t>(HexValue(Peek(1)) * 16 + HexValue(Peek(2)));
          i_ += 3;
        } else {
          out = 'x';
          ++i_;
        }
        return true;
      case 'u':
        if (IsHex(Peek(1)) && IsHex(Peek(2)) && IsHex(Peek(3)) && IsHex(Peek(4))) {
          out = static_cast<char32_t>((HexValue(Peek(1)) << 12) | (HexValue(Peek(2)) << 8) |
                                      (HexValue(Peek(3)) << 4) | HexValue(Peek(4)));
          i_ += 5;
          // A pair of surrogate escapes is one character of the name.
          if (out >= 0xD800 && out <= 0xDBFF && Peek() == '\\' && Peek(1) == 'u' && IsHex(Peek(2)) &&
              IsHex(Peek(3)) && IsHex(Peek(4)) && IsHex(Peek(5))) {
            const char32_t low = static_cast<char32_t>((HexValue(Peek(2)) << 12) | (HexValue(Peek(3)) << 8) |
                                                       (HexValue(Peek(4)) << 4) | HexValue(Peek(5)));
            if (low >= 0xDC00 && low <= 0xDFFF) {
              out = 0x10000 + ((out - 0xD800) << 10) + (low - 0xDC00);
              i_ += 6;
            }
          }
        } else {
          out = 'u';
          ++i_;
        }
        return true;
      default:
        return false;
    }
  }

  // After "\" outside a class.
  bool AtomEscape() {
    ++i_;  // backslash
    const char32_t c = Peek();
    if (c == kEnd) return Fail("\\ at end of pattern");
    if (c == 'd' || c == 'D' || c == 'w' || c == 'W') {
      out_ += "\\";
      out_ += static_cast<char>(c);
      ++i_;
      return true;
    }
    if (c == 's' || c == 'S') {
      out_ += std::string(c == 's' ? "[" : "[^") + kWhiteSpace + "]";
      ++i_;
      return true;
    }
    if (c >= '1' && c <= '9') {
      const size_t start = i_;
      const unsigned long n = Number();
      if (n <= names_.size()) {
        out_ += "\\g{" + std::to_string(n) + "}";
        return true;
      }
      i_ = start;  // no such group: an octal escape, or "8" / "9"
      if (c >= '8') {
        ++i_;
        out_ += Char(c);
      } else {
        out_ += Char(LegacyOctal());
      }
      return true;
    }
    if (c == '0') {
      out_ += Char(IsDigit(Peek(1)) ? LegacyOctal() : (++i_, 0));
      return true;
    }
    if (c == 'c') {
      if (IsAsciiLetter(Peek(1))) {
        out_ += Char(Peek(1) % 32);
        i_ += 2;
      } else {
        out_ += Char('\\');  // "\c" without a letter is a backslash; the "c" follows as itself
      }
      return true;
    }
    if (c == 'k' && hasNames_) {
      ++i_;
      if (Peek() != '<') return Fail("invalid named reference");
      ++i_;
      std::u32string name;
      while (i_ < s_.size() && Peek() != '>') name.push_back(s_[i_++]);
      if (Peek() != '>') return Fail("invalid named reference");
      ++i_;
      for (size_t g = 0; g < names_.size(); ++g) {
        if (!name.empty() && names_[g] == name) {
          out_ += "\\g{" + std::to_string(g + 1) + "}";
          return true;
        }
      }
      return Fail("reference to a group name that does not exist");
    }
    char32_t ch;
    if (CharacterEscape(ch)) {
      out_ += IsSurrogate(ch) ? std::string(kNothing) : Char(ch);
      return true;
    }
    ++i_;  // any other character stands for itself
    out_ += Char(c);
    return true;
  }

  // One class atom: a character (isSet false) or a class escape written into `set`.
  bool ClassAtom(char32_t& ch, std::string& set, bool& notWhiteSpace, bool& isSet) {
    isSet = false;
    const char32_t c = Peek();
    if (c != '\\') {
      ch = c;
      ++i_;
      return true;
    }
    ++i_;
    const char32_t e = Peek();
    if (e == kEnd) return Fail("\\ at end of pattern");
    if (e == 'd' || e == 'D' || e == 'w' || e == 'W') {
      set = std::string("\\") + static_cast<char>(e);
      isSet = true;
      ++i_;
      return true;
    }
    if (e == 's' || e == 'S') {
      if (e == 's') set = kWhiteSpace;
      notWhiteSpace = notWhiteSpace || e == 'S';
      isSet = true;
      ++i_;
      return true;
    }
    if (e == 'b') {
      ch = 0x08;
      ++i_;
      return true;
    }
    if (e == 'c') {
      const char32_t n = Peek(1);
      if (IsAsciiLetter(n) || IsDigit(n) || n == '_') {
        ch = n % 32;
        i_ += 2;
      } else {
        ch = '\\';  // the "c" is read next as itself
      }
      return true;
    }
    if (IsDigit(e)) {
      if (e >= '8') {
        ch = e;
        ++i_;
      } else {
        ch = LegacyOctal();
      }
      return true;
    }
    if (e == 'k' && hasNames_) return Fail("invalid escape in class");
    if (CharacterEscape(ch)) return true;
    ch = e;
    ++i_;
    return true;
  }

  bool Class() {
    ++i_;  // [
    bool negated = false;
    if (Peek() == '^') {
      negated = true;
      ++i_;
    }
    ClassItems items;
    while (Peek() != ']') {
      if (Peek() == kEnd) return Fail("missing ]");
      char32_t low = 0, high = 0;
      std::string lowSet, highSet;
      bool lowIsSet = false, highIsSet = false;
      if (!ClassAtom(low, lowSet, items.notWhiteSpace, lowIsSet)) return false;
      if (Peek() == '-' && Peek(1) != ']' && Peek(1) != kEnd) {
        ++i_;
        if (!ClassAtom(high, highSet, items.notWhiteSpace, highIsSet)) return false;
        if (lowIsSet || highIsSet) {
          // A class escape cannot bound a range: both atoms and "-" are members.
          Add(items, lowIsSet, lowSet, low);
          items.ranges.emplace_back('-', '-');
          Add(items, highIsSet, highSet, high);
          continue;
        }
        if (high < low) return Fail("range out of order in character class");
        items.ranges.emplace_back(low, high);
        continue;
      }
      Add(items, lowIsSet, lowSet, low);
    }
    ++i_;  // ]
    out_ += ClassText(items, negated);
    return true;
  }

  static void Add(ClassItems& items, bool isSet, const std::string& set, char32_t ch) {
    if (isSet) {
      items.sets += set;
    } else {
      items.ranges.emplace_back(ch, ch);
    }
  }

  static std::string ClassText(const ClassItems& items, bool negated) {
    std::string body = items.sets;
    for (auto [low, high] : items.ranges) {
      // UTF-8 text holds no surrogates: leave them out of every range.
      if (IsSurrogate(low)) low = 0xE000;
      if (IsSurrogate(high)) high = 0xD7FF;
      if (low > high) continue;
      body += Char(low);
      if (high != low) body += "-" + Char(high);
    }
    const std::string ws = std::string("[") + kWhiteSpace + "]";
    const std::string notWs = std::string("[^") + kWhiteSpace + "]";
    if (items.notWhiteSpace) {
      // \S cannot join other items in one class: a union, or for [^...] what is left of \s.
      if (!negated) return body.empty() ? notWs : "(?:[" + body + "]|" + notWs + ")";
      return body.empty() ? ws : "(?:(?![" + body + "])" + ws + ")";
    }
    if (body.empty()) return negated ? "(?s:.)" : kNothing;
    return (negated ? "[^" : "[") + body + "]";
  }

  std::u32string s_;
  size_t i_ = 0;
  std::string out_;
  std::string error_;
  std::vector<std::u32string> names_;  // one per capturing group, empty when unnamed
  bool hasNames_ = false;
  int depth_ = 0;
};

}  // namespace

bool TranslateEcmaScriptPattern(const std::string& pattern, std::string& out, std::string& error) {
  std::u32string text;
  if (!DecodeUtf8(pattern, text)) {
    error = "the pattern is not UTF-8 text";
    return false;
  }
  return Translator(std::move(text)).Run(out, error);
}

}  // namespace kxmp::logbackup
