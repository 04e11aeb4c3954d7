#include "host/qt/qt_engine.h"

#include <QCoreApplication>
#include <QEvent>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

#include <algorithm>
#include <chrono>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "host/qt/page_scheme.h"
#include "host/qt/qt_browser.h"
#include "host/qt/qt_strings.h"

namespace trb::host {
namespace {

constexpr int kHttpCacheBytes = 8 << 20;
constexpr std::chrono::seconds kHeapTrimInterval{10};

}  // namespace

void QtEngine::RegisterSchemes() { RegisterPageScheme(); }

QtEngine::QtEngine() : profile_(new QWebEngineProfile()) {  // no storage name: off the record
  QWebEngineSettings* settings = profile_->settings();
  // Failed loads show our own page, and script-opened windows must reach the popup handler.
  settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
  settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
  // Every unknown scheme reaches the navigation decision, which hands on only our own.
  settings->setUnknownUrlSchemePolicy(QWebEngineSettings::AllowAllUnknownUrlSchemes);
  profile_->installUrlSchemeHandler(kPageScheme, new PageSchemeHandler(profile_));
  // The off-the-record cache lives in the browser process's memory and the engine lets it
  // grow to 50 MiB; a browser that runs for weeks keeps that for good (the heap does not
  // shrink back). A few MiB still serve the assets of the pages a kiosk shows.
  profile_->setHttpCacheMaximumSize(kHttpCacheBytes);
#ifdef __GLIBC__
  // glibc keeps what the engine's many threads free in their arenas for reuse, and the
  // browser process's memory would creep up with every page and popup for days before it
  // levelled off. Trimming gives the free pages back; it takes a few milliseconds.
  heap_trim_.setTimerType(Qt::VeryCoarseTimer);
  QObject::connect(&heap_trim_, &QTimer::timeout, [] { malloc_trim(0); });
  heap_trim_.start(kHeapTrimInterval);
#endif
  QObject::connect(profile_, &QWebEngineProfile::downloadRequested, profile_,
                   [this](QWebEngineDownloadRequest* download) {
                     for (const auto& browser : browsers_) {
                       if (browser->Owns(download)) {
                         browser->HandleDownload(download);
                         return;
                       }
                     }
                     download->cancel();
                   });
}

QtEngine::~QtEngine() {
  // Pages must be gone before their profile.
  std::vector<std::shared_ptr<QtBrowser>> browsers;
  browsers.swap(browsers_);
  for (const auto& browser : browsers) browser->Dispose();
  browsers.clear();
  // Tasks still queued may hold the last reference to a closed browser.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  delete profile_;
}

void QtEngine::CreateBrowser(const NewWindow& new_window, std::shared_ptr<BrowserEvents> events,
                             const std::string& url) {
  auto browser = std::make_shared<QtBrowser>(*this, std::move(events));
  browsers_.push_back(browser);
  browser->Start(new_window, profile_, url);
}

void QtEngine::Forget(QtBrowser* browser) {
  auto it = std::find_if(browsers_.begin(), browsers_.end(),
                         [browser](const auto& b) { return b.get() == browser; });
  if (it == browsers_.end()) return;
  // Released from the loop: the browser may still be on the stack below us.
  std::shared_ptr<QtBrowser> keep = *it;
  browsers_.erase(it);
  PostTask([keep] {});
}

void QtEngine::QuitMessageLoop() { QCoreApplication::exit(0); }

void QtEngine::PostTask(std::function<void()> task) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtEngine::PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) {
  // Precise: a coarse timer may fire up to 5% early.
  QTimer::singleShot(delay, Qt::PreciseTimer, QCoreApplication::instance(),
                     [task = std::move(task)] { task(); });
}

void QtEngine::OpenExternal(const std::string& url) {
  // Found on PATH and started with an argument vector: the URL never meets a shell.
  QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty()) return;
  QProcess::startDetached(opener, {ToQString(url)});
}

bool QtEngine::OnUiThread() const {
  return QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace trb::host
