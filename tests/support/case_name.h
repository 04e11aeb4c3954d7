// Names for the cases of parameterised tests, made from what a case holds, so that ctest's
// list and a failing line in CI say which case it was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace trb::test {

inline bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A character that is not a letter or digit, spelt out: "sp", "nl", "minus", "xA0".
inline std::string CharWord(char c) {
  static constexpr std::pair<char, const char*> kWords[] = {
      {' ', "sp"},   {'\n', "nl"},   {'\t', "tab"}, {'\r', "cr"}, {';', "semi"},
      {'\0', "nul"}, {'-', "minus"}, {'+', "plus"}, {'|', "bar"}, {'.', "dot"}};
  for (const auto& [ch, word] : kWords) {
    if (ch == c) return word;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  return std::string("x") + kHex[byte >> 4] + kHex[byte & 15];
}

// Letters and digits of `text` as they are; every run of anything else between them one '_',
// and what stands before the first or after the last spelt out ("sp_SHOW", "LOAD_nl",
// "minus_42", "empty"); at most about 40 characters, then the case's index, so that two
// cases whose texts read alike still get two names.
inline std::string CaseName(std::string_view text, size_t index) {
  size_t first = 0;
  while (first < text.size() && !IsAlnum(text[first])) ++first;
  size_t last = text.size();
  while (last > first && !IsAlnum(text[last - 1])) --last;
  std::string name = text.empty() ? "empty_" : "";
  for (size_t i = 0; i < first && name.size() < 40; ++i) name += CharWord(text[i]) + "_";
  for (size_t i = first; i < last && name.size() < 40; ++i) {
    if (IsAlnum(text[i])) {
      name += text[i];
    } else if (name.back() != '_') {
      name += '_';
    }
  }
  if (name.back() != '_') name += '_';
  for (size_t i = std::max(first, last); i < text.size() && name.size() < 40; ++i) {
    name += CharWord(text[i]) + "_";
  }
  return name + std::to_string(index);
}

}  // namespace trb::test
