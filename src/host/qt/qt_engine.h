// The Qt WebEngine implementation of the engine: one off-the-record profile shared by every
// browser, the browsers themselves, the UI loop and the hand-off to the desktop.
#pragma once

#include <QTimer>

#include <memory>
#include <vector>

#include "host/engine.h"

class QWebEngineProfile;

namespace trb::host {

class PageSchemeHandler;
class QtBrowser;

class QtEngine : public Engine {
 public:
  // Before the application object exists: what the engine must know at start-up.
  static void RegisterSchemes();

  QtEngine();  // after the application object exists
  ~QtEngine() override;
  QtEngine(const QtEngine&) = delete;
  QtEngine& operator=(const QtEngine&) = delete;

  void CreateBrowser(const NewWindow& new_window, std::shared_ptr<BrowserEvents> events,
                     const std::string& url) override;
  void QuitMessageLoop() override;
  void PostTask(std::function<void()> task) override;
  void PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) override;
  void OpenExternal(const std::string& url) override;
  bool OnUiThread() const override;

  // A browser has closed: the engine lets go of it.
  void Forget(QtBrowser* browser);

 private:
  QWebEngineProfile* profile_;
  std::vector<std::shared_ptr<QtBrowser>> browsers_;
  QTimer heap_trim_;
};

}  // namespace trb::host
