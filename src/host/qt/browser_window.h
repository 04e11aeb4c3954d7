// The top-level window of one browser. A close request from the user or the window manager
// does not close it: it is handed to the browser's close sequence, which may keep it open.
#pragma once

#include <QWidget>

#include <functional>

namespace trb::host {

class BrowserWindow : public QWidget {
  Q_OBJECT
 public:
  explicit BrowserWindow(std::function<void()> on_close_request);

  // Minimises now, or, while the window manager has not yet put a just-shown window on the
  // screen (it drops the request then), as soon as it has.
  void Minimize();
  void CancelPendingMinimize() { minimize_when_exposed_ = false; }
  // Shows the window, and shows it again if the window manager loses the request (a quick
  // hide and show can leave a window unmapped under some window managers).
  void ShowNormalAndEnsureMapped();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CheckMapped();

  std::function<void()> on_close_request_;
  bool minimize_when_exposed_ = false;
  bool filter_installed_ = false;
  int map_checks_left_ = 0;
};

}  // namespace trb::host
