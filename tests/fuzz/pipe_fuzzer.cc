// The pipe controller's real read loop over scripted reads against a recording fake, held call
// by call and byte by byte to a small model of the protocol written out here. Input: byte 0 bit
// 0 = end with the stop, not the close; bytes 1-4 = read-size seeds; the rest = the stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "pipe/framing.h"
#include "pipe/pipe_controller.h"
#include "policy/pages.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "pipe_fuzzer: %s\n", what), std::abort();
}

std::string RectText(const trb::NormalRect& r) {
  return std::to_string(r.top) + " " + std::to_string(r.left) + " " + std::to_string(r.bottom) +
         " " + std::to_string(r.right);
}

// What the fake records and keeps, and the model predicts.
struct State {
  std::string url = "about:blank", calls;
  bool hidden = true;
  trb::NormalRect rect{1, 2, 3, 4};
  void Call(std::string_view c, int hide = -1) {
    calls.append(c) += '\n';
    if (hide >= 0) hidden = hide;
  }
};

// Records each call as the command that asks for it.
struct Fake : trb::Browser, trb::Window, trb::MainHandler {
  State s;
  void LoadURL(const std::string& url) override { s.Call("LOAD " + (s.url = url)); }
  void Reload() override { s.Call("RELOAD"); }
  std::string GetURL() override { return s.url; }
  void CloseBrowser(bool force) override { s.Call(force ? "QUIT" : "close"); }
  void ShowWindowNormal() override { s.Call("SHOW", 0); }
  void ShowWindowTopmost() override { s.Call("SHOWTOPMOST", 0); }
  void HideWindow() override { s.Call("HIDE", 1); }
  void MinimizeWindow() override { s.Call("MINIMIZE", 0); }
  void SetNormalRect(const trb::NormalRect& r) override {
    s.Call("GEOMETRY " + RectText(s.rect = r), 1);
  }
  void ForbidResize() override { s.Call("NORESIZE"); }
  bool IsWindowHidden() override { return s.hidden; }
  trb::NormalRect GetNormalRect() override { return s.rect; }
  trb::Target ResolveTarget() override {
    return {std::shared_ptr<trb::Browser>(std::shared_ptr<void>(), this),
            [this](const trb::WindowCall& call) { call(*this); },
            {}};
  }
};

// Hands out the script's reads, then the stop or the controller's close. More is on its way
// exactly when the script has more reads.
struct ScriptedTransport : trb::Transport {
  std::vector<std::string_view> reads;
  bool end_with_stop;
  size_t next = 0;
  std::string written;
  Wait WaitReadable() override {
    return next < reads.size() || !end_with_stop ? Wait::kData : Wait::kStop;
  }
  std::optional<size_t> Read(char* buffer, size_t size) override {
    if (next >= reads.size()) return std::nullopt;
    Check(reads[next].size() <= size, "a read larger than asked for");
    return reads[next].copy(buffer, size), reads[next++].size();
  }
  bool MoreArrivesWithin(std::chrono::milliseconds) override { return next < reads.size(); }
  void Write(std::string_view bytes) override { written += bytes; }
};

// Pieces between separators (runs of them when `runs`, as "\\s+" matches): every piece before
// a separator, even empty; the one after the last only when not empty; a text without any
// separator is its one piece.
template <typename Piece>
std::vector<Piece> Split(std::string_view text, bool (*is_separator)(char), bool runs) {
  std::vector<Piece> pieces;
  size_t start = 0;
  bool separated = false;
  for (size_t i = 0; i < text.size();) {
    if (!is_separator(text[i++])) continue;
    separated = true;
    pieces.emplace_back(text.substr(start, i - 1 - start));
    while (runs && i < text.size() && is_separator(text[i])) ++i;
    start = i;
  }
  if (!separated || start < text.size()) pieces.emplace_back(text.substr(start));
  return pieces;
}

bool IsSpace(char c) { return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos; }
bool IsSemicolon(char c) { return c == ';'; }

