#include "host/qt/browser_window.h"

#include <QCloseEvent>
#include <QTimer>

namespace trb::host {

BrowserWindow::BrowserWindow(std::function<void()> on_close_request)
    : QWidget(nullptr, Qt::Window), on_close_request_(std::move(on_close_request)) {}

void BrowserWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  // Run the close sequence from the loop, not from inside the toolkit's event delivery: it
  // may wait for the pipe thread and it may destroy this window.
  QTimer::singleShot(0, this, [this] {
    if (on_close_request_) on_close_request_();
  });
}

}  // namespace trb::host
