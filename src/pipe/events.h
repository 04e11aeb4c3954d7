// The events channel's vocabulary: where events go (EventSink) and how each one is written,
// one JSON object on one line. The browser reports through these; the writer carries the
// lines to the controller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trb {

// Where the browser's events go. Post takes one encoded event (a line ending with '\n'); it
// may be called from any thread and never waits for the controller.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Post(std::string line) = 0;
};

// One line per event: {"event":NAME,...}\n. Text fields are UTF-8; bytes that are not valid
// UTF-8 come out as U+FFFD, so every line is valid JSON whatever a page put in its URL or
// title.
namespace events {

std::string Url(std::string_view url);
std::string Load(std::string_view url);
std::string LoadError(std::string_view url, int32_t code, std::string_view text, bool main);
std::string Denied(std::string_view url, bool main);
std::string Handoff(std::string_view url);
std::string Title(std::string_view title);
// `state`: "shown", "hidden" or "minimized".
std::string Window(std::string_view state);
std::string Popup(std::string_view url);
// `status`: "crashed", "killed" or "abnormal".
std::string RendererGone(std::string_view status);
// `count` events were dropped before the one that follows.
std::string Dropped(uint64_t count);

}  // namespace events
}  // namespace trb
