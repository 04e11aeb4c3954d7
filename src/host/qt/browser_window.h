// The top-level window of one browser. A close request from the user or the window manager
// does not close it: it is handed to the browser's close sequence, which may keep it open.
#pragma once

#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

#include "host/engine.h"

namespace trb::host {

class BrowserWindow : public QWidget {
  Q_OBJECT
 public:
  // `on_state` hears every change of the window's state (shown, hidden, minimised), whoever
  // made it, before the change's caller goes on.
  BrowserWindow(std::function<void()> on_close_request, std::function<void(WindowState)> on_state);

  // Minimises now, or, while the window manager has not yet put a just-shown window on the
  // screen (it drops the request then), as soon as it has.
  void Minimize();
  void CancelPendingMinimize() { minimize_when_exposed_ = false; }
  // Shows the window, and shows it again if the window manager loses the request (a quick
  // hide and show can leave a window unmapped under some window managers). With `target`,
  // the window must end up there: a window manager that answers an earlier placement after
  // ours would otherwise put it back where it was.
  void ShowNormalAndEnsureMapped(std::optional<QRect> target = std::nullopt);
  // The rectangle a show is still putting the window in, if any.
  const std::optional<QRect>& pending_rect() const { return pending_rect_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CheckMapped();
  void ReportState();

  std::function<void()> on_close_request_;
  std::function<void(WindowState)> on_state_;
  WindowState reported_state_ = WindowState::kHidden;
  bool reshowing_ = false;  // hiding and showing again after a lost show
  bool minimize_when_exposed_ = false;
  bool filter_installed_ = false;
  int map_checks_left_ = 0;
  std::optional<QRect> pending_rect_;
};

}  // namespace trb::host
