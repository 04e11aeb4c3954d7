#include "host/qt/browser_window.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include "host/qt/x11_window_manager.h"

namespace trb::host {
namespace {

// How often a placement is pushed again when the window manager moves the window elsewhere
// before it has been there once, and how often, and how soon, the window is checked against
// the commands after them. Both stop early once the window is where it should be.
constexpr int kPlacementRetries = 5;
// The window is checked often, so that the check ends as soon as the window agrees: a change
// after that is the user's, and is not undone.
constexpr int kReconcileForMs = 5000;
constexpr int kReconcileMs = 20;
// How long a show of a hidden window waits at most for the window manager to withdraw it.
constexpr int kWithdrawWaitMs = 250;

constexpr Qt::WindowStates kSized = Qt::WindowMaximized | Qt::WindowFullScreen;

std::optional<NormalRect> RectOf(const std::optional<QRect>& r) {
  if (!r) return std::nullopt;
  return NormalRect{r->y(), r->x(), r->y() + r->height(), r->x() + r->width()};
}

}  // namespace

BrowserWindow::BrowserWindow(std::function<void()> on_close_request,
                             std::function<void(WindowState)> on_state)
    : QWidget(nullptr, Qt::Window),
      on_close_request_(std::move(on_close_request)),
      on_state_(std::move(on_state)) {
  reconcile_timer_.setSingleShot(true);
  connect(&reconcile_timer_, &QTimer::timeout, this, &BrowserWindow::Reconcile);
}

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

void BrowserWindow::hideEvent(QHideEvent* event) {
  ReportState();
  QWidget::hideEvent(event);
}

void BrowserWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) {
    if (event->spontaneous() && !isVisible() && !reshowing_) {
      // The window manager drops a window's states when it withdraws it, and the toolkit
      // takes that over when it reads them after the hide: a maximised window would lose its
      // maximised state, depending on when the manager's notice came. A hidden window keeps
      // it for whatever shows it next (MINIMIZE restores a maximised window maximised) and for
      // the report (its restored rectangle, not the maximised one). Only that is put back, and
      // never on a window the toolkit has minimised: any change of its state would map it.
      const Qt::WindowStates old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
      const Qt::WindowStates now = windowState();
      if ((old & Qt::WindowMaximized) && !(now & (Qt::WindowMaximized | Qt::WindowMinimized))) {
        setWindowState(now | Qt::WindowMaximized);
      }
    }
    NoteSized();
    ReportState();
  }
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

void BrowserWindow::ShowRestored() {
  minimize_when_exposed_ = false;
  WatchExposure();
  PrepareHiddenShow(false);
  PinPosition();
  const bool was_shown = isVisible();
  const bool sized = was_shown && SizedNow();
  if (!was_shown && windowHandle() != nullptr) {
    // The native window's state still says maximised for a window hidden while maximised, and
    // the show would take it over: it is set first.
    windowHandle()->setWindowStates(Qt::WindowNoState);
  }
  if (sized && !placement_) {
    // Out of a maximised state the window manager puts the window back where it was, but not
    // always when it is minimised too and the requests cross: it is put there by the program
    // as well (see LeaveMaximized).
    placement_ = RestoredRect();
  }
  showNormal();                       // also out of a minimised or maximised state
  if (sized) AskUnmaximize(winId());  // a maximise the toolkit has not heard of yet as well
  AskBand();
  raise();
  // A hidden window on its way to the screen is activated once it is there. The toolkit would
  // defer the request itself, but not forget it: a MINIMIZE right behind this show would then
  // be undone by the activation. A shown window is activated now: for a minimised one that is
  // also the request that brings it back, ordered after a minimise the window manager may not
  // have carried out yet (bringing it back by mapping it again does nothing until it has).
  if (was_shown) {
    activateWindow();
  } else {
    activate_when_exposed_ = true;
  }
  if (placement_) {
    placement_retries_ = kPlacementRetries;
    // A window that was hidden is not on the screen yet, whatever its exposure still says
    // before the toolkit has heard of the hide: its exposure checks the placement.
    if (was_shown) KeepPlacement();
  }
  wanted_ = WantedWindow{.unmaximized = true, .rect = RectOf(placement_)};
  rect_retries_ = kPlacementRetries;
  StartReconciling();
}

