// libstdc++'s tokens for ECMAScript regular expressions (bits/regex_scanner.tcc): the same
// three scanner states and the same reading of every escape, for the pattern reader.
#pragma once

#include <string>
#include <string_view>

namespace trb {

enum class PatternToken {
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

// Reads one token ahead, as libstdc++'s _Scanner does; kError where it would throw.
class PatternScanner {
 public:
  explicit PatternScanner(std::string_view p) : p_(p) { Advance(); }

  PatternToken tok() const { return tok_; }
  const std::string& value() const { return value_; }
  void Advance();

 private:
  enum class State { kNormal, kBracket, kBrace };

  bool AtEnd() const { return pos_ >= p_.size(); }
  char Next() { return p_[pos_++]; }
  void Set(PatternToken t, std::string v = {});
  void Normal();
  void Escape();  // after a backslash that is not the last byte
  void InBracket();
  void InBrace();

  std::string_view p_;
  size_t pos_ = 0;
  State state_ = State::kNormal;
  PatternToken tok_ = PatternToken::kEof;
  std::string value_;
};

}  // namespace trb
