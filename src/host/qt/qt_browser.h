// One browser on Qt WebEngine: a page in a view in its own top-level window. Adapts the
// engine's signals to the BrowserEvents of its handler; where the page may go is its
// NavigationGuard's affair.
#pragma once

#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>

#include "host/engine.h"

class QWebEngineDownloadRequest;
class QWebEngineLoadingInfo;
class QWebEngineProfile;
class QWebEngineView;

namespace trb::host {

class BrowserWindow;
class QtEngine;
class NavigationGuard;
class WebPage;

class QtBrowser : public BrowserView,
                  public HostWindow,
                  public std::enable_shared_from_this<QtBrowser> {
 public:
  QtBrowser(QtEngine& engine, std::shared_ptr<BrowserEvents> events);
  ~QtBrowser() override;
  QtBrowser(const QtBrowser&) = delete;
  QtBrowser& operator=(const QtBrowser&) = delete;

  // Builds the window (native from the start, so title, icon and window operations apply
  // before it is first shown), starts `url` if any, and reports the browser as created.
  void Start(const NewWindow& new_window, QWebEngineProfile* profile, const std::string& url);
  // Drops the window and page at once; for the engine's shut-down.
  void Dispose();
  bool Owns(const QWebEngineDownloadRequest* download) const;
  void HandleDownload(QWebEngineDownloadRequest* download);

  // BrowserView
  void LoadURL(const std::string& url) override;
  void Reload() override;
  void Close() override;
  bool IsClosed() const override { return closed_; }
  HostWindow& Window() override { return *this; }
  std::shared_ptr<const BrowserState> State() const override { return state_; }

  // HostWindow (qt_window_ops.cc)
  void SetTitle(const std::string& title) override;
  void SetAppIcon() override;
  void ShowWindowNormal() override;
  void ShowWindowTopmost() override;
  void HideWindow() override;
  void MinimizeWindow() override;
  void SetNormalRect(const NormalRect& rect) override;
  void ForbidResize() override;
  bool IsWindowHidden() override;
  NormalRect GetNormalRect() override;

 private:
  void OnLoadingChanged(const QWebEngineLoadingInfo& info);
  // `status` is a QWebEnginePage::RenderProcessTerminationStatus.
  void OnRendererGone(int status, int exit_code);
  void ShowRestored(bool topmost);

  QtEngine& engine_;
  std::shared_ptr<BrowserEvents> events_;
  const std::shared_ptr<BrowserState> state_;
  // Receiver of the engine's signals: they stop when this browser goes.
  std::unique_ptr<QObject> context_;
  QPointer<BrowserWindow> window_;
  QPointer<QWebEngineView> view_;
  QPointer<WebPage> page_;
  std::unique_ptr<NavigationGuard> guard_;  // set with the page, for the browser's life
  bool closing_ = false;
  bool closed_ = false;
};

}  // namespace trb::host