void BrowserWindow::Minimize() {
  WatchExposure();
  activate_when_exposed_ = false;
  QWindow* handle = windowHandle();
  if (handle == nullptr) return;
  // Right behind other commands, it keeps what they asked of the restored window.
  if (!Reconciling()) wanted_ = WantedWindow{};
  wanted_.minimized = true;
  StartReconciling();
  if (isVisible() && !isMinimized() && !handle->isExposed()) {
    // Shown, but not on the screen yet: the window manager would drop the request.
    minimize_when_exposed_ = true;
    return;
  }
  minimize_when_exposed_ = false;
  if (isVisible()) {
    MinimizeShown();
    return;
  }
  // A hidden window is mapped straight into the taskbar: its initial state says iconic, so it
  // never shows on the screen on the way. It restores to the state it had, maximised or not,
  // unless GEOMETRY or NORESIZE has taken the maximised state away since.
  PrepareHiddenShow(true);
  PinPosition();
  // The toolkit resets its state to normal whenever it moves the native window, and the show
  // would move it to a rectangle set while it was hidden; so the native window is moved first.
  if (handle->geometry() != geometry()) handle->setGeometry(geometry());
  Qt::WindowStates states = windowState() | Qt::WindowMinimized;
  if (placement_ || SizeFixed()) states &= ~kSized;
  setWindowState(states);
  handle->setWindowStates(states);
  show();
  AskBand();
  // Whatever the show reset, the window manager is asked for the minimised state again.
  handle->setWindowStates(windowState());
}

// The toolkit minimises a maximised window by taking the maximised state away, putting it back
// and then minimising: the window passes through its restored place at its maximised size,
// and that would be taken for where it restores to. The window manager is asked directly then,
// and the toolkit hears of the minimise from it.
void BrowserWindow::MinimizeShown() {
  if (SizedNow()) {
    AskIconify(winId());
  } else {
    showMinimized();
  }
}

void BrowserWindow::Hide() {
  minimize_when_exposed_ = false;
  activate_when_exposed_ = false;
  hide();
  LeaveNativeMinimized();
  wanted_ = WantedWindow{};
  StartReconciling();
}

// The band is asked of the window manager once more when a show is under way, with a message
// that the manager handles after it has taken the window on: what is written on the window
// before mapping it is read only when the manager gets there, and a manager still withdrawing
// the window from an earlier hide wipes it (PrepareHiddenShow waits for that, but only for a
// manager that can be asked and only for so long). The toolkit's own stay-on-top flag is not
// used: the toolkit makes a new native window, with a new id, at the next show after any change
// of it, and it sends its own state of the band whenever the window's flags change.
void BrowserWindow::AskBand() {
  if (isVisible()) SetAbove(winId(), topmost_, /*managed=*/true);
}

void BrowserWindow::SetTopmost(bool topmost) { topmost_ = topmost; }

// A hidden window that the window manager has had is shown again only once the manager has
// withdrawn it: a manager still withdrawing it from a quick hide wipes the states the show
// writes on it. Its initial state is set for the show as well. The window keeps its native id
// throughout, which window-manager rules and scripts rely on.
void BrowserWindow::PrepareHiddenShow(bool minimized) {
  if (isVisible()) return;
  LeaveNativeMinimized();
  if (shown_before_ && windowHandle() != nullptr) {
    WaitForWindowManager(kWithdrawWaitMs);
    SetInitialState(winId(), minimized);
  }
  SetAbove(winId(), topmost_, /*managed=*/false);
}

// A hidden window is kept out of the toolkit's minimised state, held back from the screen
// while it leaves it (see WithMapsHeld). The widget keeps its own state: what MINIMIZE restores
// to, and the report.
void BrowserWindow::LeaveNativeMinimized() {
  QWindow* handle = windowHandle();
  if (isVisible() || handle == nullptr || !(handle->windowStates() & Qt::WindowMinimized)) return;
  WithMapsHeld(winId(), [handle] {
    handle->setWindowStates(handle->windowStates() & ~Qt::WindowMinimized);
  });
}

void BrowserWindow::ForbidResize() {
  WatchExposure();
  const QSize size = RestoredRect().size();
  const bool minimized = MinimizedNow();
  LeaveMaximized(minimized);
  if (!Reconciling()) wanted_ = WantedWindow{.minimized = minimized, .rect = {}};
  wanted_.unmaximized = true;
  if (placement_) wanted_.rect = RectOf(placement_);
  StartReconciling();
  if (minimized && windowHandle() != nullptr) {
    windowHandle()->setMinimumSize(size);
    windowHandle()->setMaximumSize(size);
    fixed_size_when_restored_ = size;
  } else {
    setFixedSize(size);
  }
  if (QWindow* handle = windowHandle()) {
    Qt::WindowFlags flags = handle->flags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    flags &= ~(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);
    handle->setFlags(flags);
    handle->requestUpdate();  // to the window system at once
    AskBand();                // the toolkit has just told the manager its own idea of the band
  }
}

