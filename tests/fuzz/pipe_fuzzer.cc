// Drives the pipe controller's real read loop over a scripted connection: the input is cut
// into reads of varying sizes, framed, parsed and executed against a recording fake browser.
// A small, independent model of the protocol (std::regex splitting, strtoll numbers) predicts
// every browser call and every reply byte; any difference aborts.
//
// Input: byte 0 = flags (bit 0: end with the stop signal instead of the controller closing),
// bytes 1-4 = read-size seeds, the rest = the bytes the controller sends.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipe/command_language.h"
#include "pipe/framing.h"
#include "pipe/pipe_controller.h"
#include "pipe/stop_signal.h"
#include "pipe/target.h"
#include "pipe/transport.h"
#include "policy/pages.h"

namespace {

using trb::NormalRect;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "pipe_fuzzer: %s\n", what);
    std::abort();
  }
}

// The state the fake keeps and the model predicts.
struct State {
  std::string url = "about:blank";
  bool hidden = true;
  NormalRect rect{1, 2, 3, 4};
  std::vector<std::string> calls;
};

std::string RectText(const NormalRect& r) {
  return std::to_string(r.top) + " " + std::to_string(r.left) + " " + std::to_string(r.bottom) +
         " " + std::to_string(r.right);
}

class FakeBrowser : public trb::Browser {
 public:
  explicit FakeBrowser(State& s) : s_(s) {}
  void LoadURL(const std::string& url) override {
    s_.calls.push_back("Load " + url);
    s_.url = url;
  }
  void Reload() override { s_.calls.push_back("Reload"); }
  std::string GetURL() override { return s_.url; }
  void CloseBrowser(bool force) override { s_.calls.push_back(force ? "Close!" : "Close"); }

 private:
  State& s_;
};

class FakeWindow : public trb::Window {
 public:
  explicit FakeWindow(State& s) : s_(s) {}
  void ShowWindowNormal() override { Shown("Show"); }
  void ShowWindowTopmost() override { Shown("ShowTopmost"); }
  void HideWindow() override {
    s_.calls.push_back("Hide");
    s_.hidden = true;
  }
  void MinimizeWindow() override { Shown("Minimize"); }
  void SetNormalRect(const NormalRect& r) override {
    s_.calls.push_back("Rect " + RectText(r));
    s_.rect = r;
    s_.hidden = true;
  }
  void ForbidResize() override { s_.calls.push_back("NoResize"); }
  bool IsWindowHidden() override { return s_.hidden; }
  NormalRect GetNormalRect() override { return s_.rect; }

 private:
  void Shown(const char* name) {
    s_.calls.push_back(name);
    s_.hidden = false;
  }
  State& s_;
};

class FakeHandler : public trb::MainHandler {
 public:
  explicit FakeHandler(State& s)
      : browser_(std::make_shared<FakeBrowser>(s)), window_(std::make_shared<FakeWindow>(s)) {}
  trb::Target ResolveTarget() override {
    return {browser_, [w = window_](const trb::WindowCall& call) { call(*w); }, {}};
  }

 private:
  std::shared_ptr<FakeBrowser> browser_;
  std::shared_ptr<FakeWindow> window_;
};

// Hands out the script's reads, then either the stop or the controller's close.
class ScriptedTransport : public trb::Transport {
 public:
  ScriptedTransport(std::vector<std::string_view> reads, bool end_with_stop)
      : reads_(std::move(reads)), end_with_stop_(end_with_stop) {}
  Wait WaitReadable() override {
    return next_ < reads_.size() || !end_with_stop_ ? Wait::kData : Wait::kStop;
  }
  std::optional<size_t> Read(char* buffer, size_t size) override {
    if (next_ >= reads_.size()) return std::nullopt;
    const std::string_view r = reads_[next_++];
    Check(r.size() <= size, "a read larger than asked for");
    std::copy(r.begin(), r.end(), buffer);
    return r.size();
  }
  // More is on its way exactly when the script has more reads.
  bool MoreArrivesWithin(std::chrono::milliseconds) override { return next_ < reads_.size(); }
  void Write(std::string_view bytes) override { written.append(bytes); }

  std::string written;

 private:
  std::vector<std::string_view> reads_;
  size_t next_ = 0;
  bool end_with_stop_;
};

