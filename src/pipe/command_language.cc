#include "pipe/command_language.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "policy/split.h"

namespace trb {
namespace {

using Tokens = std::vector<std::string>;

// One entry of the command table: the word, the smallest and largest token count it takes
// (command word included), and how to build the command from its tokens.
struct Entry {
  std::string_view word;
  size_t min_tokens;
  size_t max_tokens;
  Command (*build)(const Tokens&);
};

constexpr size_t kAny = std::numeric_limits<size_t>::max();

// In the order the words are tried. The words all differ, so the order only matters in that
// it is the documented one.
constexpr Entry kTable[] = {
    {"LOAD", 2, kAny, [](const Tokens& t) -> Command { return command::Load{t[1]}; }},
    {"RELOAD", 1, kAny, [](const Tokens&) -> Command { return command::Reload{}; }},
    {"CLEAR", 1, kAny, [](const Tokens&) -> Command { return command::Clear{}; }},
    {"SHOW", 1, kAny, [](const Tokens&) -> Command { return command::Show{}; }},
    {"SHOWTOPMOST", 1, kAny, [](const Tokens&) -> Command { return command::ShowTopmost{}; }},
    {"HIDE", 1, kAny, [](const Tokens&) -> Command { return command::Hide{}; }},
    {"MINIMIZE", 1, kAny, [](const Tokens&) -> Command { return command::Minimize{}; }},
    {"QUIT", 1, kAny, [](const Tokens&) -> Command { return command::Quit{}; }},
    {"GEOMETRY", 5, 5,
     [](const Tokens& t) -> Command {
       return command::Geometry{
           NormalRect{ParseInt32(t[1]), ParseInt32(t[2]), ParseInt32(t[3]), ParseInt32(t[4])}};
     }},
    {"NORESIZE", 1, kAny, [](const Tokens&) -> Command { return command::NoResize{}; }},
    {"ISHIDDEN", 1, kAny, [](const Tokens&) -> Command { return command::IsHidden{}; }},
    {"GETURL", 1, kAny, [](const Tokens&) -> Command { return command::GetUrl{}; }},
    {"SET-ALLOWED-ORIGINS", 1, kAny,
     [](const Tokens& t) -> Command {
       if (t.size() < 2) return command::SetAllowedOrigins{};
       return command::SetAllowedOrigins{SplitAtBars(t[1])};
     }},
    {"SET-HIDE-ON-CLOSE", 1, kAny,
     [](const Tokens& t) -> Command {
       if (t.size() < 2) return command::SetHideOnClose{};
       return command::SetHideOnClose{t[1] == "1"};
     }},
};

bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::optional<Command> ParseCommand(std::string_view piece) {
  const Tokens tokens = SplitAtWhitespace(piece);
  for (const Entry& entry : kTable) {
    if (tokens[0] != entry.word) continue;
    if (tokens.size() < entry.min_tokens || tokens.size() > entry.max_tokens) continue;
    return entry.build(tokens);
  }
  return std::nullopt;
}

int32_t ParseInt32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsAtoiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate towards the sign so INT32_MIN is reachable; stop growing once past the range.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (negative) return static_cast<int32_t>(-std::min(magnitude, kLimit));
  return static_cast<int32_t>(std::min(magnitude, kLimit - 1));
}

std::string SyntaxErrorReply(std::string_view piece) {
  std::string reply = "ERROR Syntax Error: ";
  reply.append(piece);
  return reply;
}

std::string IsHiddenReply(bool hidden) { return hidden ? "ISHIDDEN 1" : "ISHIDDEN 0"; }

std::string GetUrlReply(std::string_view url) {
  std::string reply = "GETURL ";
  reply.append(url);
  return reply;
}

std::string GeometryReply(const NormalRect& rect) {
  char buffer[64] = "GEOMETRY";
  char* out = buffer + 8;
  char* const end = buffer + sizeof buffer;
  for (const int32_t value : {rect.top, rect.left, rect.bottom, rect.right}) {
    *out++ = ' ';
    out = std::to_chars(out, end, value).ptr;
  }
  return std::string(buffer, out);
}

}  // namespace trb
