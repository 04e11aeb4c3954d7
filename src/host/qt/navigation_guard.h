// Where a browser's page may go. The guard answers every engine request that could take the
// page somewhere (a navigation of any frame, a request for a new window, the context menu, a
// drop) and passes each on to the browser's handler, so that a navigation has one decision
// point (OnBeforeBrowse) and a popup another (OnBeforePopup).
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <string>

#include "host/engine.h"

class QPoint;
class QUrl;
class QWebEngineNewWindowRequest;
class QWebEngineView;

namespace trb::host {

class SubframeDenials;
class WebPage;

class NavigationGuard : public QObject {
  Q_OBJECT
 public:
  // Takes over the page's navigation requests, its new-window requests and the view's
  // context menu, and watches the view's input.
  NavigationGuard(BrowserView& browser, BrowserEvents& events, QWebEngineView* view, WebPage* page);
  ~NavigationGuard() override;

  // What the controller or the handler asks the main frame to show: a URL, or text an address
  // bar would make one of. Nothing is loaded before it has been decided on.
  void Load(const std::string& text);
  // The main frame, for the handler's pages (load errors).
  Frame& main_frame();
  // The browser has closed: every further request is refused or ignored.
  void Stop();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class MainFrame;
  class SubFrame;

  // QWebEnginePage::acceptNavigationRequest: true lets the engine go ahead.
  bool HandleNavigation(const QUrl& url, bool main_frame, bool redirect);
  // QWebEnginePage::newWindowRequested.
  void HandleNewWindow(QWebEngineNewWindowRequest& request);
  // QWidget::customContextMenuRequested of the view.
  void HandleContextMenu(const QPoint& pos);
  // Input to the view that may come back as a new-window request.
  void NoteInput(const QEvent& event);
  void WatchInputOf(QObject* object);
  // Loads `url` into the main frame, deciding first, on `text`, where the engine does not ask.
  void Navigate(const QUrl& url, const std::string& text);

  BrowserView& browser_;
  BrowserEvents& events_;
  QPointer<QWebEngineView> view_;
  QPointer<WebPage> page_;
  std::unique_ptr<MainFrame> main_frame_;
  std::shared_ptr<SubframeDenials> denials_;
  // The last click, activation key or drop on the view asked for the link to go elsewhere
  // (another button than the left one, Ctrl or Shift held, or a drop).
  bool elsewhere_asked_ = false;
  bool stopped_ = false;
};

}  // namespace trb::host
