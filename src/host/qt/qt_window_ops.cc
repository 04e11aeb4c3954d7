// The window operations of a browser's top-level window on Qt. Stays-on-top and the window
// buttons are changed on the QWindow: changing them on the QWidget would recreate the native
// window.
#include <QIcon>

#include <algorithm>
#include <cstdint>

#include "host/qt/browser_window.h"
#include "host/qt/qt_browser.h"
#include "host/qt/qt_strings.h"

namespace trb::host {
namespace {

const QIcon& AppIcon() {
  static const QIcon icon = [] {
    QIcon i;
    for (int size : {256, 32, 48, 64, 128}) {
      i.addFile(QStringLiteral(":/trbrowser/icon-%1.png").arg(size), QSize(size, size));
    }
    return i;
  }();
  return icon;
}

// Extent from two edges, within what a widget may have.
int Extent(int32_t from, int32_t to) {
  int64_t extent = static_cast<int64_t>(to) - from;
  return static_cast<int>(std::clamp<int64_t>(extent, 0, QWIDGETSIZE_MAX));
}

}  // namespace

void QtBrowser::SetTitle(const std::string& title) {
  if (window_) window_->setWindowTitle(ToQString(title));
}

void QtBrowser::SetAppIcon() {
  if (window_) window_->setWindowIcon(AppIcon());
}

void QtBrowser::ShowRestored(bool topmost) {
  if (!window_) return;
  window_->SetTopmost(topmost);
  window_->ShowRestored();
}

void QtBrowser::ShowWindowNormal() { ShowRestored(false); }

void QtBrowser::ShowWindowTopmost() { ShowRestored(true); }

void QtBrowser::HideWindow() {
  if (window_) window_->Hide();
}

// No activation first: on Windows the foreground request before SW_MINIMIZE has no lasting
// effect (minimising activates the next window), and here an activation that the window
// manager carries out after the minimise would bring the window back from the taskbar.
void QtBrowser::MinimizeWindow() {
  if (window_) window_->Minimize();
}

void QtBrowser::SetNormalRect(const NormalRect& rect) {
  if (!window_) return;
  window_->Place(
      QRect(rect.left, rect.top, Extent(rect.left, rect.right), Extent(rect.top, rect.bottom)));
}

void QtBrowser::ForbidResize() {
  if (window_) window_->ForbidResize();
}

bool QtBrowser::IsWindowHidden() { return !window_ || !window_->isVisible(); }

NormalRect QtBrowser::GetNormalRect() {
  if (!window_) return {};
  const QRect r = window_->RestoredRect();
  return NormalRect{r.y(), r.x(), r.y() + r.height(), r.x() + r.width()};
}

}  // namespace trb::host
