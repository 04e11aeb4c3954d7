// The engine's page for one browser: passes every navigation decision to its guard.
#pragma once

#include <QWebEnginePage>

#include <functional>

namespace trb::host {

class WebPage : public QWebEnginePage {
  Q_OBJECT
 public:
  // Returns whether the engine may go ahead: (url, main frame?, redirect?).
  using NavigationHook = std::function<bool(const QUrl&, bool, bool)>;

  WebPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {}
  void SetNavigationHook(NavigationHook hook) { hook_ = std::move(hook); }
  // After the browser has closed: every further navigation is refused.
  void ClearNavigationHook() { hook_ = nullptr; }

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool is_main_frame) override;

 private:
  NavigationHook hook_;
};

}  // namespace trb::host
