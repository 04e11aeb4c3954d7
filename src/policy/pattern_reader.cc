#include "policy/pattern_reader.h"

#include <algorithm>
#include <locale>
#include <regex>
#include <string>
#include <utility>

namespace trb {
namespace {

using Traits = std::regex_traits<char>;

// libstdc++'s tokens for the ECMAScript grammar (bits/regex_scanner.tcc), in the same three
// scanner states.
enum class Tok {
  kEof,
  kChar,       // an ordinary character, `value[0]`
  kHex,        // \xHH or \uHHHH, digits in `value`
  kBackref,    // \N, digits in `value`
  kClass,      // \d \D \s \S \w \W, the letter in `value`
  kAny,        // .
  kBegin,      // ^
  kEnd,        // $
  kWordBound,  // \b, or \B (value "n")
  kOpen,       // (
  kOpenPlain,  // (?:
  kLookahead,  // (?= or (?! (value "n")
  kClose,      // )
  kBracket,    // [ or [^ (value "n")
  kBracketEnd,
  kDash,
  kCollate,     // [.x.]
  kClassName,   // [:x:]
  kEquivalent,  // [=x=]
  kBrace,       // {
  kBraceEnd,
  kComma,
  kCount,  // digits in a brace, in `value`
  kStar,
  kPlus,
  kQuestion,
  kBar,
  kError,
};

class Scanner {
 public:
  explicit Scanner(std::string_view p) : p_(p) { Advance(); }

  Tok tok() const { return tok_; }
  const std::string& value() const { return value_; }

  void Advance() {
    value_.clear();
    if (pos_ >= p_.size()) {
      tok_ = state_ == State::kNormal ? Tok::kEof : Tok::kError;
      return;
    }
    if (state_ == State::kBracket) return InBracket();
    if (state_ == State::kBrace) return InBrace();
    Normal();
  }

 private:
  enum class State { kNormal, kBracket, kBrace };

  bool AtEnd() const { return pos_ >= p_.size(); }
  char Next() { return p_[pos_++]; }
  void Set(Tok t, std::string v = {}) {
    tok_ = t;
    value_ = std::move(v);
  }

  void Normal() {
    const char c = Next();
    switch (c) {
      case '\\':
        if (AtEnd()) return Set(Tok::kError);
        return Escape();
      case '(':
        if (AtEnd() || p_[pos_] != '?') return Set(Tok::kOpen);
        if (++pos_ >= p_.size()) return Set(Tok::kError);
        switch (Next()) {
          case ':':
            return Set(Tok::kOpenPlain);
          case '=':
            return Set(Tok::kLookahead, "p");
          case '!':
            return Set(Tok::kLookahead, "n");
          default:
            return Set(Tok::kError);
        }
      case ')':
        return Set(Tok::kClose);
      case '[':
        state_ = State::kBracket;
        if (!AtEnd() && p_[pos_] == '^') {
          ++pos_;
          return Set(Tok::kBracket, "n");
        }
        return Set(Tok::kBracket);
      case '{':
        state_ = State::kBrace;
        return Set(Tok::kBrace);
      case '^':
        return Set(Tok::kBegin);
      case '$':
        return Set(Tok::kEnd);
      case '.':
        return Set(Tok::kAny);
      case '*':
        return Set(Tok::kStar);
      case '+':
        return Set(Tok::kPlus);
      case '?':
        return Set(Tok::kQuestion);
      case '|':
        return Set(Tok::kBar);
      default:  // ']' '}' NUL and every other byte stand for themselves
        return Set(Tok::kChar, std::string(1, c));
    }
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsXDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  // After a backslash that is not the last byte.
  void Escape() {
    const char c = Next();
    static constexpr std::pair<char, char> kEscapes[] = {
        {'0', '\0'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'v', '\v'}};
    for (const auto& [name, byte] : kEscapes) {
      if (c == name && (c != 'b' || state_ == State::kBracket))
        return Set(Tok::kChar, std::string(1, byte));
    }
    switch (c) {
      case 'b':
        return Set(Tok::kWordBound);
      case 'B':
        return Set(Tok::kWordBound, "n");
      case 'd':
      case 'D':
      case 's':
      case 'S':
      case 'w':
      case 'W':
        return Set(Tok::kClass, std::string(1, c));
      case 'c':  // libstdc++ takes the next byte as it is
        if (AtEnd()) return Set(Tok::kError);
        return Set(Tok::kChar, std::string(1, Next()));
      case 'x':
      case 'u': {
        std::string digits;
        for (int i = 0; i < (c == 'x' ? 2 : 4); ++i) {
          if (AtEnd() || !IsXDigit(p_[pos_])) return Set(Tok::kError);
          digits += Next();
        }
        return Set(Tok::kHex, std::move(digits));
      }
      default:
        if (IsDigit(c)) {
          std::string digits(1, c);
          while (!AtEnd() && IsDigit(p_[pos_])) digits += Next();
          return Set(Tok::kBackref, std::move(digits));
        }
        return Set(Tok::kChar, std::string(1, c));
    }
  }

  void InBracket() {
    const char c = Next();
    if (c == '-') return Set(Tok::kDash);
    if (c == '[') {
      if (AtEnd()) return Set(Tok::kError);
      const char kind = p_[pos_];
      if (kind != '.' && kind != ':' && kind != '=') return Set(Tok::kChar, "[");
      ++pos_;
      std::string name;
      while (!AtEnd() && p_[pos_] != kind) name += Next();
      if (AtEnd() || Next() != kind || AtEnd() || Next() != ']') return Set(Tok::kError);
      return Set(kind == '.'   ? Tok::kCollate
                 : kind == ':' ? Tok::kClassName
                               : Tok::kEquivalent,
                 std::move(name));
    }
    if (c == ']') {
      state_ = State::kNormal;
      return Set(Tok::kBracketEnd);
    }
    if (c == '\\') {
      if (AtEnd()) return Set(Tok::kError);
      return Escape();
    }
    Set(Tok::kChar, std::string(1, c));
  }

  void InBrace() {
    const char c = Next();
    if (IsDigit(c)) {
      std::string digits(1, c);
      while (!AtEnd() && IsDigit(p_[pos_])) digits += Next();
      return Set(Tok::kCount, std::move(digits));
    }
    if (c == ',') return Set(Tok::kComma);
    if (c == '}') {
      state_ = State::kNormal;
      return Set(Tok::kBraceEnd);
    }
    Set(Tok::kError);
  }

  std::string_view p_;
  size_t pos_ = 0;
  State state_ = State::kNormal;
  Tok tok_ = Tok::kEof;
  std::string value_;
};

// What one bracket expression adds up to, tested byte by byte the way libstdc++'s
// _BracketMatcher::_M_apply does (bits/regex_compiler.h), with the same traits.
struct BracketSet {
  bool negated = false;
  std::vector<char> chars;  // translated
  std::vector<std::pair<char, char>> ranges;
  Traits::char_class_type classes{};
  std::vector<Traits::char_class_type> negated_classes;
  std::vector<std::string> equivalents;

