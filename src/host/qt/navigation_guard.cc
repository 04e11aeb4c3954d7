#include "host/qt/navigation_guard.h"

#include <QChildEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineView>

#include <cstdio>
#include <optional>
#include <string_view>

#include "host/qt/page_scheme.h"
#include "host/qt/qt_strings.h"
#include "host/qt/web_page.h"
#include "policy/decisions.h"

namespace trb::host {
namespace {

// net::ERR_INVALID_URL: what the engine reports for text it cannot navigate to.
constexpr int32_t kInvalidUrlCode = -300;
constexpr char kInvalidUrlText[] = "net::ERR_INVALID_URL";

bool IsWebScheme(const QString& scheme) { return scheme == "http" || scheme == "https"; }

// Schemes the engine loads itself. Any other scheme an accepted navigation would hand to the
// desktop, which only our own scheme's decision may do.
bool IsEngineScheme(const QString& scheme) {
  static const QStringList kSchemes = {"http",
                                       "https",
                                       "data",
                                       "file",
                                       "about",
                                       "blob",
                                       "ws",
                                       "wss",
                                       "filesystem",
                                       "javascript",
                                       "view-source",
                                       "chrome",
                                       QString(kPageScheme)};
  return kSchemes.contains(scheme);
}

bool IsOwnScheme(const QString& scheme) {
  return (scheme + ':').toStdString() == std::string_view(kOwnScheme);
}

// What a LOAD navigates to: the URL the engine is given, and its text as the decision sees it
// where the engine does not ask (about: and schemes it does not load, among them our own).
struct ControllerUrl {
  QUrl url;
  std::string text;
};

// A URL with a scheme the engine or the browser knows, or written with "://", stands as
// written, its scheme lower-cased as the engine does ("TAVRIN:x" is "tavrin:x"); the rest of
// it stays byte for byte what the controller sent. Other text is fixed up the way an address
// bar does ("www.example.org" and "127.0.0.1:8080/x" become http URLs, an absolute path a
// file: URL). Nothing when no URL can be made of it.
std::optional<ControllerUrl> UrlFromControllerText(const std::string& text) {
  const QString input = ToQString(text);
  QUrl url(input);
  const QString scheme = url.scheme();
  // "localhost:8080/x" parses with the scheme "localhost"; only a scheme someone knows, or
  // one written with "://", is taken as one.
  if (IsEngineScheme(scheme) || IsOwnScheme(scheme) || input.contains(QStringLiteral("://"))) {
    if (!url.isValid()) return std::nullopt;
    const size_t colon = text.find(':');  // QUrl found the scheme, so there is one
    std::string spelled = scheme.toStdString() + text.substr(colon);
    return ControllerUrl{std::move(url), std::move(spelled)};
  }
  url = QUrl::fromUserInput(input);
  if (!url.isValid()) return std::nullopt;
  return ControllerUrl{url, ToUtf8(url)};
}

// The context menu keeps editing in fields, copying a link's address, and back, forward and
// reload, which are navigations under the same checks as any other. Whatever else the engine
// offers (open in a new tab or window, save, view source, inspect, and anything a later
// engine adds) is left out. The names are what the debug listing prints.
struct KeptAction {
  QWebEnginePage::WebAction action;
  const char* name;
};
constexpr KeptAction kKeptActions[] = {
    {QWebEnginePage::Back, "back"},
    {QWebEnginePage::Forward, "forward"},
    {QWebEnginePage::Reload, "reload"},
    {QWebEnginePage::Undo, "undo"},
    {QWebEnginePage::Redo, "redo"},
    {QWebEnginePage::Cut, "cut"},
    {QWebEnginePage::Copy, "copy"},
    {QWebEnginePage::Paste, "paste"},
    {QWebEnginePage::PasteAndMatchStyle, "paste-and-match-style"},
    {QWebEnginePage::SelectAll, "select-all"},
    {QWebEnginePage::CopyLinkToClipboard, "copy-link-address"},
};

const char* KeptName(QWebEnginePage& page, const QAction* action) {
  for (const KeptAction& kept : kKeptActions) {
    if (page.action(kept.action) == action) return kept.name;
  }
  return nullptr;
}

// For tests and for people checking a build: each menu's items on stderr. Off unless asked for.
bool ListContextMenus() {
  static const bool list = qEnvironmentVariableIsSet("TRBROWSER_DEBUG_CONTEXT_MENU");
  return list;
}

}  // namespace

// The main frame: a generated page replaces the document once the refused navigation has
// been dropped, hence the deferred load.
class NavigationGuard::MainFrame : public Frame {
 public:
  explicit MainFrame(WebPage* page) : page_(page) {}
  bool IsMain() const override { return true; }
  void LoadURL(const std::string& url) override {
    QTimer::singleShot(0, page_, [page = page_, url = ToQString(url)] {
      if (page) page->load(QUrl(url));
    });
  }

