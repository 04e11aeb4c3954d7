"""Window commands and user actions in any order; after each step the real window must agree
with the browser's own model (window_oracle). Written sequences, and seeds 1 to
TRBROWSER_WINDOW_SEEDS (5); a failure prints the TRBROWSER_WINDOW_REPLAY='...' that replays it."""

import os, random, re, socket, subprocess, time, unittest
from contextlib import suppress
from fixture import GEOMETRY, Browser, Display, browser_path

STEP_TIMEOUT, RESEND_AFTER = 30.0, 2.0  # a dropped user action is asked for again
SCREEN_W, SCREEN_H, display = 1600, 1200, Display()
def setUpModule(): display.start()
def tearDownModule(): display.stop()
def rect_text(rect): return "%d %d %d %d" % tuple(rect)
def parse_rect(text): return tuple(int(v) for v in re.split(r"[ ,]", text))
def differences(m, real):  # what the real window does not do of what the model says
    visible, minimized, on = m["visible"] == "1", m["minimized"] == "1", lambda k: m[k] == "1"
    r = None if m["restored"] == "unknown" else parse_rect(m["restored"])
    checks = [("ISHIDDEN", not visible, real["ishidden"]),
              ("X window id", real["first_wid"], real["wid"]),  # rules and scripts hold on to it
              ("managed (WM_STATE)", visible, real["wm_state"] in ("Normal", "Iconic")),
              ("on the screen", visible and not minimized, real["viewable"])]
    if visible:  # a withdrawn window's _NET_WM_STATE is forgotten by the manager
        checks += [("_NET_WM_STATE_HIDDEN", minimized, real["net_hidden"]),
                   ("_NET_WM_STATE_ABOVE", on("topmost"), real["net_above"]),
                   ("_NET_WM_STATE_MAXIMIZED", on("maximized"), real["net_maximized"])]
    if on("resizable") or r:
        size = None if on("resizable") else (r[3] - r[1], r[2] - r[0])
        checks.append(("size hints fixed", size, real["fixed_size"]))
    if visible and not minimized and not on("maximized") and r:
        checks.append(("page rectangle", r, real["rect"]))
    return ["%s: model %r, real %r" % c for c in checks if c[1] != c[2]]