  ByteSet Build(const Traits& traits) const {
    const auto& ctype = std::use_facet<std::ctype<char>>(traits.getloc());
    ByteSet set;
    for (int v = 0; v < 256; ++v) {
      const char ch = static_cast<char>(v);
      bool hit = std::find(chars.begin(), chars.end(), traits.translate_nocase(ch)) != chars.end();
      const char lower = ctype.tolower(ch);
      const char upper = ctype.toupper(ch);
      for (const auto& [first, last] : ranges)
        hit = hit || (first <= lower && lower <= last) || (first <= upper && upper <= last);
      hit = hit || traits.isctype(ch, classes);
      if (!equivalents.empty()) {
        const std::string key = traits.transform_primary(&ch, &ch + 1);
        hit = hit || std::find(equivalents.begin(), equivalents.end(), key) != equivalents.end();
      }
      for (const auto& c : negated_classes) hit = hit || !traits.isctype(ch, c);
      if (hit != negated) set.Add(static_cast<uint8_t>(v));
    }
    return set;
  }
};

// libstdc++'s _Compiler (bits/regex_compiler.tcc), building a tree instead of an automaton.
class Reader {
 public:
  explicit Reader(std::string_view p) : scanner_(p) {}

  PatternTree Run() {
    tree_.root = Disjunction(0);
    if (ok_ && scanner_.tok() != Tok::kEof) ok_ = false;
    tree_.ok = ok_ && !tree_.huge_number;
    return std::move(tree_);
  }

 private:
  bool Match(Tok t) {
    if (!ok_ || scanner_.tok() != t) return false;
    value_ = scanner_.value();
    scanner_.Advance();
    if (scanner_.tok() == Tok::kError) ok_ = false;
    return true;
  }
  uint32_t Add(PatternNode node) {
    tree_.nodes.push_back(std::move(node));
    return static_cast<uint32_t>(tree_.nodes.size() - 1);
  }
  uint32_t Fail() {
    ok_ = false;
    return Add({});
  }
  uint32_t AddSet(const ByteSet& set) {
    PatternNode n;
    n.kind = PatternNode::Kind::kSet;
    n.set = set;
    return Add(std::move(n));
  }
  uint32_t Wrap(PatternNode::Kind kind, uint32_t child) {
    PatternNode n;
    n.kind = kind;
    n.children.push_back(child);
    return Add(std::move(n));
  }
  // A number as _M_cur_int_value reads it; `huge_number` guards its overflow.
  int32_t Number(int radix) {
    if (value_.size() > kMaxNumberDigits) {
      tree_.huge_number = true;
      return INT32_MAX;
    }
    int64_t v = 0;
    for (char c : value_) v = v * radix + traits_.value(c, radix);
    return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX));
  }