 private:
  QPointer<WebPage> page_;
};

// A subframe: the engine cannot load into it from here, so the page to show is remembered
// and put in place by the request interceptor (page_scheme.h).
class NavigationGuard::SubFrame : public Frame {
 public:
  bool IsMain() const override { return false; }
  void LoadURL(const std::string& url) override { replacement = url; }
  std::string replacement;
};

NavigationGuard::NavigationGuard(BrowserView& browser, BrowserEvents& events, QWebEngineView* view,
                                 WebPage* page)
    : browser_(browser),
      events_(events),
      view_(view),
      page_(page),
      main_frame_(std::make_unique<MainFrame>(page)),
      denials_(std::make_shared<SubframeDenials>()) {
  page->SetNavigationHook([this](const QUrl& url, bool main_frame, bool redirect) {
    return HandleNavigation(url, main_frame, redirect);
  });
  page->setUrlRequestInterceptor(new SubframeInterceptor(denials_, page));
  connect(page, &QWebEnginePage::newWindowRequested, this,
          [this](QWebEngineNewWindowRequest& request) { HandleNewWindow(request); });
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { HandleContextMenu(pos); });
  WatchInputOf(view);
}

NavigationGuard::~NavigationGuard() { Stop(); }

Frame& NavigationGuard::main_frame() { return *main_frame_; }

void NavigationGuard::Stop() {
  stopped_ = true;
  if (page_) page_->ClearNavigationHook();
}

// ---- Loads the browser starts ----

void NavigationGuard::Load(const std::string& text) {
  if (stopped_ || !page_) return;
  std::optional<ControllerUrl> target = UrlFromControllerText(text);
  if (!target) {
    events_.OnLoadError(browser_, *main_frame_, kInvalidUrlCode, kInvalidUrlText, text);
    return;
  }
  Navigate(target->url, target->text);
}

void NavigationGuard::Navigate(const QUrl& url, const std::string& text) {
  // The engine never asks about these before loading them, so the decision is taken here.
  const QString scheme = url.scheme();
  if (scheme == "about" || !IsEngineScheme(scheme)) {
    if (events_.OnBeforeBrowse(browser_, *main_frame_, text, false)) return;
    if (!IsEngineScheme(scheme)) return;
  }
  page_->load(url);
}

// ---- Navigations the engine asks about ----

bool NavigationGuard::HandleNavigation(const QUrl& url, bool main_frame, bool redirect) {
  if (stopped_) return false;
  std::string text = ToUtf8(url);
  if (main_frame) {
    if (events_.OnBeforeBrowse(browser_, *main_frame_, text, redirect)) return false;
    return IsEngineScheme(url.scheme());
  }
  // The interceptor's own redirect to the page it serves for a refused request.
  if (url.scheme() == kPageScheme && denials_->TakeIssued(text)) return true;
  SubFrame frame;
  if (!events_.OnBeforeBrowse(browser_, frame, text, redirect)) return IsEngineScheme(url.scheme());
  // A refused web request goes ahead so that the interceptor can swap the page in; anything
  // else refused leaves the frame as it was.
  if (!frame.replacement.empty() && IsWebScheme(url.scheme())) {
    return denials_->Add(text, frame.replacement);
  }
  return false;
}

// ---- New windows ----

