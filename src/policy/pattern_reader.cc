#include "policy/pattern_reader.h"

#include <algorithm>
#include <locale>
#include <regex>
#include <string>
#include <utility>

#include "policy/pattern_scanner.h"

namespace trb {
namespace {

using Traits = std::regex_traits<char>;

// translate_nocase, tolower and toupper of every byte, looked up once per pattern: the
// traits look the locale's facet up again on every call, and a bracket is tested against
// all 256 bytes.
struct CaseTables {
  explicit CaseTables(const Traits& traits) {
    const auto& ctype = std::use_facet<std::ctype<char>>(traits.getloc());
    for (int v = 0; v < 256; ++v) {
      const char ch = static_cast<char>(v);
      fold[v] = traits.translate_nocase(ch);
      lower[v] = ctype.tolower(ch);
      upper[v] = ctype.toupper(ch);
    }
    for (int v = 0; v < 256; ++v)
      same_fold[static_cast<uint8_t>(fold[v])].Add(static_cast<uint8_t>(v));
  }
  char fold[256];
  ByteSet same_fold[256];  // by folded byte: every byte that folds to it
  char lower[256];
  char upper[256];
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

  ByteSet Build(const Traits& traits, const CaseTables& cases) const {
    const bool any_class = !(classes == Traits::char_class_type{});
    ByteSet set;
    for (int v = 0; v < 256; ++v) {
      const char ch = static_cast<char>(v);
      bool hit = std::find(chars.begin(), chars.end(), cases.fold[v]) != chars.end();
      const char lower = cases.lower[v];
      const char upper = cases.upper[v];
      for (const auto& [first, last] : ranges)
        hit = hit || (first <= lower && lower <= last) || (first <= upper && upper <= last);
      hit = hit || (any_class && traits.isctype(ch, classes));
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
    if (ok_ && scanner_.tok() != PatternToken::kEof) ok_ = false;
    tree_.ok = ok_ && !tree_.huge_number;
    return std::move(tree_);
  }

 private:
  bool Match(PatternToken t) {
    if (!ok_ || scanner_.tok() != t) return false;
    value_ = scanner_.value();
    scanner_.Advance();
    if (scanner_.tok() == PatternToken::kError) ok_ = false;
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
    while (Match(PatternToken::kBar)) alt.children.push_back(Alternative(depth));
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
    if (Match(PatternToken::kBegin)) {
      n.kind = PatternNode::Kind::kBegin;
    } else if (Match(PatternToken::kEnd)) {
      n.kind = PatternNode::Kind::kEnd;
    } else if (Match(PatternToken::kWordBound)) {
      n.kind = PatternNode::Kind::kWordBoundary;
      n.negated = value_ == "n";
    } else if (Match(PatternToken::kLookahead)) {
      n.kind = PatternNode::Kind::kLookahead;
      n.negated = value_ == "n";
      tree_.group_depth = std::max(tree_.group_depth, depth + 1);
      n.children.push_back(Disjunction(depth + 1));
      if (!Match(PatternToken::kClose)) ok_ = false;
    } else {
      return false;
    }
    *out = Add(std::move(n));
    return true;
  }

  bool Quantifier(uint32_t* atom) {
    PatternNode rep;
    rep.kind = PatternNode::Kind::kRepeat;
    if (Match(PatternToken::kStar)) {
      rep.min = 0, rep.max = -1;
    } else if (Match(PatternToken::kPlus)) {
      rep.min = 1, rep.max = -1;
    } else if (Match(PatternToken::kQuestion)) {
      rep.min = 0, rep.max = 1;
    } else if (Match(PatternToken::kBrace)) {
      if (!Match(PatternToken::kCount)) return Fail(), false;
      rep.min = rep.max = Number(10);
      if (Match(PatternToken::kComma)) rep.max = Match(PatternToken::kCount) ? Number(10) : -1;
      if (!Match(PatternToken::kBraceEnd) || (rep.max >= 0 && rep.max < rep.min))
        return Fail(), false;
    } else {
      return false;
    }
    rep.lazy = Match(PatternToken::kQuestion);
    rep.children.push_back(*atom);
    *atom = Add(std::move(rep));
    return true;
  }

  // An ordinary character, a \x or \u escape, as _M_try_char reads them.
  bool TryChar(char* c) {
    if (Match(PatternToken::kHex)) {
      *c = static_cast<char>(Number(16));
    } else if (Match(PatternToken::kChar)) {
      *c = value_[0];
    } else {
      return false;
    }
    return true;
  }

  // A bracket holding just c, without testing all 256 bytes against it.
  uint32_t Char(char c) {
    return AddSet(cases_.same_fold[static_cast<uint8_t>(cases_.fold[static_cast<uint8_t>(c)])]);
  }

  uint32_t QuotedClass(char letter) {
    BracketSet b;
    const auto& ctype = std::use_facet<std::ctype<char>>(traits_.getloc());
    b.negated = ctype.is(std::ctype_base::upper, letter);
    b.classes = traits_.lookup_classname(&letter, &letter + 1, true);
    return AddSet(b.Build(traits_, cases_));
  }

  bool Atom(int depth, uint32_t* out) {
    char c = 0;
    if (Match(PatternToken::kAny)) {
      ByteSet set;
      for (int v = 0; v < 256; ++v) {
        const char t = cases_.fold[v];
        if (t != cases_.fold[static_cast<uint8_t>('\n')] &&
            t != cases_.fold[static_cast<uint8_t>('\r')])
          set.Add(static_cast<uint8_t>(v));
      }
      *out = AddSet(set);
    } else if (TryChar(&c)) {
      *out = Char(c);
    } else if (Match(PatternToken::kBackref)) {
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
    } else if (Match(PatternToken::kClass)) {
      *out = QuotedClass(value_[0]);
    } else if (Match(PatternToken::kOpenPlain)) {
      *out = Group(depth, false);
    } else if (Match(PatternToken::kOpen)) {
      *out = Group(depth, true);
    } else if (Match(PatternToken::kBracket)) {
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
    if (!Match(PatternToken::kClose)) return Fail();
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
    } else if (Match(PatternToken::kDash)) {
      last = Last::kChar, last_char = '-';
    }
    while (ok_ && !Match(PatternToken::kBracketEnd)) {
      if (Match(PatternToken::kCollate)) {
        const std::string symbol = traits_.lookup_collatename(value_.begin(), value_.end());
        if (symbol.empty()) return Fail();
        b.chars.push_back(traits_.translate_nocase(symbol[0]));
        symbol.size() == 1 ? push_char(symbol[0]) : push_class();
      } else if (Match(PatternToken::kEquivalent)) {
        push_class();
        const std::string symbol = traits_.lookup_collatename(value_.begin(), value_.end());
        if (symbol.empty()) return Fail();
        b.equivalents.push_back(traits_.transform_primary(symbol.begin(), symbol.end()));
      } else if (Match(PatternToken::kClassName)) {
        push_class();
        const auto mask = traits_.lookup_classname(value_.begin(), value_.end(), true);
        if (mask == Traits::char_class_type{}) return Fail();
        b.classes |= mask;
      } else if (TryChar(&c)) {
        push_char(c);
      } else if (Match(PatternToken::kDash)) {
        if (Match(PatternToken::kBracketEnd)) {
          push_char('-');
          break;
        }
        if (last == Last::kClass) return Fail();
        if (last == Last::kChar) {
          if (TryChar(&c)) {
            if (!range(last_char, c)) return Fail();
          } else if (Match(PatternToken::kDash)) {
            if (!range(last_char, '-')) return Fail();
          } else {
            return Fail();
          }
        } else {
          push_char('-');
        }
      } else if (Match(PatternToken::kClass)) {
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
    return AddSet(b.Build(traits_, cases_));
  }

  Traits traits_;
  CaseTables cases_{traits_};
  PatternScanner scanner_;
  std::string value_;
  bool ok_ = true;
  std::vector<int32_t> open_groups_;
  PatternTree tree_;
};

}  // namespace

PatternTree ReadPattern(std::string_view pattern) { return Reader(pattern).Run(); }

}  // namespace trb