  uint32_t Disjunction(int depth) {
    if (depth > kMaxTreeDepth) return Fail();
    PatternNode alt;
    alt.kind = PatternNode::Kind::kAlt;
    alt.children.push_back(Alternative(depth));
    while (Match(Tok::kBar)) alt.children.push_back(Alternative(depth));
    if (alt.children.size() == 1) return alt.children[0];
    return Add(std::move(alt));
  }

  uint32_t Alternative(int depth) {
    PatternNode seq;
    seq.kind = PatternNode::Kind::kConcat;
    for (uint32_t term; ok_ && Term(depth, &term);) seq.children.push_back(term);
    if (seq.children.size() == 1) return seq.children[0];
    if (seq.children.empty()) return Add({});
    return Add(std::move(seq));
  }

  bool Term(int depth, uint32_t* out) {
    if (Assertion(depth, out)) return true;
    if (!Atom(depth, out)) return false;
    for (int stacked = 1; ok_ && Quantifier(out); ++stacked) {
      if (depth + stacked > kMaxTreeDepth) *out = Fail();
    }
    return true;
  }

  bool Assertion(int depth, uint32_t* out) {
    PatternNode n;
    if (Match(Tok::kBegin)) {
      n.kind = PatternNode::Kind::kBegin;
    } else if (Match(Tok::kEnd)) {
      n.kind = PatternNode::Kind::kEnd;
    } else if (Match(Tok::kWordBound)) {
      n.kind = PatternNode::Kind::kWordBoundary;
      n.negated = value_ == "n";
    } else if (Match(Tok::kLookahead)) {
      n.kind = PatternNode::Kind::kLookahead;
      n.negated = value_ == "n";
      tree_.group_depth = std::max(tree_.group_depth, depth + 1);
      n.children.push_back(Disjunction(depth + 1));
      if (!Match(Tok::kClose)) ok_ = false;
    } else {
      return false;
    }
    *out = Add(std::move(n));
    return true;
  }

  bool Quantifier(uint32_t* atom) {
    PatternNode rep;
    rep.kind = PatternNode::Kind::kRepeat;
    if (Match(Tok::kStar)) {
      rep.min = 0, rep.max = -1;
    } else if (Match(Tok::kPlus)) {
      rep.min = 1, rep.max = -1;
    } else if (Match(Tok::kQuestion)) {
      rep.min = 0, rep.max = 1;
    } else if (Match(Tok::kBrace)) {
      if (!Match(Tok::kCount)) return Fail(), false;
      rep.min = rep.max = Number(10);
      if (Match(Tok::kComma)) rep.max = Match(Tok::kCount) ? Number(10) : -1;
      if (!Match(Tok::kBraceEnd) || (rep.max >= 0 && rep.max < rep.min)) return Fail(), false;
    } else {
      return false;
    }
    rep.lazy = Match(Tok::kQuestion);
    rep.children.push_back(*atom);
    *atom = Add(std::move(rep));
    return true;
  }

  // An ordinary character, a \x or \u escape, as _M_try_char reads them.
  bool TryChar(char* c) {
    if (Match(Tok::kHex)) {
      *c = static_cast<char>(Number(16));
    } else if (Match(Tok::kChar)) {
      *c = value_[0];
    } else {
      return false;
    }
    return true;
  }

  uint32_t Char(char c) {
    BracketSet b;
    b.chars.push_back(traits_.translate_nocase(c));
    return AddSet(b.Build(traits_));
  }

  uint32_t QuotedClass(char letter) {
    BracketSet b;
    const auto& ctype = std::use_facet<std::ctype<char>>(traits_.getloc());
    b.negated = ctype.is(std::ctype_base::upper, letter);
    b.classes = traits_.lookup_classname(&letter, &letter + 1, true);
    return AddSet(b.Build(traits_));
  }