// The size hints the window manager has: the widget's, or NORESIZE's held back.
bool BrowserWindow::SizeFixed() const {
  const QWindow* handle = windowHandle();
  return handle != nullptr && handle->minimumSize() == handle->maximumSize();
}

// Any change of state of a window the toolkit has minimised maps that window, so a hidden or
// minimised window is left as it is: whatever shows a hidden one next sets the state it shows
// in (ShowRestored the restored one, Minimize one without the maximised state, see there); a
// minimised one the window manager brings back, and it keeps no maximised state for a window
// of fixed size (NORESIZE, the one caller for a minimised window).
void BrowserWindow::LeaveMaximized(bool minimized) {
  if (!isVisible() || minimized || !(windowState() & kSized)) return;
  const QRect restored = RestoredRect();
  setWindowState(windowState() & ~kSized);
  // Put back where it was by the program as well: the window manager's own restore can cross
  // with a resize the caller makes next, and the window would end up at the maximised corner.
  placement_ = restored;
  placement_retries_ = kPlacementRetries;
  setGeometry(restored);
}

// A hidden window that has been placed before goes back where it was, its position marked as
// chosen by the program: a window manager places a window anew each time it is mapped unless
// its position was chosen.
void BrowserWindow::PinPosition() {
  if (!isVisible() && shown_before_ && !placement_) SetChosenGeometry(RestoredRect());
}

void BrowserWindow::SetChosenGeometry(const QRect& rect) {
  setGeometry(rect);
  // The toolkit gives the window manager a position only once the program has chosen one, and
  // a rectangle equal to the current one does not count as chosen; this does, and changes
  // nothing else.
  if (QWindow* handle = windowHandle()) handle->setX(handle->x());
}

void BrowserWindow::Place(const QRect& rect) {
  minimize_when_exposed_ = false;
  activate_when_exposed_ = false;
  hide();
  LeaveNativeMinimized();  // before the move below, which would map it
  // The user may not resize a window after NORESIZE, but the controller still may: the fixed
  // size moves with the rectangle it sets.
  if (SizeFixed()) {
    fixed_size_when_restored_.reset();
    setFixedSize(rect.size());
  }
  SetChosenGeometry(rect);
  placement_ = rect;
  placement_retries_ = kPlacementRetries;
  sized_.reset();  // the controller's rectangle is a restored one, wherever it lies
  wanted_ = WantedWindow{.unmaximized = true, .rect = {}};
  StartReconciling();
}

QRect BrowserWindow::RestoredRect() const {
  if (placement_) return *placement_;
  // The window's states, not the widget's: the widget keeps the states it had before a
  // minimise, and misses a maximise that the window manager reports while the minimise is on
  // its way. The toolkit's own normal geometry is taken from the widget's states too.
  const QWindow* handle = windowHandle();
  const Qt::WindowStates states = handle != nullptr ? handle->windowStates() : windowState();
  // A hidden window is where it last was on the screen: a window manager answering a show late
  // can still move it after the hide.
  if (restored_ && (!isVisible() || (states & (Qt::WindowMinimized | kSized)) || SizedNow())) {
    return *restored_;
  }
  return geometry();
}

// Remembers where the window is while it is on the screen in the restored state: where it goes
// back to from minimised or maximised.
void BrowserWindow::NoteRestored() {
  if (!OnScreenRestored() || (windowHandle()->windowStates() & (Qt::WindowMinimized | kSized))) {
    return;
  }
  // A window manager minimising a maximised window can pass through the restored state on the
  // way, with the window still at its maximised rectangle: that is never where it restores to.
  if (geometry() == sized_) return;
  // A window manager maximising a window resizes it before it says so, and the toolkit hears
  // of the resize first: the X server is asked as well.
  if (SizedNow()) return;
  sized_.reset();
  restored_ = geometry();
}

void BrowserWindow::NoteSized() {
  const QWindow* handle = windowHandle();
  if ((windowState() | (handle != nullptr ? handle->windowStates() : Qt::WindowNoState)) & kSized) {
    sized_ = geometry();
  }
}

// Minimised as the toolkit has it, or as the X server already says: the toolkit hears of a
// minimise asked of the window manager directly (MinimizeShown) only a moment later.
bool BrowserWindow::MinimizedNow() const {
  if (!isVisible()) return false;
  if (isMinimized()) return true;
  const std::optional<ObservedWindow> observed = ReadServerWindow(winId());
  return observed && observed->iconic;
}

