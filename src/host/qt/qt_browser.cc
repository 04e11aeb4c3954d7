#include "host/qt/qt_browser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include "host/qt/browser_window.h"
#include "host/qt/navigation_guard.h"
#include "host/qt/qt_engine.h"
#include "host/qt/qt_strings.h"
#include "host/qt/web_page.h"

namespace trb::host {

QtBrowser::QtBrowser(QtEngine& engine, std::shared_ptr<BrowserEvents> events)
    : engine_(engine),
      events_(std::move(events)),
      state_(std::make_shared<BrowserState>()),
      context_(std::make_unique<QObject>()) {}

QtBrowser::~QtBrowser() { Dispose(); }

void QtBrowser::Start(const NewWindow& new_window, QWebEngineProfile* profile,
                      const std::string& url) {
  std::weak_ptr<QtBrowser> weak = weak_from_this();
  window_ = new BrowserWindow(
      [weak] {
        if (auto self = weak.lock()) self->Close();
      },
      [weak, state = state_](WindowState window_state) {
        state->set_hidden(window_state == WindowState::kHidden);
        auto self = weak.lock();
        if (self && !self->closed_) self->events_->OnWindowStateChange(*self, window_state);
      });
  window_->setWindowTitle(ToQString(new_window.title));
  window_->resize(1024, 768);
  auto* layout = new QVBoxLayout(window_);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new QWebEngineView(window_);
  page_ = new WebPage(profile, view_);
  guard_ = std::make_unique<NavigationGuard>(*this, *events_, view_, page_);
  view_->setPage(page_);
  layout->addWidget(view_);

  QObject::connect(page_, &QWebEnginePage::titleChanged, context_.get(),
                   [this](const QString& title) {
                     if (!closed_) events_->OnTitleChange(*this, ToUtf8(title));
                   });
  QObject::connect(page_, &QWebEnginePage::urlChanged, context_.get(), [this](const QUrl& u) {
    std::string url = ToUtf8(u);
    state_->set_url(url);
    if (!closed_) events_->OnAddressChange(*this, url);
  });
  QObject::connect(page_, &QWebEnginePage::loadingChanged, context_.get(),
                   [this](const QWebEngineLoadingInfo& info) { OnLoadingChanged(info); });
  QObject::connect(page_, &QWebEnginePage::renderProcessTerminated, context_.get(),
                   [this](QWebEnginePage::RenderProcessTerminationStatus status, int exit_code) {
                     OnRendererGone(status, exit_code);
                   });
  QObject::connect(page_, &QWebEnginePage::windowCloseRequested, context_.get(), [weak] {
    if (auto self = weak.lock()) self->Close();
  });

  window_->winId();
  if (new_window.visible) {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  if (!url.empty()) LoadURL(url);
  events_->OnAfterCreated(shared_from_this());
}

void QtBrowser::Dispose() {
  closed_ = true;
  if (guard_) guard_->Stop();
  state_->set_hidden(true);
  state_->set_url({});
  delete window_.data();  // owns the view, which owns the page
}

bool QtBrowser::Owns(const QWebEngineDownloadRequest* download) const {
  return page_ && download->page() == page_.data();
}

// ---- BrowserView ----

void QtBrowser::LoadURL(const std::string& url) {
  if (!closed_ && guard_) guard_->Load(url);
}

void QtBrowser::Reload() {
  if (!closed_ && page_) page_->triggerAction(QWebEnginePage::Reload);
}

void QtBrowser::Close() {
  if (closed_ || closing_) return;
  auto self = shared_from_this();  // the handler may drop its reference below
  closing_ = true;
  bool keep_open = events_->DoClose(*this);
  closing_ = false;
  if (keep_open || closed_) return;
  closed_ = true;
  state_->set_hidden(true);
  state_->set_url({});
  if (guard_) guard_->Stop();
  context_.reset();
  if (window_) {
    window_->hide();
    window_->deleteLater();
  }
  events_->OnBeforeClose(*this);
  engine_.Forget(this);
}

// ---- Engine events ----

void QtBrowser::OnLoadingChanged(const QWebEngineLoadingInfo& info) {
  if (closed_) return;
  if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
    events_->OnLoadEnd(*this, ToUtf8(info.url()));
    return;
  }
  if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus) return;
  // HTTP statuses (404 and the like) are pages, not failed loads.
  if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain ||
      info.errorDomain() == QWebEngineLoadingInfo::NoErrorDomain) {
    events_->OnLoadEnd(*this, ToUtf8(info.url()));
    return;
  }
  // The engine reports failures of the main frame only.
  events_->OnLoadError(*this, guard_->main_frame(), info.errorCode(), ToUtf8(info.errorString()),
                       ToUtf8(info.url()));
}

void QtBrowser::OnRendererGone(int status, int exit_code) {
  if (closed_ || status == QWebEnginePage::NormalTerminationStatus) return;
  RendererEnd how = RendererEnd::kAbnormal;
  if (status == QWebEnginePage::CrashedTerminationStatus) how = RendererEnd::kCrashed;
  if (status == QWebEnginePage::KilledTerminationStatus) how = RendererEnd::kKilled;
  // The engine reports no load error for a dead renderer and would leave a dead frame: the
  // handler decides what shows instead.
  events_->OnRenderProcessTerminated(*this, guard_->main_frame(), how, exit_code,
                                     ToUtf8(page_->url()));
}

namespace {

class DialogDownload : public DownloadCallback {
 public:
  DialogDownload(QWebEngineDownloadRequest* download, QWidget* parent)
      : download_(download), parent_(parent) {}
  void Continue(const std::string& suggested_name, bool show_dialog) override {
    answered = true;
    if (!download_) return;
    QString path = QDir(download_->downloadDirectory()).filePath(ToQString(suggested_name));
    if (show_dialog) {
      path = QFileDialog::getSaveFileName(parent_, QString(), path, QString(), nullptr,
                                          QFileDialog::DontUseNativeDialog);
    }
    if (!download_) return;
    if (path.isEmpty()) {
      download_->cancel();
      return;
    }
    QFileInfo target(path);
    download_->setDownloadDirectory(target.absolutePath());
    download_->setDownloadFileName(target.fileName());
    download_->accept();
  }
  bool answered = false;

 private:
  QPointer<QWebEngineDownloadRequest> download_;
  QPointer<QWidget> parent_;
};

}  // namespace

void QtBrowser::HandleDownload(QWebEngineDownloadRequest* download) {
  QPointer<QWebEngineDownloadRequest> guard(download);
  QWidget* parent = window_ && window_->isVisible() ? window_.data() : nullptr;
  DialogDownload callback(download, parent);
  if (!closed_) events_->OnBeforeDownload(*this, ToUtf8(download->suggestedFileName()), callback);
  if (!callback.answered && guard) guard->cancel();
}

}  // namespace trb::host