  bool Atom(int depth, uint32_t* out) {
    char c = 0;
    if (Match(Tok::kAny)) {
      ByteSet set;
      for (int v = 0; v < 256; ++v) {
        const char t = traits_.translate_nocase(static_cast<char>(v));
        if (t != traits_.translate_nocase('\n') && t != traits_.translate_nocase('\r'))
          set.Add(static_cast<uint8_t>(v));
      }
      *out = AddSet(set);
    } else if (TryChar(&c)) {
      *out = Char(c);
    } else if (Match(Tok::kBackref)) {
      const int32_t n = Number(10);
      // Valid only for a group already closed.
      if (n < 1 || n > tree_.groups ||
          std::find(open_groups_.begin(), open_groups_.end(), n) != open_groups_.end()) {
        *out = Fail();
      } else {
        PatternNode ref;
        ref.kind = PatternNode::Kind::kBackref;
        ref.group = n;
        *out = Add(std::move(ref));
      }
    } else if (Match(Tok::kClass)) {
      *out = QuotedClass(value_[0]);
    } else if (Match(Tok::kOpenPlain)) {
      *out = Group(depth, false);
    } else if (Match(Tok::kOpen)) {
      *out = Group(depth, true);
    } else if (Match(Tok::kBracket)) {
      *out = Bracket(value_ == "n");
    } else {
      return false;
    }
    return true;
  }

  uint32_t Group(int depth, bool capturing) {
    tree_.group_depth = std::max(tree_.group_depth, depth + 1);
    int32_t number = 0;
    if (capturing) {
      number = ++tree_.groups;
      open_groups_.push_back(number);
    }
    const uint32_t body = Disjunction(depth + 1);
    if (!Match(Tok::kClose)) return Fail();
    if (capturing) open_groups_.pop_back();
    const uint32_t g = Wrap(PatternNode::Kind::kGroup, body);
    tree_.nodes[g].group = number;
    return g;
  }

  uint32_t Bracket(bool negated) {
    BracketSet b;
    b.negated = negated;
    enum class Last { kNone, kChar, kClass } last = Last::kNone;
    char last_char = 0;
    const auto push_char = [&](char ch) {
      if (last == Last::kChar) b.chars.push_back(traits_.translate_nocase(last_char));
      last = Last::kChar;
      last_char = ch;
    };
    const auto push_class = [&] {
      if (last == Last::kChar) b.chars.push_back(traits_.translate_nocase(last_char));
      last = Last::kClass;
    };
    const auto range = [&](char first, char end) {
      if (first > end) return false;
      b.ranges.emplace_back(first, end);
      last = Last::kNone;
      return true;
    };
    char c = 0;
    if (TryChar(&c)) {
      last = Last::kChar, last_char = c;
    } else if (Match(Tok::kDash)) {
      last = Last::kChar, last_char = '-';
    }
    while (ok_ && !Match(Tok::kBracketEnd)) {
      if (Match(Tok::kCollate)) {
        const std::string symbol = traits_.lookup_collatename(value_.begin(), value_.end());
        if (symbol.empty()) return Fail();
        b.chars.push_back(traits_.translate_nocase(symbol[0]));
        symbol.size() == 1 ? push_char(symbol[0]) : push_class();
      } else if (Match(Tok::kEquivalent)) {
        push_class();
        const std::string symbol = traits_.lookup_collatename(value_.begin(), value_.end());
        if (symbol.empty()) return Fail();
        b.equivalents.push_back(traits_.transform_primary(symbol.begin(), symbol.end()));
      } else if (Match(Tok::kClassName)) {
        push_class();
        const auto mask = traits_.lookup_classname(value_.begin(), value_.end(), true);
        if (mask == Traits::char_class_type{}) return Fail();
        b.classes |= mask;
      } else if (TryChar(&c)) {
        push_char(c);
      } else if (Match(Tok::kDash)) {
        if (Match(Tok::kBracketEnd)) {
          push_char('-');
          break;
        }
        if (last == Last::kClass) return Fail();
        if (last == Last::kChar) {
          if (TryChar(&c)) {
            if (!range(last_char, c)) return Fail();
          } else if (Match(Tok::kDash)) {
            if (!range(last_char, '-')) return Fail();
          } else {
            return Fail();
          }
        } else {
          push_char('-');
        }
      } else if (Match(Tok::kClass)) {
        push_class();
        const char letter = value_[0];
        const auto mask = traits_.lookup_classname(&letter, &letter + 1, true);
        const auto& ctype = std::use_facet<std::ctype<char>>(traits_.getloc());
        if (ctype.is(std::ctype_base::upper, letter)) {
          b.negated_classes.push_back(mask);
        } else {
          b.classes |= mask;
        }
      } else {
        return Fail();
      }
    }
    if (last == Last::kChar) b.chars.push_back(traits_.translate_nocase(last_char));
    return AddSet(b.Build(traits_));
  }

  Traits traits_;
  Scanner scanner_;
  std::string value_;
  bool ok_ = true;
  std::vector<int32_t> open_groups_;
  PatternTree tree_;
};

}  // namespace

PatternTree ReadPattern(std::string_view pattern) { return Reader(pattern).Run(); }

}  // namespace trb
