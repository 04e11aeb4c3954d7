// Readable names for parameterised cases, made from what a case holds.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace trb::test {

// Letters and digits kept, other runs '_', those at the ends spelt out ("sp_SHOW", "LOAD_nl"),
// about 40 characters at most, then the case's index.
inline std::string CaseName(std::string_view text, size_t index) {
  const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  const auto word = [](char c) -> std::string {
    static constexpr std::string_view kChars(" \n\t\r;\0-+|.", 10);
    static constexpr const char* kWords[] = {"sp",  "nl",    "tab",  "cr",  "semi",
                                             "nul", "minus", "plus", "bar", "dot"};
    if (const size_t i = kChars.find(c); i != kChars.npos) return kWords[i];
    const auto b = static_cast<unsigned char>(c);
    return std::string("x") + "0123456789ABCDEF"[b >> 4] + "0123456789ABCDEF"[b & 15];
  };
  size_t first = 0, last = text.size();
  while (first < last && !alnum(text[first])) ++first;
  while (last > first && !alnum(text[last - 1])) --last;
  std::string name = text.empty() ? "empty_" : "";
  for (size_t i = 0; i < text.size() && name.size() < 40; ++i) {
    const bool edge = i < first || i >= last;
    if (!name.empty() && name.back() != '_' && (edge || !alnum(text[i]))) name += '_';
    if (edge && name.size() < 40) name += word(text[i]) + "_";
    if (!edge && alnum(text[i])) name += text[i];
  }
  return name + (name.back() == '_' ? "" : "_") + std::to_string(index);
}

}  // namespace trb::test
