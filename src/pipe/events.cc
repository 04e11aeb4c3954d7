#include "pipe/events.h"

#include <nlohmann/json.hpp>

namespace trb::events {
namespace {

using Json = nlohmann::ordered_json;  // "event" stays the first field

std::string Line(const Json& object) {
  // Not ASCII-only: UTF-8 passes as it is; invalid bytes become U+FFFD instead of throwing.
  std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
  line += '\n';
  return line;
}

// std::string_view does not convert to a JSON string implicitly in every library version.
std::string S(std::string_view text) { return std::string(text); }

}  // namespace

std::string Url(std::string_view url) { return Line({{"event", "url"}, {"url", S(url)}}); }

std::string Load(std::string_view url) { return Line({{"event", "load"}, {"url", S(url)}}); }

std::string LoadError(std::string_view url, int32_t code, std::string_view text, bool main) {
  return Line({{"event", "load-error"},
               {"url", S(url)},
               {"code", code},
               {"text", S(text)},
               {"main", main}});
}

std::string Denied(std::string_view url, bool main) {
  return Line({{"event", "denied"}, {"url", S(url)}, {"main", main}});
}

std::string Handoff(std::string_view url) { return Line({{"event", "handoff"}, {"url", S(url)}}); }

std::string Title(std::string_view title) {
  return Line({{"event", "title"}, {"title", S(title)}});
}

std::string Window(std::string_view state) {
  return Line({{"event", "window"}, {"state", S(state)}});
}

std::string Popup(std::string_view url) { return Line({{"event", "popup"}, {"url", S(url)}}); }

std::string RendererGone(std::string_view status) {
  return Line({{"event", "renderer-gone"}, {"status", S(status)}});
}

std::string Dropped(uint64_t count) { return Line({{"event", "dropped"}, {"count", count}}); }

}  // namespace trb::events
