// Names for the cases of parameterised tests, made from what a case holds, so that ctest's
// list and a failing line in CI say which case it was.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trb::test {

// Letters and digits of `text` as they are, every run of anything else one '_', at most 40
// of them, then the case's index: two cases whose texts read alike still get two names.
inline std::string CaseName(std::string_view text, size_t index) {
  std::string name;
  for (const char c : text) {
    if (name.size() >= 40) break;
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (alnum) {
      name += c;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  if (!name.empty() && name.back() != '_') name += '_';
  return name + std::to_string(index);
}

}  // namespace trb::test
