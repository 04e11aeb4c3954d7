"""The window commands in any order. The real browser under Xvfb + openbox is driven through
sequences of controller commands and user actions (made with xdotool and wmctrl), and after
every step the real window is compared with the browser's own window model, which
build/window_oracle runs: whether the window manager manages it (WM_STATE), whether it is on
the screen, _NET_WM_STATE hidden, above and maximised, the size hints after NORESIZE, the
page's rectangle whenever the window is on the screen restored, the ISHIDDEN reply, and at the
end the final report.

The sequences: a few written out below (the cases that went wrong before, and the edges of
each command), and seeded random ones of 20 to 40 steps.

  TRBROWSER_WINDOW_SEEDS   how many random seeds, counted from 1 ("200"), or a range ("17-40")
                           or a list ("3,17,42"); default: seeds 1 to 5
  TRBROWSER_WINDOW_REPLAY  one sequence to run instead of everything else, written as a
                           failure prints it: steps separated by ";", commands sent in one
                           write joined by "&"

A failure prints the seed, the steps up to the one that failed, ready to replay, and what
differed. The waits poll for the state the model predicts and fail after a time-out; nothing
is timed.
"""

import os
import random
import re
import socket
import subprocess
import time
import unittest

from fixture import REPO, Browser, Display, wait_for

# How long the window manager may take to carry out one step on a loaded machine.
STEP_TIMEOUT = 30.0
# A user action the window manager dropped (it may while it is still taking a window on) is
# asked for again after this long.
RESEND_AFTER = 2.0

SCREEN_W, SCREEN_H = 1600, 1200

display = None


def setUpModule():
    global display
    display = Display().start()


def tearDownModule():
    if display:
        display.stop()


def oracle_path():
    env = os.environ.get("TRBROWSER_WINDOW_ORACLE")
    if env:
        return env
    binary = os.environ.get("TRBROWSER_BIN")
    candidates = [os.path.join(os.path.dirname(binary), "window_oracle")] if binary else []
    candidates += [os.path.join(REPO, b, "window_oracle") for b in ("build", "build-app")]
    for path in candidates:
        if os.path.exists(path):
            return path
    raise RuntimeError("window_oracle not found: build it or set TRBROWSER_WINDOW_ORACLE")


