#include "app/host_app.h"

#include <memory>

namespace trb {

void HostApp::OnContextInitialized(const CommandLine& cl) {
  // In views mode the window shows at once and follows the page title; either way a close
  // request goes through the handler first.
  PopupRule popups;
  popups.restricted = cl.restrict_popups;
  auto handler = std::make_shared<BrowserHandler>(engine_, pipe_, cl.use_views, /*is_main=*/true,
                                                  popups, events_);
  if (cl.reload_after_crash) handler->ReloadAfterCrash(*cl.reload_after_crash);
  // The "url" switch never decides what is shown: the default page replaces everything as
  // soon as the browser exists, so the browser starts empty.
  engine_.CreateBrowser(host::NewWindow{kMainWindowTitle, /*visible=*/cl.use_views}, handler,
                        std::string());
}

void HostApp::RequestQuit() {
  MainHandler* handler = g_main_handler.load();
  Target target = handler != nullptr ? handler->ResolveTarget() : Target{};
  if (!target.browser) {
    engine_.QuitMessageLoop();
    return;
  }
  handler->hide_on_close_.store(false);
  target.browser->CloseBrowser(true);
}

}  // namespace trb
