// The controller's command language: what a command piece means, and the exact texts of the
// replies. Pure functions; executing a command is the pipe controller's business.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pipe/window.h"

namespace trb {

namespace command {
struct Load {
  std::string url;
  friend bool operator==(const Load&, const Load&) = default;
};
struct Reload {
  friend bool operator==(const Reload&, const Reload&) = default;
};
struct Clear {
  friend bool operator==(const Clear&, const Clear&) = default;
};
struct Show {
  friend bool operator==(const Show&, const Show&) = default;
};
struct ShowTopmost {
  friend bool operator==(const ShowTopmost&, const ShowTopmost&) = default;
};
struct Hide {
  friend bool operator==(const Hide&, const Hide&) = default;
};
struct Minimize {
  friend bool operator==(const Minimize&, const Minimize&) = default;
};
struct Quit {
  friend bool operator==(const Quit&, const Quit&) = default;
};
struct Geometry {
  NormalRect rect;
  friend bool operator==(const Geometry&, const Geometry&) = default;
};
struct NoResize {
  friend bool operator==(const NoResize&, const NoResize&) = default;
};
struct IsHidden {
  friend bool operator==(const IsHidden&, const IsHidden&) = default;
};
struct GetUrl {
  friend bool operator==(const GetUrl&, const GetUrl&) = default;
};
// Without patterns (no argument) the list is to be cleared.
struct SetAllowedOrigins {
  std::optional<std::vector<std::string>> patterns;
  friend bool operator==(const SetAllowedOrigins&, const SetAllowedOrigins&) = default;
};
// Without a flag (no argument) nothing changes.
struct SetHideOnClose {
  std::optional<bool> hide;
  friend bool operator==(const SetHideOnClose&, const SetHideOnClose&) = default;
};
}  // namespace command

using Command = std::variant<command::Load, command::Reload, command::Clear, command::Show,
                             command::ShowTopmost, command::Hide, command::Minimize, command::Quit,
                             command::Geometry, command::NoResize, command::IsHidden,
                             command::GetUrl, command::SetAllowedOrigins, command::SetHideOnClose>;

// The command a piece asks for, or nullopt when the language refuses it. Tokens are the
// piece cut at runs of whitespace; the command word (token 0) is compared byte for byte,
// case included; LOAD needs at least 2 tokens, GEOMETRY exactly 5; other extra tokens are
// ignored.
std::optional<Command> ParseCommand(std::string_view piece);

// A number the way atoi reads it (leading whitespace, an optional sign, then decimal digits
// up to the first other character; 0 when there are none), clamped to the int32_t range
// instead of overflowing.
int32_t ParseInt32(std::string_view text);

std::string SyntaxErrorReply(std::string_view piece);  // "ERROR Syntax Error: " + piece
std::string IsHiddenReply(bool hidden);                // "ISHIDDEN 1" / "ISHIDDEN 0"
std::string GetUrlReply(std::string_view url);         // "GETURL " + url
std::string GeometryReply(const NormalRect& rect);     // "GEOMETRY top left bottom right"

}  // namespace trb
