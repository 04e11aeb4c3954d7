"""The browser in a Wayland desktop session: weston's headless compositor with XWayland beside
it, as GNOME and KDE run them. With both WAYLAND_DISPLAY and DISPLAY the browser must run on
XWayland, where window commands reach the window manager; with WAYLAND_DISPLAY alone, on
Wayland. (The choice with QT_QPA_PLATFORM or -platform given is a unit test.)

weston's own X window manager honours less than a desktop's (it places windows itself, and has
no stays-on-top or minimised state), so this checks the window's size and mapping through
XWayland; placement, stays-on-top and minimising under a full window manager are the X tests
in test_browser.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from fixture import Browser, browser_path, noise, wait_for

WAYLAND_SOCKET = "wayland-trb-test"


class WestonSession:
    """A headless weston with XWayland, in a private runtime directory; stands in for the
    fixture's Display."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="trb-weston-")
        os.chmod(self.dir, 0o700)
        # XWayland listens in the X socket directory, which only an X server makes otherwise.
        if not os.path.isdir("/tmp/.X11-unix"):
            os.makedirs("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        self.log = os.path.join(self.dir, "weston.log")
        self.proc = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--xwayland", "--idle-time=0",
             "--socket=" + WAYLAND_SOCKET, "--width=1280", "--height=1024", "--log=" + self.log],
            env=dict(os.environ, XDG_RUNTIME_DIR=self.dir), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.with_x = True
        try:
            self.x_display = wait_for(self._x_display, timeout=30, what="XWayland in weston")
        except BaseException:
            self.stop()
            raise

    def _x_display(self):
        if self.proc.poll() is not None:
            raise AssertionError("weston exited; its log is " + self.log)
        try:
            with open(self.log) as f:
                match = re.search(r"xserver listening on display (:\d+)", f.read())
        except FileNotFoundError:
            return None
        return match and match.group(1)

    def env(self):
        """The session's environment as the browser sees it."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(XDG_RUNTIME_DIR=self.dir, WAYLAND_DISPLAY=WAYLAND_SOCKET)
        if self.with_x:
            env["DISPLAY"] = self.x_display
        return env

    def x(self, *args):
        """An X tool run against XWayland, whatever the browser was given."""
        return subprocess.run(list(args), env=dict(self.env(), DISPLAY=self.x_display),
                              capture_output=True, text=True).stdout

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@unittest.skipUnless(shutil.which("weston") and shutil.which("Xwayland"),
                     "needs weston and xwayland (scripts/deps.sh installs them)")
class WaylandSessionTest(unittest.TestCase):
    def setUp(self):
        self.session = WestonSession()
        self.addCleanup(self.session.stop)

    def start(self):
        browser = Browser(self.session)
        self.addCleanup(browser.close)
        browser.accept()
        browser.wait_url(lambda u: u.startswith("data:text/html"), what="default page")
        return browser

    def x_windows(self, browser):
        return self.session.x("xdotool", "search", "--pid", str(browser.proc.pid)).split()

    def window_info(self, wid):
        return self.session.x("xwininfo", "-id", wid)

    def test_with_xwayland_the_browser_runs_there(self):
        b = self.start()
        wid = wait_for(lambda: self.x_windows(b), what="an X window on XWayland")[0]
        b.send("GEOMETRY 100 150 500 750;SHOW;")
        wait_for(lambda: re.search(r"Width: 600\n.*Height: 400\n(.*\n)*.*IsViewable",
                                   self.window_info(wid)),
                 what="a 600x400 window shown through XWayland")
        self.assertFalse(b.ishidden())
        b.send("HIDE;")
        wait_for(lambda: "IsUnMapped" in self.window_info(wid), what="the window unmapped")
        self.assertTrue(b.ishidden())
        b.send("QUIT;")
        # weston's window manager places windows itself, so only the size is the controller's.
        top, left, bottom, right = map(int, re.fullmatch(
            r"GEOMETRY (-?\d+) (-?\d+) (-?\d+) (-?\d+)", b.read_to_eof().decode()).groups())
        self.assertEqual((bottom - top, right - left), (400, 600))
        self.assertEqual(b.wait_exit(), 0)
        self.assertEqual(noise(b.stderr()), [])

    def test_on_wayland_alone_the_browser_runs_on_wayland(self):
        self.session.with_x = False
        b = self.start()
        b.send("SHOW;")
        wait_for(lambda: not b.ishidden(), what="the window shown")
        self.assertEqual(self.x_windows(b), [])  # a Wayland surface, nothing on XWayland
        b.send("HIDE;")
        wait_for(b.ishidden, what="the window hidden")
        b.send("QUIT;")
        self.assertRegex(b.read_to_eof().decode(), r"^GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+$")
        self.assertEqual(b.wait_exit(), 0)
        self.assertEqual(noise(b.stderr()), [])

    def test_a_compositor_that_is_not_there_is_one_line(self):
        env = dict(self.session.env(), WAYLAND_DISPLAY="wayland-trb-absent")
        del env["DISPLAY"]
        r = subprocess.run([browser_path(), "--no-sandbox"], env=env, capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        self.assertIn("WAYLAND_DISPLAY", r.stderr)


if __name__ == "__main__":
    unittest.main()