// Qt WebEngine 6.4 reports a new tab, asked for by the user, alike for a plainly clicked
// target=_blank link, a script's window.open in a click handler, a Ctrl+Shift-click, a
// Shift+middle-click and a dropped link; a background tab (middle or Ctrl) or a new window
// (Shift) only for a click or key with those held, or for a script's synthetic click, which
// is not the user's; window.open with a size is a dialog. So the input that came before
// tells the user's gestures from a page's popups. A gesture is a navigation of this page,
// decided like a plain click; the rest are popups. The engine opens no window of its own
// for either: the request is never opened in a page.
void NavigationGuard::HandleNewWindow(QWebEngineNewWindowRequest& request) {
  if (stopped_) return;
  bool gesture = false;
  if (request.isUserInitiated()) {
    switch (request.destination()) {
      case QWebEngineNewWindowRequest::InNewBackgroundTab:
      case QWebEngineNewWindowRequest::InNewWindow:
        gesture = true;
        break;
      case QWebEngineNewWindowRequest::InNewTab:
        gesture = elsewhere_asked_;
        break;
      case QWebEngineNewWindowRequest::InNewDialog:  // window.open with a size
        break;
    }
  }
  if (gesture) {
    Navigate(request.requestedUrl(), ToUtf8(request.requestedUrl()));
  } else {
    events_.OnBeforePopup(browser_, ToUtf8(request.requestedUrl()));
  }
}

void NavigationGuard::WatchInputOf(QObject* object) {
  object->installEventFilter(this);
  for (QWidget* child : object->findChildren<QWidget*>()) child->installEventFilter(this);
}

bool NavigationGuard::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::ChildAdded: {
      // The view puts its content in a child widget, made anew with each renderer.
      QObject* child = static_cast<QChildEvent*>(event)->child();
      if (child->isWidgetType()) WatchInputOf(child);
      break;
    }
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      // Nothing another program drags is taken: the engine would navigate to a dropped link
      // or file, and it can crash reading what an X11 drag offers. Drags within the page
      // stay.
      if (static_cast<QDropEvent*>(event)->source() == nullptr) {
        event->ignore();
        return true;
      }
      NoteInput(*event);
      break;
    default:
      NoteInput(*event);
  }
  return QObject::eventFilter(watched, event);
}

void NavigationGuard::NoteInput(const QEvent& event) {
  constexpr Qt::KeyboardModifiers kElsewhere = Qt::ControlModifier | Qt::ShiftModifier;
  switch (event.type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
      const auto& mouse = static_cast<const QMouseEvent&>(event);
      elsewhere_asked_ =
          mouse.button() != Qt::LeftButton || (mouse.modifiers() & kElsewhere) != Qt::NoModifier;
      break;
    }
    case QEvent::KeyPress: {
      const auto& key = static_cast<const QKeyEvent&>(event);
      if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter || key.key() == Qt::Key_Space) {
        elsewhere_asked_ = (key.modifiers() & kElsewhere) != Qt::NoModifier;
      }
      break;
    }
    case QEvent::Drop:
      // A link dropped on a page that does not take it: the page goes there.
      elsewhere_asked_ = true;
      break;
    default:
      break;
  }
}

// ---- Context menu ----

void NavigationGuard::HandleContextMenu(const QPoint& pos) {
  if (stopped_ || !view_ || !page_) return;
  QMenu* standard = view_->createStandardContextMenu();
  auto* menu = new QMenu(view_);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  std::string listing;
  bool gap = false;  // a separator of the standard menu lies between kept items
  for (QAction* action : standard->actions()) {
    if (action->isSeparator()) {
      gap = !menu->isEmpty();
      continue;
    }
    const char* name = KeptName(*page_, action);
    if (name == nullptr) continue;
    if (gap) {
      menu->addSeparator();
      listing += " |";
      gap = false;
    }
    menu->addAction(action);  // the page's own action: it stays the page's
    listing += std::string(" ") + name;
  }
  delete standard;
  if (ListContextMenus()) std::fprintf(stderr, "trbrowser: context menu:%s\n", listing.c_str());
  if (menu->isEmpty()) {
    delete menu;
    return;
  }
  menu->popup(view_->mapToGlobal(pos));
}

}  // namespace trb::host
