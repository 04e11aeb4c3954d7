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

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::function<void()> on_close_request_;
};

}  // namespace trb::host