int32_t Number(std::string_view token) {
  return static_cast<int32_t>(std::clamp<long long>(
      std::strtoll(std::string(token).c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
}

// The protocol as documented, one piece at a time. False at QUIT.
struct Model {
  State s;
  bool allow_list_set = false, hide_on_close = false;
  std::string replies;

  bool Handle(const std::string& piece) {
    static const std::map<std::string_view, int> kPlain = {{"RELOAD", -1},     {"SHOW", 0},
                                                           {"SHOWTOPMOST", 0}, {"HIDE", 1},
                                                           {"MINIMIZE", 0},    {"NORESIZE", -1}};
    const std::vector<std::string_view> t = Split<std::string_view>(piece, IsSpace, true);
    const std::string_view w = t[0];
    if (const auto plain = kPlain.find(w); plain != kPlain.end()) {
      s.Call(w, plain->second);
    } else if (w == "LOAD" && t.size() >= 2) {
      s.url = t[1];
      s.Call("LOAD " + s.url);
    } else if (w == "CLEAR") {
      static const std::string kDefaultPage = trb::DefaultPageURL();
      s.Call("LOAD " + (s.url = kDefaultPage));
    } else if (w == "QUIT") {
      s.Call("QUIT");
      return hide_on_close = false;
    } else if (w == "GEOMETRY" && t.size() == 5) {
      s.rect = {Number(t[1]), Number(t[2]), Number(t[3]), Number(t[4])};
      s.Call("GEOMETRY " + RectText(s.rect), 1);
    } else if (w == "ISHIDDEN" || w == "GETURL") {
      replies += w == "GETURL" ? "GETURL " + s.url : s.hidden ? "ISHIDDEN 1" : "ISHIDDEN 0";
    } else if (w == "SET-ALLOWED-ORIGINS") {
      allow_list_set = t.size() >= 2;
    } else if (w == "SET-HIDE-ON-CLOSE") {
      hide_on_close = t.size() >= 2 ? t[1] == "1" : hide_on_close;
    } else {
      replies.append("ERROR Syntax Error: ").append(piece);
    }
    return true;
  }
};

// The framing rule: carried tail + bytes up to the first zero, split at ';'. A read without a
// zero that does not end in ';' carries its last piece when more bytes follow and it filled
// the buffer, continues a carried piece, or comes right after a read that filled the buffer.
std::vector<std::string> Frame(std::string& carried, bool& after_full, std::string_view read,
                               bool more) {
  const bool keep = read.size() == trb::Framer::kReadSize || !carried.empty() || after_full;
  after_full = read.size() == trb::Framer::kReadSize;
  const size_t zero = read.find('\0');
  const std::string text = carried + std::string(read.substr(0, zero));
  std::vector<std::string> pieces = Split<std::string>(text, IsSemicolon, false);
  carried.clear();
  if (keep && more && zero == std::string_view::npos && !text.ends_with(';')) {
    carried = pieces.back();
    pieces.pop_back();
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  ScriptedTransport transport;
  transport.end_with_stop = data[0] & 1;
  std::string_view stream(reinterpret_cast<const char*>(data) + 5, size - 5);
  for (size_t i = 0; !stream.empty(); ++i) {
    const uint8_t seed = data[1 + i % 4];
    const size_t n = seed < 16 ? seed + 1u : seed >= 240 ? trb::Framer::kReadSize : seed * 8u;
    transport.reads.push_back(stream.substr(0, n));
    stream.remove_prefix(std::min(n, stream.size()));
  }

  // The model, read by read; the rest of a read after QUIT, and later reads, never run.
  Model model;
  std::string carried;
  bool after_full = false, quit = false;
  for (size_t i = 0; i < transport.reads.size() && !quit; ++i) {
    for (const std::string& piece :
         Frame(carried, after_full, transport.reads[i], i + 1 < transport.reads.size()))
      if ((quit = !model.Handle(piece))) break;
  }
  if (quit || transport.end_with_stop) {
    model.replies += "GEOMETRY " + RectText(model.s.rect);
  } else {
    model.hide_on_close = false;
    model.s.Call("QUIT");  // the controller's close forces the browser's
  }

  Fake fake;
  trb::g_main_handler.store(&fake);
  static const trb::StopSignal kNeverSet;  // the transport brings the stop
  trb::PipeController("unused").Serve(transport, kNeverSet);
  trb::g_main_handler.store(nullptr);
  Check(fake.s.calls == model.s.calls, "browser and window calls differ from the model");
  Check(transport.written == model.replies, "replies differ from the model");
  Check(fake.hide_on_close_ == model.hide_on_close, "hide-on-close differs");
  Check(fake.allowed_origins_.IsEmpty() == !model.allow_list_set, "allow-list state differs");
  return 0;
}
