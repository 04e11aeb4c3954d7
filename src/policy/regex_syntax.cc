#include "policy/regex_syntax.h"

#include <utility>

namespace trb::regex {
namespace {

// The classic locale's character classes and case mapping; bytes >= 0x80 belong to none.
bool IsDigit(uint8_t b) { return b >= '0' && b <= '9'; }
bool IsSpace(uint8_t b) { return b == ' ' || (b >= '\t' && b <= '\r'); }
bool IsAlpha(uint8_t b) { return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z'); }
bool IsWord(uint8_t b) { return IsAlpha(b) || IsDigit(b) || b == '_'; }
bool IsXDigit(char c) {
  return IsDigit(static_cast<uint8_t>(c)) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
uint8_t Lower(uint8_t b) { return b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b; }
uint8_t Upper(uint8_t b) { return b >= 'a' && b <= 'z' ? b - ('a' - 'A') : b; }
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

bool ClassHas(char cls, uint8_t b) {
  switch (cls | 0x20) {
    case 'd':
      return IsDigit(b);
    case 's':
      return IsSpace(b);
    default:
      return IsWord(b);
  }
}

// What the contents of one bracket expression add up to before they become a ByteSet.
struct Bracket {
  bool negated = false;
  std::vector<uint8_t> chars;
  std::vector<std::pair<signed char, signed char>> ranges;
  std::vector<char> classes;  // d s w D S W

  ByteSet Build() const {
    ByteSet set;
    for (int v = 0; v < 256; ++v) {
      const auto b = static_cast<uint8_t>(v);
      bool hit = false;
      for (uint8_t c : chars) hit = hit || Lower(c) == Lower(b);
      // Ranges compare plain (signed) chars, against both case forms of the byte.
      const auto lo = static_cast<signed char>(Lower(b));
      const auto up = static_cast<signed char>(Upper(b));
      for (const auto& [first, last] : ranges)
        hit = hit || (first <= lo && lo <= last) || (first <= up && up <= last);
      for (char cls : classes) {
        const bool upper_case = cls >= 'A' && cls <= 'Z';
        hit = hit || (ClassHas(cls, b) != upper_case);
      }
      if (hit != negated) set.Add(b);
    }
    return set;
  }
};

class Parser {
 public:
  explicit Parser(std::string_view p) : p_(p) {}

  std::optional<Tree> Run() {
    tree_.root = Disjunction(0);
    if (!ok_ || pos_ != p_.size()) return std::nullopt;
    return std::move(tree_);
  }

 private:
  // A token of the escape grammar: a plain byte, a class letter, or an assertion.
  struct Escape {
    enum class Kind { kChar, kClass, kWordBoundary, kNotWordBoundary, kFail } kind;
    char value = 0;
  };

  bool AtEnd() const { return pos_ >= p_.size(); }
  char Peek() const { return p_[pos_]; }

  uint32_t Add(Node node) {
    tree_.nodes.push_back(std::move(node));
    return static_cast<uint32_t>(tree_.nodes.size() - 1);
  }
  uint32_t AddSet(const ByteSet& set, bool any_char = false) {
    tree_.sets.push_back(set);
    Node node;
    node.kind = Node::Kind::kSet;
    node.set = static_cast<uint32_t>(tree_.sets.size() - 1);
    node.any_char = any_char;
    return Add(std::move(node));
  }
  uint32_t Literal(uint8_t c) {
    ByteSet set;
    for (int v = 0; v < 256; ++v)
      if (Lower(static_cast<uint8_t>(v)) == Lower(c)) set.Add(static_cast<uint8_t>(v));
    return AddSet(set);
  }
  uint32_t Fail() {
    ok_ = false;
    return Add(Node{});
  }

  // After the backslash; `in_bracket` changes \b and refuses \B.
  Escape ReadEscape(bool in_bracket) {
    if (AtEnd()) return {Escape::Kind::kFail};
    const char c = p_[pos_++];
    switch (c) {
      case '0':
        return {Escape::Kind::kChar, '\0'};
      case 'f':
        return {Escape::Kind::kChar, '\f'};
      case 'n':
        return {Escape::Kind::kChar, '\n'};
      case 'r':
        return {Escape::Kind::kChar, '\r'};
      case 't':
        return {Escape::Kind::kChar, '\t'};
      case 'v':
        return {Escape::Kind::kChar, '\v'};
      case 'b':
        return in_bracket ? Escape{Escape::Kind::kChar, '\b'} : Escape{Escape::Kind::kWordBoundary};
      case 'B':
        return in_bracket ? Escape{Escape::Kind::kFail} : Escape{Escape::Kind::kNotWordBoundary};
      case 'd':
      case 'D':
      case 's':
      case 'S':
      case 'w':
      case 'W':
        return {Escape::Kind::kClass, c};
      case 'c':  // libstdc++ takes the next byte as it is
        if (AtEnd()) return {Escape::Kind::kFail};
        return {Escape::Kind::kChar, p_[pos_++]};
      case 'x':
      case 'u': {
        const int digits = c == 'x' ? 2 : 4;
        int value = 0;
        for (int i = 0; i < digits; ++i) {
          if (AtEnd() || !IsXDigit(Peek())) return {Escape::Kind::kFail};
          value = value * 16 + HexValue(p_[pos_++]);
        }
        return {Escape::Kind::kChar, static_cast<char>(value & 0xff)};
      }
      default:
        if (IsDigit(static_cast<uint8_t>(c))) return {Escape::Kind::kFail};  // back-reference
        return {Escape::Kind::kChar, c};
    }
  }

  uint32_t Disjunction(int depth) {
    if (depth > kMaxGroupDepth) return Fail();
    Node alt;
    alt.kind = Node::Kind::kAlt;
    alt.children.push_back(Alternative(depth));
    while (ok_ && !AtEnd() && Peek() == '|') {
      ++pos_;
      alt.children.push_back(Alternative(depth));
    }
    if (alt.children.size() == 1) return alt.children[0];
    return Add(std::move(alt));
  }

  uint32_t Alternative(int depth) {
    Node seq;
    seq.kind = Node::Kind::kConcat;
    while (ok_ && !AtEnd() && Peek() != '|' && Peek() != ')') seq.children.push_back(Term(depth));
    if (seq.children.empty()) return Add(Node{});
    if (seq.children.size() == 1) return seq.children[0];
    return Add(std::move(seq));
  }

  static bool IsQuantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

  uint32_t Assertion(Node::Kind kind) {
    // An assertion takes no quantifier; std::regex rejects one, and so do we.
    if (!AtEnd() && IsQuantifier(Peek())) return Fail();
    Node node;
    node.kind = kind;
    return Add(std::move(node));
  }

  uint32_t Term(int depth) {
    const char c = p_[pos_++];
    uint32_t atom = 0;
    switch (c) {
      case '^':
        return Assertion(Node::Kind::kBegin);
      case '$':
        return Assertion(Node::Kind::kEnd);
      case '*':
      case '+':
      case '?':
      case '{':
        return Fail();
      case '.': {
        ByteSet set;
        for (int v = 0; v < 256; ++v)
          if (v != '\n' && v != '\r') set.Add(static_cast<uint8_t>(v));
        atom = AddSet(set, true);
        break;
      }
      case '(': {
        if (!AtEnd() && Peek() == '?') {
          if (pos_ + 1 >= p_.size() || p_[pos_ + 1] != ':') return Fail();  // lookahead and kin
          pos_ += 2;
        }
        atom = Disjunction(depth + 1);
        if (AtEnd() || Peek() != ')') return Fail();
        ++pos_;
        break;
      }
      case '[':
        atom = BracketExpression();
        break;
      case '\\': {
        const Escape e = ReadEscape(false);
        switch (e.kind) {
          case Escape::Kind::kWordBoundary:
            return Assertion(Node::Kind::kWordBoundary);
          case Escape::Kind::kNotWordBoundary:
            return Assertion(Node::Kind::kNotWordBoundary);
          case Escape::Kind::kClass: {
            Bracket b;
            b.classes.push_back(e.value);
            atom = AddSet(b.Build());
            break;
          }
          case Escape::Kind::kChar:
            atom = Literal(static_cast<uint8_t>(e.value));
            break;
          case Escape::Kind::kFail:
            return Fail();
        }
        break;
      }
      default:  // every other byte, ']' '}' NUL and bytes >= 0x80 included, stands for itself
        atom = Literal(static_cast<uint8_t>(c));
    }
    return Quantifiers(atom);
  }

  uint32_t Quantifiers(uint32_t atom) {
    // libstdc++ lets quantifiers stack ("a*+"); a '?' right after one only makes it lazy,
    // which a yes/no answer does not see. A short stack keeps the tree shallow.
    for (int stacked = 0; ok_ && !AtEnd() && IsQuantifier(Peek()); ++stacked) {
      if (stacked == 8) return Fail();
      Node rep;
      rep.kind = Node::Kind::kRepeat;
      const char q = p_[pos_++];
      if (q == '*') {
        rep.min = 0, rep.max = -1;
      } else if (q == '+') {
        rep.min = 1, rep.max = -1;
      } else if (q == '?') {
        rep.min = 0, rep.max = 1;
      } else if (!Braces(rep)) {
        return Fail();
      }
      if (!AtEnd() && Peek() == '?') ++pos_;
      rep.children.push_back(atom);
      atom = Add(std::move(rep));
    }
    return atom;
  }

  bool ReadCount(int32_t& out) {
    if (AtEnd() || !IsDigit(static_cast<uint8_t>(Peek()))) return false;
    int64_t v = 0;
    while (!AtEnd() && IsDigit(static_cast<uint8_t>(Peek()))) {
      v = v * 10 + (p_[pos_++] - '0');
      if (v > kMaxRepeatCount) return false;
    }
    out = static_cast<int32_t>(v);
    return true;
  }

  // {n} {n,} {n,m}, exactly; anything else in braces is an error for std::regex.
  bool Braces(Node& rep) {
    if (!ReadCount(rep.min)) return false;
    rep.max = rep.min;
    if (!AtEnd() && Peek() == ',') {
      ++pos_;
      rep.max = -1;
      if (!AtEnd() && Peek() != '}' && !ReadCount(rep.max)) return false;
    }
    if (AtEnd() || Peek() != '}') return false;
    ++pos_;
    return rep.max < 0 || rep.max >= rep.min;
  }

  // One token inside brackets.
  struct BracketToken {
    enum class Kind { kChar, kDash, kEnd, kClass, kFail } kind;
    char value = 0;
  };

  BracketToken ReadBracketToken() {
    if (AtEnd()) return {BracketToken::Kind::kFail};
    const char c = p_[pos_++];
    if (c == '-') return {BracketToken::Kind::kDash};
    if (c == ']') return {BracketToken::Kind::kEnd};
    if (c == '[') {
      if (AtEnd()) return {BracketToken::Kind::kFail};
      if (Peek() == '.' || Peek() == ':' || Peek() == '=') return {BracketToken::Kind::kFail};
      return {BracketToken::Kind::kChar, c};
    }
    if (c != '\\') return {BracketToken::Kind::kChar, c};
    const Escape e = ReadEscape(true);
    if (e.kind == Escape::Kind::kChar) return {BracketToken::Kind::kChar, e.value};
    if (e.kind == Escape::Kind::kClass) return {BracketToken::Kind::kClass, e.value};
    return {BracketToken::Kind::kFail};
  }

  BracketToken PeekBracketToken() {
    const size_t saved = pos_;
    BracketToken t = ReadBracketToken();
    pos_ = saved;
    return t;
  }

  // The same state machine as libstdc++: a pending single char may still start a range; a
  // dash after a range, at the start or before ']' is a plain '-'.
  uint32_t BracketExpression() {
    using K = BracketToken::Kind;
    Bracket b;
    if (!AtEnd() && Peek() == '^') {
      b.negated = true;
      ++pos_;
    }
    enum class Last { kNone, kChar, kClass } last = Last::kNone;
    char last_char = 0;
    const auto push_char = [&](char ch) {
      if (last == Last::kChar) b.chars.push_back(static_cast<uint8_t>(last_char));
      last = Last::kChar;
      last_char = ch;
    };
    const auto make_range = [&](char first, char end) {
      if (static_cast<signed char>(first) > static_cast<signed char>(end)) return false;
      b.ranges.emplace_back(static_cast<signed char>(first), static_cast<signed char>(end));
      last = Last::kNone;
      return true;
    };
    BracketToken t = PeekBracketToken();
    if (t.kind == K::kChar || t.kind == K::kDash) {
      ReadBracketToken();
      last = Last::kChar;
      last_char = t.kind == K::kChar ? t.value : '-';
    }
    for (;;) {
      t = ReadBracketToken();
      if (t.kind == K::kEnd) break;
      if (t.kind == K::kFail) return Fail();
      if (t.kind == K::kChar) {
        push_char(t.value);
      } else if (t.kind == K::kClass) {
        if (last == Last::kChar) b.chars.push_back(static_cast<uint8_t>(last_char));
        last = Last::kClass;
        b.classes.push_back(t.value);
      } else if (PeekBracketToken().kind == K::kEnd) {  // "-]"
        ReadBracketToken();
        push_char('-');
        break;
      } else if (last == Last::kClass) {
        return Fail();
      } else if (last == Last::kChar) {
        const BracketToken end = ReadBracketToken();
        if (end.kind == K::kChar) {
          if (!make_range(last_char, end.value)) return Fail();
        } else if (end.kind == K::kDash) {
          if (!make_range(last_char, '-')) return Fail();
        } else {
          return Fail();
        }
      } else {
        push_char('-');
      }
    }
    if (last == Last::kChar) b.chars.push_back(static_cast<uint8_t>(last_char));
    return AddSet(b.Build());
  }

  std::string_view p_;
  size_t pos_ = 0;
  bool ok_ = true;
  Tree tree_;
};

}  // namespace

std::optional<Tree> Parse(std::string_view pattern) { return Parser(pattern).Run(); }

}  // namespace trb::regex