class Oracle:
    """The window model, one step at a time."""

    def __init__(self):
        self.proc = subprocess.Popen([oracle_path()], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def ask(self, step):
        """Applies `step`: (applied, state dict, offered user actions)."""
        self.proc.stdin.write(step + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline().split()
        assert line and line[0] in ("ok", "skip"), "oracle refused %r: %r" % (step, line)
        state = dict(word.split("=", 1) for word in line[1:])
        offers = [] if state["offers"] == "-" else state.pop("offers").split(",")
        state.pop("offers", None)
        return line[0] == "ok", state, offers

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


def rect_text(rect):
    return "%d %d %d %d" % rect


def parse_rect(text):
    top, left, bottom, right = (int(v) for v in re.split(r"[ ,]", text))
    return top, left, bottom, right


# ---------------------------------------------------------------------------------------------
# The real window


class RealWindow:
    """What the X server and the browser say about the main window right now."""

    def __init__(self, browser):
        self.b = browser
        self.first_wid = None

    def read(self):
        b = self.b
        wid = b.main_window()
        if self.first_wid is None:
            self.first_wid = wid
        info = b.x("xwininfo", "-id", hex(wid))
        props = b.x("xprop", "-id", str(wid), "WM_STATE", "_NET_WM_STATE", "WM_NORMAL_HINTS")
        number = lambda key: int(re.search(key + r":\s+(-?\d+)", info).group(1))
        x, y = number("Absolute upper-left X"), number("Absolute upper-left Y")
        w, h = number("Width"), number("Height")
        state = re.search(r"window state: (\w+)", props)
        net = props.partition("_NET_WM_STATE")[2].partition("\n")[0]
        low = re.search(r"minimum size: (\d+) by (\d+)", props)
        high = re.search(r"maximum size: (\d+) by (\d+)", props)
        return {
            "wid": wid,
            "first_wid": self.first_wid,
            "wm_state": state.group(1) if state else "Withdrawn",
            "viewable": "IsViewable" in info,
            "net_hidden": "_NET_WM_STATE_HIDDEN" in net,
            "net_above": "_NET_WM_STATE_ABOVE" in net,
            "net_maximized": ("_NET_WM_STATE_MAXIMIZED_VERT" in net and
                              "_NET_WM_STATE_MAXIMIZED_HORZ" in net),
            "fixed_size": (tuple(map(int, low.groups())) if low and high and
                           low.groups() == high.groups() else None),
            "rect": (y, x, y + h, x + w),
            "ishidden": b.ishidden(),
        }


def differences(model, real):
    """What the real window does not do of what the model says; empty when they agree."""
    diffs = []

    def expect(what, want, got):
        if want != got:
            diffs.append("%s: model %r, real %r" % (what, want, got))

    visible = model["visible"] == "1"
    minimized = model["minimized"] == "1"
    expect("ISHIDDEN", not visible, real["ishidden"])
    # Window-manager rules and scripts hold on to the window's id.
    expect("X window id", real["first_wid"], real["wid"])
    expect("managed (WM_STATE)", visible, real["wm_state"] in ("Normal", "Iconic"))
    expect("on the screen", visible and not minimized, real["viewable"])
    if visible:
        # A withdrawn window has no _NET_WM_STATE worth reading: the manager forgets it.
        expect("_NET_WM_STATE_HIDDEN", minimized, real["net_hidden"])
        expect("_NET_WM_STATE_ABOVE", model["topmost"] == "1", real["net_above"])
        expect("_NET_WM_STATE_MAXIMIZED", model["maximized"] == "1", real["net_maximized"])
    restored = None if model["restored"] == "unknown" else parse_rect(model["restored"])
    if model["resizable"] == "1":
        expect("size hints fixed", None, real["fixed_size"])
    elif restored:
        size = (restored[3] - restored[1], restored[2] - restored[0])
        expect("size hints fixed", size, real["fixed_size"])
    if visible and not minimized and model["maximized"] == "0" and restored:
        expect("page rectangle", restored, real["rect"])
    return diffs


# ---------------------------------------------------------------------------------------------
# Steps


class Failure(AssertionError):
    pass


class Run:
    """One sequence against one browser: carries out each step, asks the model, and waits
    until the real window agrees."""

    def __init__(self, test, label):
        self.test = test
        self.label = label
        self.steps = []
        self.browser = Browser(display)
        test.addCleanup(self.browser.close)
        self.browser.accept()
        self.browser.wait_url(lambda u: u.startswith("data:text/html"), what="default page")
        self.real = RealWindow(self.browser)
        self.oracle = Oracle()
        test.addCleanup(self.oracle.close)
        _, self.model, self.offers = self.oracle.ask("ISHIDDEN")
        self.ended = False

    def close(self):
        """Ends the browser and the model; a failed sequence leaves nothing running for the
        next one."""
        self.browser.close()
        self.oracle.close()

    def fail(self, why):
        raise Failure("%s\n  replay: TRBROWSER_WINDOW_REPLAY='%s'\n  model: %s\n  %s" % (
            self.label, ";".join(self.steps), self.model, why))

    def apply(self, step):
        """Carries out `step` (a command, or a user action with the rectangle to aim for) and
        checks the window against the model afterwards."""
        word = step.split()[0]
        if word.startswith("user-"):
            self.user_action(word[len("user-"):], step)
        elif step == "controller-gone":
            self.steps.append(step)
            self.ask(step)
            self.browser.conn.shutdown(socket.SHUT_WR)
            self.finish(report_expected=False)
        else:
            # Commands joined with "&" go in one write, as a controller sends them.
            self.steps.append(step)
            pieces = [piece.strip() for piece in step.split("&")]
            for piece in pieces:
                self.ask(piece)
            self.browser.send("".join(piece + ";" for piece in pieces))
            if word == "QUIT":
                self.finish(report_expected=True)
            else:
                self.settle()

    def ask(self, step):
        applied, self.model, self.offers = self.oracle.ask(step)
        if not applied:
            self.fail("the model refused %r" % step)

    def user_action(self, action, step):
        if action not in self.offers:
            self.fail("%r is not offered in this state" % step)
        b = self.browser
        wid = self.real.read()["wid"]
        hexid = hex(wid)
        if action in ("move", "resize"):
            target = parse_rect(step.split(None, 1)[1])
            before = self.real.read()["rect"]
            if action == "move":
                cmd = ["xdotool", "windowmove", hexid, str(target[1]), str(target[0])]
            else:
                cmd = ["xdotool", "windowsize", hexid, str(target[3] - target[1]),
                       str(target[2] - target[0])]
            rect = before
            if target != before:
                rect = self.until(lambda: b.x(*cmd), lambda r: r["rect"] != before and
                                  self.stable(r), "the window to move or resize")["rect"]
            # The model learns where the window manager put it, as the manager reports it.
            self.steps.append("user-%s %s" % (action, rect_text(rect)))
            self.ask(self.steps[-1])
            self.settle()
            return
        self.steps.append(step)
        before = self.model
        self.ask(step)
        if action == "close" and before["hide_on_close"] == "0":
            # Nothing is read from the browser any more: the report is the next thing on the
            # pipe.
            deadline = time.monotonic() + STEP_TIMEOUT
            while b.proc.poll() is None:
                if time.monotonic() > deadline:
                    self.fail("timed out waiting for the browser to close")
                b.x("wmctrl", "-i", "-c", hexid)
                try:
                    b.proc.wait(timeout=RESEND_AFTER)
                except subprocess.TimeoutExpired:
                    pass
            self.finish(report_expected=True)
            return
        send = {
            "maximize": ["wmctrl", "-i", "-r", hexid, "-b", "add,maximized_vert,maximized_horz"],
            "minimize": ["xdotool", "windowminimize", hexid],
            "close": ["wmctrl", "-i", "-c", hexid],
        }.get(action)
        if action == "restore":
            if before["minimized"] == "1":
                send = ["wmctrl", "-i", "-a", hexid]
            else:
                send = ["wmctrl", "-i", "-r", hexid, "-b",
                        "remove,maximized_vert,maximized_horz"]
        self.settle(lambda: b.x(*send))

    def stable(self, real):
        """True when a read a moment later agrees: the window manager is done with the
        window."""
        time.sleep(0.2)
        again = self.real.read()
        return again["rect"] == real["rect"] and again["viewable"] == real["viewable"]

    def until(self, act, done, what):
        """Does `act` (again every RESEND_AFTER seconds) until done(real window) holds."""
        deadline = time.monotonic() + STEP_TIMEOUT
        sent = None
        last = None
        while True:
            if act and (sent is None or time.monotonic() - sent > RESEND_AFTER):
                act()
                sent = time.monotonic()
            if self.browser.proc.poll() is not None:
                self.fail("the browser ended early (exit %s)" % self.browser.proc.returncode)
            try:
                last = self.real.read()
            except (AttributeError, ValueError):
                last = None  # the window is being recreated or has gone: read again
            if last is not None and done(last):
                return last
            if time.monotonic() > deadline:
                self.fail("timed out waiting for %s; last read %r" % (what, last))
            time.sleep(0.05)

    def settle(self, act=None):
        """Waits until the real window agrees with the model (doing `act` until then)."""
        if self.model["restored"] == "unknown" and self.model["visible"] == "1" and \
                self.model["minimized"] == "0" and self.model["maximized"] == "0":
            # First on the screen without a rectangle: the window manager chooses one, and
            # the model is told which.
            real = self.until(act, lambda r: r["viewable"] and not r["net_hidden"] and
                              self.stable(r), "the window manager's placement")
            self.ask("wm-place %s" % rect_text(real["rect"]))
            act = None
        last = [None]

        def agrees(real):
            last[0] = differences(self.model, real)
            return not last[0]

        try:
            self.until(act, agrees, "the window to agree with the model")
        except Failure as failure:
            raise Failure("%s\n  differences: %s" % (failure, "; ".join(last[0] or [])))

    def finish(self, report_expected):
        self.ended = True
        b = self.browser
        data = b.read_to_eof(timeout=STEP_TIMEOUT).decode()
        code = b.wait_exit(timeout=STEP_TIMEOUT)
        if code != 0:
            self.fail("exit code %d" % code)
        if not report_expected:
            if data:
                self.fail("no report expected after the controller went; got %r" % data)
            return
        # Replies to the checks' ISHIDDEN may still be in the stream before the report.
        report = re.sub(r"^(ISHIDDEN [01])*", "", data)
        if not re.fullmatch(r"GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+", report):
            self.fail("not a final report: %r" % data)
        if self.model["restored"] != "unknown":
            want = "GEOMETRY " + rect_text(parse_rect(self.model["restored"]))
            if report != want:
                self.fail("final report %r, model %r" % (report, want))


# ---------------------------------------------------------------------------------------------
# Sequences


def random_rect(rng):
    width, height = rng.randint(320, 900), rng.randint(240, 700)
    left, top = rng.randint(0, SCREEN_W - 40 - width), rng.randint(0, SCREEN_H - 40 - height)
    return top, left, top + height, left + width


def random_step(rng, run):
    """One step the model allows now: a command, or a user action the manager offers."""
    model = run.model
    restored = None if model["restored"] == "unknown" else parse_rect(model["restored"])
    choices = [(6, "SHOW"), (3, "SHOWTOPMOST"), (4, "HIDE"), (5, "MINIMIZE"),
               (5, "GEOMETRY %s" % rect_text(random_rect(rng))), (1, "NORESIZE"),
               (2, "SET-HIDE-ON-CLOSE %s" % rng.choice("01"))]
    # A few commands in one write, which the browser carries out back to back.
    burst = [rng.choice(["SHOW", "SHOWTOPMOST", "HIDE", "MINIMIZE",
                         "GEOMETRY %s" % rect_text(random_rect(rng))])
             for _ in range(rng.randint(2, 3))]
    choices.append((3, " & ".join(burst)))
    if restored:
        # The report sent back: the window must stay where it is.
        choices.append((1, "GEOMETRY %s" % rect_text(restored)))
    for action in run.offers:
        if action == "close" and model["hide_on_close"] == "0":
            continue  # that would end the session; the last step may do it
        if action in ("move", "resize"):
            # Somewhere else on the screen, the size kept; or another size, the place kept.
            top, left, bottom, right = restored
            if action == "move":
                width, height = right - left, bottom - top
                left = rng.randint(0, max(0, SCREEN_W - 40 - width))
                top = rng.randint(0, max(0, SCREEN_H - 40 - height))
                target = (top, left, top + height, left + width)
            else:
                width = rng.randint(320, max(320, SCREEN_W - 40 - left))
                height = rng.randint(240, max(240, SCREEN_H - 40 - top))
                target = (top, left, top + height, left + width)
            choices.append((4, "user-%s %s" % (action, rect_text(target))))
        else:
            choices.append((4, "user-" + action))
    total = sum(weight for weight, _ in choices)
    pick = rng.uniform(0, total)
    for weight, step in choices:
        pick -= weight
        if pick <= 0:
            return step
    return choices[-1][1]


def last_step(rng, run):
    """How the session ends: QUIT, the user closing the window, or the controller going."""
    endings = ["QUIT", "controller-gone"]
    if "close" in run.offers:
        endings.append("user-close")
    ending = rng.choice(endings)
    if ending == "user-close" and run.model["hide_on_close"] == "1":
        return ["SET-HIDE-ON-CLOSE 0", ending]
    return [ending]


# Sequences written out: the two that went wrong before, and the edges of each command. Each
# runs on a fresh browser.
SCRIPTED = {
    "geometry_then_minimize_then_the_user_moves_it": [
        "GEOMETRY 100 100 500 600", "MINIMIZE", "user-restore", "user-move 150 120 550 620",
        "user-resize 150 120 650 820", "QUIT"],
    "geometry_and_minimize_in_one_write": [
        "GEOMETRY 100 100 500 600 & MINIMIZE", "user-restore", "user-move 150 120 550 620",
        "QUIT"],
    "topmost_hidden_shown_again_is_ordinary": [
        "SHOWTOPMOST", "HIDE", "MINIMIZE", "SHOW", "SHOWTOPMOST", "SHOW", "QUIT"],
    "noresize_keeps_the_controllers_placement": [
        "SHOW", "NORESIZE", "GEOMETRY 100 200 700 1000", "SHOW", "MINIMIZE", "SHOW",
        "GEOMETRY 100 200 700 1000", "SHOW", "QUIT"],
    "noresize_of_a_minimized_maximized_window": [
        "GEOMETRY 100 100 500 700", "SHOW", "user-maximize", "MINIMIZE", "NORESIZE",
        "user-restore", "SHOW & MINIMIZE & SHOWTOPMOST", "QUIT"],
    "hidden_while_maximized_minimizes_back_to_maximized": [
        "GEOMETRY 100 100 500 700", "SHOW", "user-maximize", "HIDE", "MINIMIZE", "user-restore",
        "QUIT"],
    "placed_again_shown_and_minimized_in_one_write": [
        "GEOMETRY 517 583 1144 1202", "SHOW", "GEOMETRY 583 877 1062 1469 & SHOW & MINIMIZE",
        "QUIT"],
    "maximized_minimized_closed_and_reported": [
        "GEOMETRY 0 0 600 800", "SHOW", "user-maximize", "MINIMIZE", "user-restore",
        "user-restore", "SET-HIDE-ON-CLOSE 1", "user-close", "SHOW", "SET-HIDE-ON-CLOSE 0",
        "user-close"],
    "minimized_placed_and_minimized_again": [
        "SHOW", "MINIMIZE", "GEOMETRY 179 564 791 955", "MINIMIZE", "user-restore", "QUIT"],
    "minimized_placed_and_shown": [
        "MINIMIZE", "MINIMIZE", "GEOMETRY 655 478 1160 998", "SHOW", "QUIT"],
}


def seeds_from_env():
    text = os.environ.get("TRBROWSER_WINDOW_SEEDS", "5").strip()
    if re.fullmatch(r"\d+", text):
        return list(range(1, int(text) + 1))
    if re.fullmatch(r"\d+-\d+", text):
        first, last = (int(v) for v in text.split("-"))
        return list(range(first, last + 1))
    return [int(v) for v in text.split(",") if v.strip()]


class WindowModelTest(unittest.TestCase):
    def run_steps(self, label, steps):
        run = Run(self, label)
        try:
            for step in steps:
                run.apply(step)
            if not run.ended:
                run.apply("QUIT")
        finally:
            run.close()

    @unittest.skipIf(os.environ.get("TRBROWSER_WINDOW_REPLAY"), "replaying one sequence")
    def test_scripted_sequences(self):
        for name, steps in SCRIPTED.items():
            with self.subTest(sequence=name):
                self.run_steps("sequence " + name, steps)

    @unittest.skipIf(os.environ.get("TRBROWSER_WINDOW_REPLAY"), "replaying one sequence")
    def test_random_sequences(self):
        for seed in seeds_from_env():
            with self.subTest(seed=seed):
                rng = random.Random(seed)
                run = Run(self, "seed %d" % seed)
                try:
                    for _ in range(rng.randint(20, 40)):
                        run.apply(random_step(rng, run))
                    for step in last_step(rng, run):
                        run.apply(step)
                finally:
                    run.close()

    @unittest.skipUnless(os.environ.get("TRBROWSER_WINDOW_REPLAY"), "set to replay a sequence")
    def test_replay(self):
        steps = [s.strip() for s in os.environ["TRBROWSER_WINDOW_REPLAY"].split(";")]
        self.run_steps("replay", [s for s in steps if s])


if __name__ == "__main__":
    unittest.main()