class Run:  # one sequence on one fresh browser, checked against the model after every step
    def __init__(self, test, label):
        self.label, self.steps, self.ended, self.first_wid = label, [], False, None
        self.b = Browser(display)
        test.addCleanup(self.b.close)
        self.b.ready()
        self.oracle = subprocess.Popen([os.environ.get("TRBROWSER_WINDOW_ORACLE") or os.path.join(
            os.path.dirname(browser_path()), "window_oracle")], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True, bufsize=1)
        test.addCleanup(lambda: [self.oracle.kill(), self.oracle.communicate()])
        self.ask("ISHIDDEN")
    def fail(self, why):
        raise AssertionError("%s\n  replay: TRBROWSER_WINDOW_REPLAY='%s'\n  model: %s\n  %s" % (
            self.label, ";".join(self.steps), self.model, why))
    def ask(self, step):
        self.oracle.stdin.write(step + "\n")
        line = self.oracle.stdout.readline().split()
        if not line or line[0] != "ok":
            self.fail("the model refused %r: %r" % (step, line))
        self.model = dict(word.split("=", 1) for word in line[1:])
        self.offers = [o for o in self.model.pop("offers").split(",") if o != "-"]
    def read(self):  # what the X server and the browser say about the main window now
        wid = self.b.main_window()
        self.first_wid = self.first_wid or wid
        info = self.b.x("xwininfo", "-id", hex(wid))
        props = self.b.x("xprop", "-id", wid, "WM_STATE", "_NET_WM_STATE", "WM_NORMAL_HINTS")
        x, y, w, h = (int(re.search(k + r":\s+(-?\d+)", info).group(1)) for k in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        state = re.search(r"window state: (\w+)", props)
        net = props.partition("_NET_WM_STATE")[2].partition("\n")[0]
        lo, hi = (re.search(k + r" size: (\d+) by (\d+)", props) for k in ("minimum", "maximum"))
        fixed = tuple(map(int, lo.groups())) if lo and hi and lo.groups() == hi.groups() else None
        return {"wid": wid, "first_wid": self.first_wid, "viewable": "IsViewable" in info,
                "wm_state": state.group(1) if state else "Withdrawn", "net_above": "_ABOVE" in net,
                "net_hidden": "_HIDDEN" in net, "net_maximized": "MAXIMIZED_VERT" in net and
                "MAXIMIZED_HORZ" in net, "fixed_size": fixed, "rect": (y, x, y + h, x + w),
                "ishidden": self.b.ishidden()}
    def apply(self, step):
        word = step.split()[0]
        if word.startswith("user-"):
            return self.user_action(word[5:], step)
        self.steps.append(step)
        pieces = [piece.strip() for piece in step.split("&")]  # "&": in one write
        [self.ask(piece) for piece in pieces]
        if step == "controller-gone":
            self.b.conn.shutdown(socket.SHUT_WR)
            return self.finish(report=False)
        self.b.send("".join(piece + ";" for piece in pieces))
        self.finish(report=True) if word == "QUIT" else self.settle()
    def user_action(self, action, step):
        if action not in self.offers:
            self.fail("%r is not offered in this state" % step)
        hexid = hex(self.read()["wid"])
        if action in ("move", "resize"):
            t, before = parse_rect(step.split(None, 1)[1]), self.read()["rect"]
            cmd = (["xdotool", "windowmove", hexid, t[1], t[0]] if action == "move" else
                   ["xdotool", "windowsize", hexid, t[3] - t[1], t[2] - t[0]])
            rect = before if t == before else self.until(
                lambda: self.b.x(*cmd), lambda r: r["rect"] != before and self.stable(r),
                "the window to move or resize")["rect"]
            step = "user-%s %s" % (action, rect_text(rect))  # where the window manager put it
        self.steps.append(step)
        before = self.model
        self.ask(step)
        if action in ("move", "resize"):
            return self.settle()
        if action == "close" and before["hide_on_close"] == "0":
            self.b.wm_close_until(int(hexid, 16), lambda: self.b.proc.poll() is not None, "exit")
            return self.finish(report=True)
        b = {"maximize": "add", "restore": "remove"}.get(action)
        send = {"minimize": ["xdotool", "windowminimize", hexid],
                "close": ["wmctrl", "-i", "-c", hexid]}.get(action) or (
            ["wmctrl", "-i", "-a", hexid] if action == "restore" and before["minimized"] == "1"
            else ["wmctrl", "-i", "-r", hexid, "-b", b + ",maximized_vert,maximized_horz"])
        self.settle(lambda: self.b.x(*send))
    def stable(self, real):  # a read a moment later agrees: the window manager is done with it
        time.sleep(0.2)
        return all(self.read()[k] == real[k] for k in ("rect", "viewable"))
    def until(self, act, done, what):  # act (again every RESEND_AFTER s) until done(real window)
        deadline, sent, last = time.monotonic() + STEP_TIMEOUT, None, None
        while True:
            if act and (sent is None or time.monotonic() - sent > RESEND_AFTER):
                act()
                sent = time.monotonic()
            if self.b.proc.poll() is not None:
                self.fail("the browser ended early (exit %s)" % self.b.proc.returncode)
            last = None  # unless read: the window may be being recreated, or gone
            with suppress(AttributeError, ValueError):
                last = self.read()
            if last is not None and done(last):
                return last
            if time.monotonic() > deadline:
                self.fail("timed out waiting for %s; last read %r\n  differences: %s" % (
                    what, last, last and "; ".join(differences(self.model, last))))
            time.sleep(0.05)
    def settle(self, act=None):  # until the real window agrees with the model (doing `act`)
        m = self.model
        if (m["restored"], m["visible"], m["minimized"], m["maximized"]) == ("unknown", *"100"):
            # On the screen without a rectangle: the window manager's choice, told to the model.
            real = self.until(act, lambda r: r["viewable"] and not r["net_hidden"] and
                              self.stable(r), "the window manager's placement")
            self.ask("wm-place %s" % rect_text(real["rect"]))
            act = None
        self.until(act, lambda r: not differences(self.model, r), "the model's window")
    def finish(self, report):
        self.ended = True
        data = self.b.read_to_eof(timeout=STEP_TIMEOUT).decode()
        if self.b.wait_exit(timeout=STEP_TIMEOUT) != 0:
            self.fail("exit code %d" % self.b.proc.returncode)
        want = GEOMETRY if self.model["restored"] == "unknown" else re.compile(re.escape(
            "GEOMETRY " + rect_text(parse_rect(self.model["restored"]))))
        # The checks' ISHIDDEN replies may come before the report.
        if not want.fullmatch(re.sub(r"^(ISHIDDEN [01])*", "", data)) if report else data:
            self.fail("final report %r, model %r" % (data, self.model["restored"]))
def random_rect(rng):
    w, h = rng.randint(320, 900), rng.randint(240, 700)
    left, top = rng.randint(0, SCREEN_W - 40 - w), rng.randint(0, SCREEN_H - 40 - h)
    return top, left, top + h, left + w
def random_step(rng, run):  # a step the model allows now: command(s) or a user action
    model = run.model
    geometry = "GEOMETRY %s" % rect_text(random_rect(rng))
    choices = [(6, "SHOW"), (3, "SHOWTOPMOST"), (4, "HIDE"), (5, "MINIMIZE"), (5, geometry),
               (1, "NORESIZE"), (2, "SET-HIDE-ON-CLOSE %s" % rng.choice("01")),
               (3, " & ".join(rng.choice(["SHOW", "SHOWTOPMOST", "HIDE", "MINIMIZE", "GEOMETRY "
                                          + rect_text(random_rect(rng))])
                              for _ in range(rng.randint(2, 3))))]
    if model["restored"] != "unknown":
        choices.append((1, "GEOMETRY " + rect_text(parse_rect(model["restored"]))))  # in place
    for action in run.offers:
        if action == "close" and model["hide_on_close"] == "0":
            continue  # that would end the session; the last step may do it
        if action in ("move", "resize"):
            top, left, bottom, right = parse_rect(model["restored"])
            w, h = right - left, bottom - top
            if action == "move":
                left, top = (rng.randint(0, max(0, SCREEN_W - 40 - w)),
                             rng.randint(0, max(0, SCREEN_H - 40 - h)))
            else:
                w, h = (rng.randint(320, max(320, SCREEN_W - 40 - left)),
                        rng.randint(240, max(240, SCREEN_H - 40 - top)))
            action += " " + rect_text((top, left, top + h, left + w))
        choices.append((4, "user-" + action))
    return rng.choices([s for _, s in choices], [w for w, _ in choices])[0]
def last_steps(rng, run):  # QUIT, the user closing the window, or the controller going
    ending = rng.choice(["QUIT", "controller-gone"] + ["user-close"] * ("close" in run.offers))
    return ["SET-HIDE-ON-CLOSE 0", ending] if ending == "user-close" else [ending]
# The sequences that went wrong before, and the edges of each command.
SCRIPTED = {name: steps.split("; ") for name, steps in {
    "geometry_minimize_then_the_user_moves_it": "GEOMETRY 100 100 500 600; MINIMIZE; "
    "user-restore; user-move 150 120 550 620; user-resize 150 120 650 820; QUIT",
    "geometry_and_minimize_in_one_write": "GEOMETRY 100 100 500 600 & MINIMIZE; user-restore; "
    "user-move 150 120 550 620; controller-gone",
    "topmost_hidden_shown_again_is_ordinary": "SHOWTOPMOST; HIDE; MINIMIZE; SHOW; SHOWTOPMOST; "
    "SHOW; QUIT",
    "noresize_keeps_the_controllers_placement": "SHOW; NORESIZE; GEOMETRY 100 200 700 1000; SHOW; "
    "MINIMIZE; SHOW; GEOMETRY 100 200 700 1000; SHOW; QUIT",
    "noresize_of_a_minimized_maximized_window": "GEOMETRY 100 100 500 700; SHOW; user-maximize; "
    "MINIMIZE; NORESIZE; user-restore; SHOW & MINIMIZE & SHOWTOPMOST; QUIT",
    "hidden_while_maximized_minimizes_back_to_maximized": "GEOMETRY 100 100 500 700; SHOW; "
    "user-maximize; HIDE; MINIMIZE; user-restore; QUIT",
    "placed_again_shown_and_minimized_in_one_write": "GEOMETRY 517 583 1144 1202; SHOW; "
    "GEOMETRY 583 877 1062 1469 & SHOW & MINIMIZE; QUIT",
    "maximized_minimized_closed_and_reported": "GEOMETRY 0 0 600 800; SHOW; user-maximize; "
    "MINIMIZE; user-restore; user-restore; SET-HIDE-ON-CLOSE 1; user-close; SHOW; "
    "SET-HIDE-ON-CLOSE 0; user-close",
    "minimized_placed_and_minimized_again": "SHOW; MINIMIZE; GEOMETRY 179 564 791 955; MINIMIZE; "
    "user-restore; controller-gone",
    "minimized_placed_and_shown": "MINIMIZE; MINIMIZE; GEOMETRY 655 478 1160 998; SHOW; QUIT",
    "hidden_after_a_quick_show_keeps_its_place": "SHOW; GEOMETRY 134 83 537 660; MINIMIZE; SHOW; "
    "HIDE & SHOW & HIDE; QUIT",
}.items()}

class WindowModelTest(unittest.TestCase):
    def run_steps(self, label, steps=None, rng=None):
        run = Run(self, label)
        for i in range(len(steps) if steps else rng.randint(20, 40)):
            run.apply(steps[i] if steps else random_step(rng, run))
        for step in [] if run.ended else last_steps(rng, run) if rng else ["QUIT"]:
            run.apply(step)
        run.b.close()
    def test_sequences(self):
        replay = os.environ.get("TRBROWSER_WINDOW_REPLAY")
        if replay:
            return self.run_steps("replay", [s.strip() for s in replay.split(";") if s.strip()])
        cases = [(name, steps, None) for name, steps in SCRIPTED.items()]
        seeds = int(os.environ.get("TRBROWSER_WINDOW_SEEDS", "5"))
        cases += [("seed %d" % i, None, random.Random(i)) for i in range(1, seeds + 1)]
        for label, steps, rng in cases:
            with self.subTest(label):
                self.run_steps(label, steps, rng)
