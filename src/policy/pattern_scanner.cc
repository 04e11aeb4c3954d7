#include "policy/pattern_scanner.h"

#include <utility>

namespace trb {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsXDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

void PatternScanner::Advance() {
  value_.clear();
  if (pos_ >= p_.size()) {
    tok_ = state_ == State::kNormal ? PatternToken::kEof : PatternToken::kError;
    return;
  }
  if (state_ == State::kBracket) return InBracket();
  if (state_ == State::kBrace) return InBrace();
  Normal();
}

void PatternScanner::Set(PatternToken t, std::string v) {
  tok_ = t;
  value_ = std::move(v);
}

void PatternScanner::Normal() {
  const char c = Next();
  switch (c) {
    case '\\':
      if (AtEnd()) return Set(PatternToken::kError);
      return Escape();
    case '(':
      if (AtEnd() || p_[pos_] != '?') return Set(PatternToken::kOpen);
      if (++pos_ >= p_.size()) return Set(PatternToken::kError);
      switch (Next()) {
        case ':':
          return Set(PatternToken::kOpenPlain);
        case '=':
          return Set(PatternToken::kLookahead, "p");
        case '!':
          return Set(PatternToken::kLookahead, "n");
        default:
          return Set(PatternToken::kError);
      }
    case ')':
      return Set(PatternToken::kClose);
    case '[':
      state_ = State::kBracket;
      if (!AtEnd() && p_[pos_] == '^') {
        ++pos_;
        return Set(PatternToken::kBracket, "n");
      }
      return Set(PatternToken::kBracket);
    case '{':
      state_ = State::kBrace;
      return Set(PatternToken::kBrace);
    case '^':
      return Set(PatternToken::kBegin);
    case '$':
      return Set(PatternToken::kEnd);
    case '.':
      return Set(PatternToken::kAny);
    case '*':
      return Set(PatternToken::kStar);
    case '+':
      return Set(PatternToken::kPlus);
    case '?':
      return Set(PatternToken::kQuestion);
    case '|':
      return Set(PatternToken::kBar);
    default:  // ']' '}' NUL and every other byte stand for themselves
      return Set(PatternToken::kChar, std::string(1, c));
  }
}

void PatternScanner::Escape() {
  const char c = Next();
  static constexpr std::pair<char, char> kEscapes[] = {
      {'0', '\0'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'v', '\v'}};
  for (const auto& [name, byte] : kEscapes) {
    if (c == name && (c != 'b' || state_ == State::kBracket))
      return Set(PatternToken::kChar, std::string(1, byte));
  }
  switch (c) {
    case 'b':
      return Set(PatternToken::kWordBound);
    case 'B':
      return Set(PatternToken::kWordBound, "n");
    case 'd':
    case 'D':
    case 's':
    case 'S':
    case 'w':
    case 'W':
      return Set(PatternToken::kClass, std::string(1, c));
    case 'c':  // libstdc++ takes the next byte as it is
      if (AtEnd()) return Set(PatternToken::kError);
      return Set(PatternToken::kChar, std::string(1, Next()));
    case 'x':
    case 'u': {
      std::string digits;
      for (int i = 0; i < (c == 'x' ? 2 : 4); ++i) {
        if (AtEnd() || !IsXDigit(p_[pos_])) return Set(PatternToken::kError);
        digits += Next();
      }
      return Set(PatternToken::kHex, std::move(digits));
    }
    default:
      if (IsDigit(c)) {
        std::string digits(1, c);
        while (!AtEnd() && IsDigit(p_[pos_])) digits += Next();
        return Set(PatternToken::kBackref, std::move(digits));
      }
      return Set(PatternToken::kChar, std::string(1, c));
  }
}

void PatternScanner::InBracket() {
  const char c = Next();
  if (c == '-') return Set(PatternToken::kDash);
  if (c == '[') {
    if (AtEnd()) return Set(PatternToken::kError);
    const char kind = p_[pos_];
    if (kind != '.' && kind != ':' && kind != '=') return Set(PatternToken::kChar, "[");
    ++pos_;
    std::string name;
    while (!AtEnd() && p_[pos_] != kind) name += Next();
    if (AtEnd() || Next() != kind || AtEnd() || Next() != ']') return Set(PatternToken::kError);
    return Set(kind == '.'   ? PatternToken::kCollate
               : kind == ':' ? PatternToken::kClassName
                             : PatternToken::kEquivalent,
               std::move(name));
  }
  if (c == ']') {
    state_ = State::kNormal;
    return Set(PatternToken::kBracketEnd);
  }
  if (c == '\\') {
    if (AtEnd()) return Set(PatternToken::kError);
    return Escape();
  }
  Set(PatternToken::kChar, std::string(1, c));
}

void PatternScanner::InBrace() {
  const char c = Next();
  if (IsDigit(c)) {
    std::string digits(1, c);
    while (!AtEnd() && IsDigit(p_[pos_])) digits += Next();
    return Set(PatternToken::kCount, std::move(digits));
  }
  if (c == ',') return Set(PatternToken::kComma);
  if (c == '}') {
    state_ = State::kNormal;
    return Set(PatternToken::kBraceEnd);
  }
  Set(PatternToken::kError);
}

}  // namespace trb
