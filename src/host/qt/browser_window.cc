#include "host/qt/browser_window.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>

namespace trb::host {

BrowserWindow::BrowserWindow(std::function<void()> on_close_request,
                             std::function<void(WindowState)> on_state)
    : QWidget(nullptr, Qt::Window),
      on_close_request_(std::move(on_close_request)),
      on_state_(std::move(on_state)) {}

// The window system also reports iconified windows as hidden (spontaneous events); those
// stay visible to the controller, so only the widget's own state counts.
void BrowserWindow::ReportState() {
  if (reshowing_) return;  // the hide inside a re-show is no change anyone should see
  const WindowState state = !isVisible()    ? WindowState::kHidden
                            : isMinimized() ? WindowState::kMinimized
                                            : WindowState::kShown;
  if (state == reported_state_) return;
  reported_state_ = state;
  if (on_state_) on_state_(state);
}

void BrowserWindow::showEvent(QShowEvent* event) {
  ReportState();
  QWidget::showEvent(event);
}

void BrowserWindow::hideEvent(QHideEvent* event) {
  ReportState();
  QWidget::hideEvent(event);
}

void BrowserWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) ReportState();
  QWidget::changeEvent(event);
}

void BrowserWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  // Run the close sequence from the loop, not from inside the toolkit's event delivery: it
  // may wait for the pipe thread and it may destroy this window.
  QTimer::singleShot(0, this, [this] {
    if (on_close_request_) on_close_request_();
  });
}

void BrowserWindow::ShowNormalAndEnsureMapped(std::optional<QRect> target) {
  if (target) pending_rect_ = target;
  showNormal();
  bool checking = map_checks_left_ > 0;
  map_checks_left_ = 5;
  if (!checking) QTimer::singleShot(400, this, &BrowserWindow::CheckMapped);
}

void BrowserWindow::CheckMapped() {
  if (map_checks_left_ <= 0) return;
  --map_checks_left_;
  QWindow* handle = windowHandle();
  if (handle == nullptr || !isVisible() || isMinimized()) {
    map_checks_left_ = 0;
    pending_rect_.reset();
    return;
  }
  if (handle->isExposed()) {
    if (pending_rect_ && geometry() != *pending_rect_ && map_checks_left_ > 0) {
      setGeometry(*pending_rect_);
      QTimer::singleShot(400, this, &BrowserWindow::CheckMapped);
      return;
    }
    map_checks_left_ = 0;
    pending_rect_.reset();
    return;
  }
  if (map_checks_left_ == 0) {
    pending_rect_.reset();
    return;
  }
  reshowing_ = true;
  hide();
  showNormal();
  reshowing_ = false;
  QTimer::singleShot(400, this, &BrowserWindow::CheckMapped);
}

void BrowserWindow::Minimize() {
  QWindow* handle = windowHandle();
  if (handle != nullptr && isVisible() && !handle->isExposed()) {
    if (!filter_installed_) {
      handle->installEventFilter(this);
      filter_installed_ = true;
    }
    minimize_when_exposed_ = true;
    return;
  }
  minimize_when_exposed_ = false;
  showMinimized();
}

bool BrowserWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Expose && minimize_when_exposed_ && watched == windowHandle() &&
      windowHandle()->isExposed()) {
    minimize_when_exposed_ = false;
    QTimer::singleShot(0, this, [this] {
      if (isVisible()) showMinimized();
    });
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace trb::host
