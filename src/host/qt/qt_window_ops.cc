// The window operations of a browser's top-level window on Qt. Stays-on-top and the window
// buttons are changed on the QWindow: changing them on the QWidget would recreate the native
// window.
#include <QIcon>
#include <QWindow>

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
  window_->CancelPendingMinimize();
  QWindow* handle = window_->windowHandle();
  // Only a real change: a new flag may make the toolkit recreate the native window.
  if (handle != nullptr && handle->flags().testFlag(Qt::WindowStaysOnTopHint) != topmost) {
    handle->setFlag(Qt::WindowStaysOnTopHint, topmost);
  }
  std::optional<QRect> target;
  if (normal_rect_) {
    target = ApplyRect(*normal_rect_);
    normal_rect_.reset();
  }
  window_->ShowNormalAndEnsureMapped(target);  // also brings a minimised or maximised window back
  window_->raise();
  window_->activateWindow();
}

void QtBrowser::ShowWindowNormal() { ShowRestored(false); }

void QtBrowser::ShowWindowTopmost() { ShowRestored(true); }

void QtBrowser::HideWindow() {
  if (!window_) return;
  window_->CancelPendingMinimize();
  window_->hide();
}

void QtBrowser::MinimizeWindow() {
  if (!window_) return;
  window_->activateWindow();
  window_->Minimize();
}

void QtBrowser::SetNormalRect(const WindowRect& rect) {
  if (!window_) return;
  // Like a placement record with a hide command: hidden, restored state, new rectangle.
  window_->CancelPendingMinimize();
  window_->hide();
  window_->setWindowState(window_->windowState() &
                          ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
  ApplyRect(rect);
  normal_rect_ = rect;
}

QRect QtBrowser::ApplyRect(const WindowRect& rect) {
  QRect target(rect.left, rect.top, Extent(rect.left, rect.right), Extent(rect.top, rect.bottom));
  // An unchanged rectangle would be a no-op that leaves the position to the window manager's
  // placement; nudging first makes the toolkit send it as a position the program chose.
  if (window_->geometry() == target) window_->setGeometry(target.translated(1, 0));
  // The user may not resize a window after NORESIZE, but the controller still may: the fixed
  // size moves with the rectangle it sets.
  if (resize_forbidden_) window_->setFixedSize(target.size());
  window_->setGeometry(target);
  return target;
}

void QtBrowser::ForbidResize() {
  if (!window_) return;
  resize_forbidden_ = true;
  window_->setFixedSize(window_->size());
  if (QWindow* handle = window_->windowHandle()) {
    Qt::WindowFlags flags = handle->flags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    flags &= ~(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);
    handle->setFlags(flags);
    handle->requestUpdate();
  }
}

WindowRect QtBrowser::GetNormalRect() {
  if (!window_) return {};
  if (normal_rect_) return *normal_rect_;
  // A show still putting the window where GEOMETRY asked: that is where it is going.
  if (const auto& pending = window_->pending_rect()) {
    return WindowRect{pending->y(), pending->x(), pending->y() + pending->height(),
                      pending->x() + pending->width()};
  }
  // The rectangle the window takes when restored, in the coordinates SetNormalRect takes.
  const bool restored = !(window_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
  QRect r = restored ? window_->geometry() : window_->normalGeometry();
  return WindowRect{r.y(), r.x(), r.y() + r.height(), r.x() + r.width()};
}

}  // namespace trb::host
