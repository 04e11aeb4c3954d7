// Turns a pattern tree (pattern_reader.h) into the texts RE2 and PCRE2 run, so that they
// answer what std::regex answers, and sizes up what the pattern may cost RE2.
//
// Every byte set is written out explicitly (case folding included), so neither library's
// own case folding, '.', classes or locale come into play. Both texts are in prefix form:
// for the whole-URL match of "^" + Q + ".*$", an alternative ending in that ".*$" becomes
// "its part before the tail matches a prefix of the URL" (right for URLs without CR or LF;
// PCRE2 marks the spot with callout 1, where the caller demands that the match reach past
// the URL's last line break), and every other alternative must end at the end (\z).
#pragma once

#include <cstdint>
#include <string>

#include "policy/pattern_reader.h"

namespace trb {

struct Translation {
  // What std::regex does with the pattern cannot be said in PCRE2's terms (see Translate);
  // the pattern covers nothing.
  bool faithful = false;
  // Anchor at the start; every quantifier is lazy (see pattern_translation.cc). Callout 1
  // ends an alternative whose ".*$" tail was dropped; a callout with a string (the group
  // number) stands before each back-reference.
  std::string pcre2;
  int captures = 0;  // capturing groups in `pcre2`
  // RE2 (Latin-1) can run it too: no lookahead, no back-reference, counts up to 1000.
  bool re2_able = false;
  std::string re2;

  // For the RE2 cost gate, in NFA positions (counted repeats expanded): how many; whether a
  // match of the prefix form has a longest length, and how far shortest and longest lie
  // apart; and whether it is "tame": one unbounded repeat of a byte set, followed only by
  // byte sets (at most six of them not a plain letter) and assertions, which keeps the
  // states RE2's DFA can need few.
  uint64_t size = 0;
  bool bounded = false;
  uint64_t max_width = 0;  // when bounded
  uint64_t width_spread = 0;
  bool tame = false;
};

Translation Translate(const PatternTree& tree);

}  // namespace trb
