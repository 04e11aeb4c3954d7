// The top-level window of one browser, and how the window commands are carried out on it
// under a window manager (WindowModel says what they mean). A close request from the user or
// the window manager does not close it: it is handed to the browser's close sequence, which
// may keep it open.
#pragma once

#include <QDeadlineTimer>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

#include "host/engine.h"
#include "pipe/window_check.h"

namespace trb::host {

class BrowserWindow : public QWidget {
  Q_OBJECT
 public:
  // `on_state` hears every change of the window's state (shown, hidden, minimised), whoever
  // made it, before the change's caller goes on.
  BrowserWindow(std::function<void()> on_close_request, std::function<void(WindowState)> on_state);

  // Whether the window is in the band above other windows from its next show on.
  void SetTopmost(bool topmost);
  // SHOW and SHOWTOPMOST (after SetTopmost): restored, shown, in front.
  void ShowRestored();
  // MINIMIZE: minimised, shown in the taskbar, whether it was shown or hidden.
  void Minimize();
  // HIDE.
  void Hide();
  // GEOMETRY: hidden and placed at `rect` (the page's area without the frame), where the next
  // show puts it, in the restored state.
  void Place(const QRect& rect);
  // NORESIZE: the size fixed at the restored size, no minimise and maximise buttons; out of a
  // maximised state, since a window manager keeps none for a window of fixed size.
  void ForbidResize();
  // The rectangle the window has, or takes, in its restored state: the final report.
  QRect RestoredRect() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Whether the window is maximised or full screen, its maximised state as the window manager
  // has it now (MaximizedNow).
  bool SizedNow() const;
  bool MinimizedNow() const;
  bool OnScreenRestored() const;
  bool SizeFixed() const;
  void LeaveMaximized(bool minimized);
  void MinimizeShown();
  void PrepareHiddenShow(bool minimized);
  void LeaveNativeMinimized();
  void AskBand();
  void PinPosition();
  void SetChosenGeometry(const QRect& rect);
  void WatchExposure();
  void KeepPlacement();
  void NoteRestored();
  void NoteSized();
  void Reconcile();
  void StartReconciling();
  bool Reconciling() const;
  void ReportState();

  std::function<void()> on_close_request_;
  std::function<void(WindowState)> on_state_;
  WindowState reported_state_ = WindowState::kHidden;
  bool topmost_ = false;
  bool reshowing_ = false;  // hiding and showing again after a lost show
  // The rectangle GEOMETRY set, until the window has been on the screen there: a window
  // manager that answers an earlier show late may still move the window elsewhere, and a
  // window shown minimised is placed only when the user restores it.
  std::optional<QRect> placement_;
  int placement_retries_ = 0;
  // The rectangle the window last had on the screen in the restored state, once it has been
  // there: what a minimised or maximised window restores to.
  std::optional<QRect> restored_;
  // Where the window last was while maximised or full screen, until it has been on the screen
  // restored somewhere else.
  std::optional<QRect> sized_;
  // A MINIMIZE that arrived while the window manager had not yet put a just-shown window on
  // the screen (it drops the request then): carried out once it has.
  bool minimize_when_exposed_ = false;
  bool activate_when_exposed_ = false;  // a SHOW's activation, once the window is on the screen
  // NORESIZE's size for the widget, held back while the window is minimised (resizing it
  // through the toolkit would bring it back); the window manager has it already.
  std::optional<QSize> fixed_size_when_restored_;
  bool filter_installed_ = false;
  bool shown_before_ = false;  // placed on the screen, or in the taskbar, once
  // What the controller's last commands asked of a shown window (whether it is shown, and the
  // band, are filled in when it is checked). The toolkit and the window manager can carry quick
  // commands out in another order than they were made (an activation after a minimise, a
  // minimise that crosses a map), so once the manager has handled them the X server is asked,
  // and the manager asked again where the window differs (Reconcile). Only for a while after a
  // command: later changes are the user's.
  WantedWindow wanted_;
  QTimer reconcile_timer_;
  QDeadlineTimer reconcile_until_;
  int rect_retries_ = 0;
};

}  // namespace trb::host
