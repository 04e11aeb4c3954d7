#include "pipe/pipe_controller.h"

#include <memory>
#include <type_traits>
#include <utility>

#include "pipe/command_language.h"
#include "pipe/framing.h"
#include "policy/pages.h"

namespace trb {
namespace {

// Carries out one parsed command. Returns false for QUIT.
class Executor {
 public:
  Executor(PipeController& controller, const Target& target, MainHandler* handler)
      : controller_(controller), target_(target), handler_(handler) {}

  bool operator()(const command::Load& c) {
    if (target_.browser) target_.browser->LoadURL(c.url);
    return true;
  }
  bool operator()(const command::Reload&) {
    if (target_.browser) target_.browser->Reload();
    return true;
  }
  bool operator()(const command::Clear&) {
    if (target_.browser) target_.browser->LoadURL(DefaultPageURL());
    return true;
  }
  bool operator()(const command::Show&) { return OnWindow(&Window::ShowWindowNormal); }
  bool operator()(const command::ShowTopmost&) { return OnWindow(&Window::ShowWindowTopmost); }
  bool operator()(const command::Hide&) { return OnWindow(&Window::HideWindow); }
  bool operator()(const command::Minimize&) { return OnWindow(&Window::MinimizeWindow); }
  bool operator()(const command::NoResize&) { return OnWindow(&Window::ForbidResize); }
  bool operator()(const command::Quit&) {
    if (handler_ != nullptr) handler_->hide_on_close_.store(false);
    if (target_.browser) target_.browser->CloseBrowser(true);
    return false;
  }
  bool operator()(const command::Geometry& c) {
    return OnWindow([&c](Window& w) { w.SetNormalRect(c.rect); });
  }
  bool operator()(const command::IsHidden&) {
    // A controller waits for this answer, so it gets one even without a window: nothing is
    // shown, hence hidden.
    bool hidden = true;
    if (target_.window_hidden) {
      hidden = target_.window_hidden();
    } else {
      OnWindow([&hidden](Window& w) { hidden = w.IsWindowHidden(); });
    }
    controller_.WriteReply(IsHiddenReply(hidden));
    return true;
  }
  bool operator()(const command::GetUrl&) {
    controller_.WriteReply(GetUrlReply(target_.browser ? target_.browser->GetURL() : ""));
    return true;
  }
  bool operator()(const command::SetAllowedOrigins& c) {
    if (handler_ == nullptr) return true;
    if (c.patterns) {
      handler_->allowed_origins_.Replace(*c.patterns);
    } else {
      handler_->allowed_origins_.Clear();
    }
    return true;
  }
  bool operator()(const command::SetHideOnClose& c) {
    if (handler_ != nullptr && c.hide) handler_->hide_on_close_.store(*c.hide);
    return true;
  }

 private:
  bool OnWindow(void (Window::*operation)()) {
    return OnWindow([operation](Window& w) { (w.*operation)(); });
  }
  bool OnWindow(const WindowCall& call) {
    if (target_.window) target_.window(call);
    return true;
  }

  PipeController& controller_;
  const Target& target_;
  MainHandler* const handler_;
};

}  // namespace

PipeController::PipeController(std::string pipe_name, ConnectOptions options)
    : pipe_name_(std::move(pipe_name)), options_(std::move(options)) {}

void PipeController::Run(const StopSignal& stop) {
  const std::unique_ptr<Transport> transport = ConnectToController(pipe_name_, stop, options_);
  if (!transport) return;
  Serve(*transport, stop);
}

void PipeController::Serve(Transport& transport, const StopSignal& stop) {
  transport_ = &transport;
  Framer framer;
  char buffer[Framer::kReadSize + 1];
  bool after_full_read = false;
  for (;;) {
    // The stop is looked at between reads only, so every piece of a read is answered.
    if (stop.IsSet()) break;
    const Transport::Wait wait = transport.WaitReadable();
    if (wait == Transport::Wait::kStop) break;
    std::optional<size_t> count;
    if (wait == Transport::Wait::kData) count = transport.Read(buffer, Framer::kReadSize);
    if (!count) {
      ForceClose();
      transport_ = nullptr;
      return;
    }
    if (*count == 0) continue;

    const std::string_view got(buffer, *count);
    Framer::Pieces framed =
        framer.Feed(got, MoreMayFollow(transport, stop, framer, got, after_full_read));
    after_full_read = got.size() == Framer::kReadSize;
    bool quit = false;
    for (const std::string& piece : framed.pieces) {
      if (!HandleCommand(piece)) {
        quit = true;  // the rest of the read is dropped
        break;
      }
    }
    if (quit) break;
    if (framed.over_long) {
      ResolveTarget();
      WriteReply(SyntaxErrorReply(*framed.over_long));
    }
  }
  ReportGeometry();
  transport_ = nullptr;
}

bool PipeController::MoreMayFollow(Transport& transport, const StopSignal& stop,
                                   const Framer& framer, std::string_view got,
                                   bool after_full_read) {
  // Only a text that ends inside a command can be waiting for more. A read that filled the
  // buffer, one that continues a command already carried, or one that ends a backlog (the
  // read before it was full, so the controller was writing faster than we read and may be
  // blocked half-way through a write) suggests that the command is still being delivered.
  // Such a command is kept whole if its next bytes arrive within the grace; a controller
  // that sent exactly a full read without ';' is answered after the grace instead of never.
  if (got.back() == ';' || got.find('\0') != std::string_view::npos) return false;
  if (got.size() != Framer::kReadSize && framer.carried().empty() && !after_full_read) {
    return false;
  }
  if (transport.MoreArrivesWithin(kCommandGrace)) return true;
  // A stop ends the wait early, and no read follows it: the rest of the command will never
  // come, and handling its first half would act on a truncated command (a cut URL, a wrong
  // size). It is kept back, and dropped with everything else left unread.
  return stop.IsSet();
}

bool PipeController::HandleCommand(std::string_view piece) {
  const Target target = ResolveTarget();
  const std::optional<Command> command = ParseCommand(piece);
  if (!command) {
    WriteReply(SyntaxErrorReply(piece));
    return true;
  }
  return std::visit(Executor(*this, target, g_main_handler.load()), *command);
}

void PipeController::WriteReply(std::string_view text) {
  if (transport_ != nullptr) transport_->Write(text);
}

void PipeController::ReportGeometry() {
  const Target target = ResolveTarget();
  if (!target.window) return;
  // A window that has already gone reports zeros: the report still ends the session.
  NormalRect rect;
  target.window([&rect](Window& w) { rect = w.GetNormalRect(); });
  WriteReply(GeometryReply(rect));
}

Target PipeController::ResolveTarget() {
  MainHandler* handler = g_main_handler.load();
  if (handler == nullptr) return {};
  return handler->ResolveTarget();
}

void PipeController::ForceClose() {
  if (MainHandler* handler = g_main_handler.load()) handler->hide_on_close_.store(false);
  const Target target = ResolveTarget();
  if (target.browser) target.browser->CloseBrowser(true);
}

}  // namespace trb