// Pieces between separators (runs of them when `runs`, as "\\s+" matches): every piece before a
// separator counts, even when empty; the piece after the last one only when it is not empty; a
// text without a separator is the one piece. Written out here rather than taken from the product,
// whose splitters the unit tests hold to std::regex; per input, std::regex itself would cost more
// than the code under test.
template <typename IsSeparator>
std::vector<std::string> ModelSplit(std::string_view text, IsSeparator is_separator, bool runs) {
  std::vector<std::string> pieces;
  size_t start = 0;
  size_t i = 0;
  bool separated = false;
  while (i < text.size()) {
    if (!is_separator(text[i])) {
      ++i;
      continue;
    }
    separated = true;
    pieces.emplace_back(text.substr(start, i - start));
    ++i;
    while (runs && i < text.size() && is_separator(text[i])) ++i;
    start = i;
  }
  if (!separated || start < text.size()) pieces.emplace_back(text.substr(start));
  return pieces;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsSemicolon(char c) { return c == ';'; }

int32_t ModelNumber(const std::string& token) {
  errno = 0;
  const long long v = std::strtoll(token.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// The protocol as documented, one piece at a time. Returns false at QUIT.
struct Model {
  State s;
  bool allow_list_set = false;
  bool hide_on_close = false;
  std::string replies;

  bool Handle(const std::string& piece) {
    const std::vector<std::string> t = ModelSplit(piece, IsSpace, true);
    const std::string& w = t[0];
    const size_t n = t.size();
    const auto shown = [&](const char* name) {
      s.calls.push_back(name);
      s.hidden = false;
    };
    if (w == "LOAD" && n >= 2) {
      s.calls.push_back("Load " + t[1]);
      s.url = t[1];
    } else if (w == "RELOAD") {
      s.calls.push_back("Reload");
    } else if (w == "CLEAR") {
      s.url = trb::DefaultPageURL();
      s.calls.push_back("Load " + s.url);
    } else if (w == "SHOW") {
      shown("Show");
    } else if (w == "SHOWTOPMOST") {
      shown("ShowTopmost");
    } else if (w == "HIDE") {
      s.calls.push_back("Hide");
      s.hidden = true;
    } else if (w == "MINIMIZE") {
      shown("Minimize");
    } else if (w == "QUIT") {
      hide_on_close = false;
      s.calls.push_back("Close!");
      return false;
    } else if (w == "GEOMETRY" && n == 5) {
      s.rect = {ModelNumber(t[1]), ModelNumber(t[2]), ModelNumber(t[3]), ModelNumber(t[4])};
      s.calls.push_back("Rect " + RectText(s.rect));
      s.hidden = true;
    } else if (w == "NORESIZE") {
      s.calls.push_back("NoResize");
    } else if (w == "ISHIDDEN") {
      replies += s.hidden ? "ISHIDDEN 1" : "ISHIDDEN 0";
    } else if (w == "GETURL") {
      replies += "GETURL " + s.url;
    } else if (w == "SET-ALLOWED-ORIGINS") {
      allow_list_set = n >= 2;
    } else if (w == "SET-HIDE-ON-CLOSE") {
      if (n >= 2) hide_on_close = t[1] == "1";
    } else {
      replies += "ERROR Syntax Error: " + piece;
    }
    return true;
  }
};

// The framing rule, straight: carried tail + bytes up to the first zero, split at ';'. A read
// without a zero that does not end in ';' carries its last piece when it filled the buffer or
// continues a carried piece, and more bytes follow.
std::vector<std::string> ModelFrame(std::string& carried, std::string_view read, bool more) {
  const bool filled = read.size() == trb::Framer::kReadSize;
  const bool continuing = !carried.empty();
  const size_t zero = read.find('\0');
  std::string text = carried + std::string(read.substr(0, zero));
  std::vector<std::string> pieces = ModelSplit(text, IsSemicolon, false);
  carried.clear();
  if ((filled || continuing) && more && zero == std::string_view::npos &&
      (text.empty() || text.back() != ';')) {
    carried = pieces.back();
    pieces.pop_back();
  }
  return pieces;
}

size_t ReadSize(uint8_t seed) {
  if (seed < 16) return seed + 1u;
  if (seed >= 240) return trb::Framer::kReadSize;
  return seed * 8u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const bool end_with_stop = data[0] & 1;
  const uint8_t seeds[4] = {data[1], data[2], data[3], data[4]};
  std::string_view stream(reinterpret_cast<const char*>(data) + 5, size - 5);

  std::vector<std::string_view> reads;
  for (size_t i = 0; !stream.empty(); ++i) {
    const size_t n = std::min(ReadSize(seeds[i % 4]), stream.size());
    reads.push_back(stream.substr(0, n));
    stream.remove_prefix(n);
  }

  // The model, read by read; pieces after QUIT in its read, and later reads, never run.
  Model model;
  std::string carried;
  bool quit = false;
  for (size_t i = 0; i < reads.size(); ++i) {
    for (const std::string& piece : ModelFrame(carried, reads[i], i + 1 < reads.size())) {
      if (!model.Handle(piece)) {
        quit = true;
        break;
      }
    }
    if (quit) break;
  }
  if (quit || end_with_stop) {
    model.replies += "GEOMETRY " + RectText(model.s.rect);
  } else {
    model.hide_on_close = false;
    model.s.calls.push_back("Close!");
  }

  State state;
  FakeHandler handler(state);
  trb::g_main_handler.store(&handler);
  ScriptedTransport transport(reads, end_with_stop);
  trb::StopSignal stop;
  trb::PipeController controller("unused");
  controller.Serve(transport, stop);
  trb::g_main_handler.store(nullptr);

  Check(state.calls == model.s.calls, "browser and window calls differ from the model");
  Check(transport.written == model.replies, "replies differ from the model");
  Check(handler.hide_on_close_.load() == model.hide_on_close, "hide-on-close differs");
  Check(handler.allowed_origins_.IsEmpty() == !model.allow_list_set, "allow-list state differs");
  return 0;
}