bool BrowserWindow::SizedNow() const {
  const std::optional<bool> maximized = isVisible() ? MaximizedNow(winId()) : std::nullopt;
  return (windowState() & Qt::WindowFullScreen) ||
         maximized.value_or((windowState() & Qt::WindowMaximized) != 0);
}

bool BrowserWindow::OnScreenRestored() const {
  const QWindow* handle = windowHandle();
  return isVisible() && !(windowState() & (Qt::WindowMinimized | kSized)) && handle != nullptr &&
         handle->isExposed();
}

void BrowserWindow::showEvent(QShowEvent* event) {
  ReportState();
  QWidget::showEvent(event);
  shown_before_ = true;
}

void BrowserWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  NoteSized();
  NoteRestored();
  KeepPlacement();
}

void BrowserWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  NoteSized();
  NoteRestored();
  KeepPlacement();
}

// Forgets the placement once the window is on the screen at it; pushes it again while the
// window manager still puts the window elsewhere (answering an earlier show late).
void BrowserWindow::KeepPlacement() {
  if (!placement_ || !OnScreenRestored()) return;
  if (geometry() == *placement_ || placement_retries_ <= 0) {
    // Where the window is now is its restored rectangle, even if it is minimised before a
    // move or resize event says so.
    NoteRestored();
    placement_.reset();
    return;
  }
  --placement_retries_;
  setGeometry(*placement_);
}

void BrowserWindow::WatchExposure() {
  if (filter_installed_ || windowHandle() == nullptr) return;
  windowHandle()->installEventFilter(this);
  filter_installed_ = true;
}

bool BrowserWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Expose && watched == windowHandle() && windowHandle()->isExposed()) {
    if (fixed_size_when_restored_ && !isMinimized()) {
      setFixedSize(*fixed_size_when_restored_);
      fixed_size_when_restored_.reset();
    }
    if (activate_when_exposed_) {
      activate_when_exposed_ = false;
      activateWindow();
    }
    if (minimize_when_exposed_) {
      minimize_when_exposed_ = false;
      QTimer::singleShot(0, this, [this] {
        if (isVisible()) MinimizeShown();
      });
    }
    NoteRestored();
    KeepPlacement();
  }
  return QWidget::eventFilter(watched, event);
}

void BrowserWindow::StartReconciling() {
  reconcile_until_.setRemainingTime(kReconcileForMs);
  reconcile_timer_.start(kReconcileMs);
}

bool BrowserWindow::Reconciling() const { return reconcile_timer_.isActive(); }

// The X server is asked, not the toolkit: the toolkit hears of the manager's changes late, and
// a manager that takes a window on and then drops it (withdrawing it from a hide it handles
// late) leaves the toolkit's exposure behind.
void BrowserWindow::Reconcile() {
  if (windowHandle() == nullptr) return;
  // A busy manager may still be on its way: the window is compared only once the manager has
  // handled everything sent before. Without a manager that can be waited for, a difference
  // could never be told from a change still on its way.
  const ManagerWait wait = WaitForWindowManager(kWithdrawWaitMs);
  if (wait == ManagerWait::kCannotAsk) return;
  const std::optional<ObservedWindow> observed =
      wait == ManagerWait::kHandled ? ReadServerWindow(winId()) : std::nullopt;
  WantedWindow wanted = wanted_;
  wanted.visible = isVisible();
  wanted.topmost = topmost_;
  if (rect_retries_ <= 0) wanted.rect.reset();
  // Not yet known: looked at again.
  const WindowCorrections fix =
      observed ? CorrectWindow(wanted, *observed) : WindowCorrections{.look_again = true};
  if (fix.withdraw) Withdraw(winId());
  if (fix.show_again) {
    reshowing_ = true;
    hide();
    PrepareHiddenShow(false);
    PinPosition();
    showNormal();
    AskBand();
    reshowing_ = false;
  }
  if (fix.iconify) {
    minimize_when_exposed_ = false;  // done now
    AskIconify(winId());
  }
  if (fix.activate) AskActivate(winId());
  if (fix.unmaximize) AskUnmaximize(winId());
  if (fix.band) AskBand();
  if (fix.place) {
    --rect_retries_;
    AskMoveResize(winId(), *wanted.rect);
  }
  // A manager that did not answer is given time before it is waited for again: each wait
  // holds up the page.
  if (fix.any() && !reconcile_until_.hasExpired()) {
    reconcile_timer_.start(observed ? kReconcileMs : kWithdrawWaitMs);
  }
}

}  // namespace trb::host
