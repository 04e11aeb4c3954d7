"""The real trbrowser under X with a window manager, driven over its controller socket, against
pages served on 127.0.0.1."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from fixture import (Browser, Display, PageServer, Reader, browser_path, closed_port,
                     decode_data_url, make_xdg_open_stub, proc_status_field, read_lines,
                     wait_for)

DEFAULT_PAGE = (b'<html><head><title>Tavrin WebBrowser</title></head><body bgcolor="#404040">'
                b'</body></html>')
GEOMETRY_REPORT = re.compile(r"^GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+$")

display = None
server = None
# Holds the popup's page back until the test has seen the popup under its first title.
popup_page_may_load = threading.Event()


def setUpModule():
    global display, server
    display = Display().start()
    server = PageServer()
    server.html("/titled", "<html><head><title>Titled Page</title></head><body>hi</body></html>")
    server.html("/frame-host",
                "<html><head><title>Frame Host</title></head>"
                "<body style='margin:0;background:#00ff00'>"
                "<iframe id=f src='%s' style='border:0;width:400px;height:300px'></iframe>"
                "</body></html>" % server.url("/inner", host="localhost"))
    server.html("/inner", "<html><body style='background:#ff0000'>inner</body></html>")
    server.html("/own-scheme",
                "<html><head><title>Own Scheme</title></head><body>"
                "<a id=l href='tavrin:open?x=1&y=2'>go</a>"
                "<script>document.getElementById('l').click()</script></body></html>")
    server.html("/opener",
                "<html><head><title>Opener</title></head><body>"
                "<script>window.open('/popup-target')</script></body></html>")

    def slow_popup(_handler):
        popup_page_may_load.wait(120)
        return (200, {"Content-Type": "text/html"},
                "<html><head><title>Popup Page</title></head>"
                "<body style='background:#0000ff'>popup</body></html>")

    server.pages["/popup-target"] = slow_popup


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


def generated_page(url):
    """True for a generated page other than the default one."""
    return url.startswith("data:text/html") and decode_data_url(url) != DEFAULT_PAGE


class BrowserTestCase(unittest.TestCase):
    def start(self, *args, listen=True, env=None, accept=True):
        browser = Browser(display, extra_args=args, listen=listen, env=env)
        self.addCleanup(browser.close)
        if listen and accept:
            browser.accept()
            # Commands act on the main browser once it shows the default page.
            browser.wait_url(lambda u: u.startswith("data:text/html"), what="default page")
        return browser


class StartupTest(BrowserTestCase):
    def test_starts_hidden_on_the_default_page(self):
        b = self.start()
        self.assertEqual(decode_data_url(b.geturl()), DEFAULT_PAGE)
        self.assertTrue(b.ishidden())
        wid = b.main_window()
        self.assertEqual(b.title(wid), "Tavrin WebBrowser")
        self.assertEqual(b.windows(visible_only=True), [])
        self.assertIn(str(b.proc.pid), b.x("xprop", "-id", str(wid), "_NET_WM_PID"))
        self.assertEqual(icon_sizes(b, wid), ICON_SIZES)

    def test_url_switch_still_shows_the_default_page(self):
        b = self.start("--url=" + server.url("/titled"))
        self.assertEqual(decode_data_url(b.geturl()), DEFAULT_PAGE)

    def test_views_mode_shows_at_once(self):
        b = self.start("--use-views")
        wait_for(lambda: not b.ishidden(), what="visible window")
        b.send("LOAD %s;" % server.url("/titled"))
        wait_for(lambda: b.windows(title="Titled Page"), what="page title on the window")

    def test_composites_in_software_without_a_gpu(self):
        """Without a GPU the browser never loads Mesa's software OpenGL (pages still draw:
        see the pixel checks); a user's own graphics setting wins over that choice."""
        if glob.glob("/dev/dri/renderD*"):
            self.skipTest("this machine has a render node")

        def software_gl(b):
            b.send("SHOW;LOAD %s;" % server.url("/frame-host"))
            wait_for(lambda: b.pixel(b.main_window(), 600, 450) == "00FF00", what="page painted")
            with open("/proc/%d/maps" % b.proc.pid) as f:
                return sorted({line.split()[-1] for line in f
                               if "swrast_dri" in line or "libLLVM" in line})

        b = self.start()
        self.assertEqual(software_gl(b), [])
        self.assertNotIn("OpenGL", b.stderr())
        if glob.glob("/usr/lib/*/dri/swrast_dri.so"):
            self.assertNotEqual(software_gl(self.start(env={"QT_XCB_GL_INTEGRATION": "xcb_glx"})),
                                [])

    def test_without_display_exits_1_with_one_line(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY",
                                                                  "QT_QPA_PLATFORM")}
        r = subprocess.run([browser_path(), "--no-sandbox"],
                           env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertIn("DISPLAY", r.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "only as root")
    def test_root_without_no_sandbox_exits_1_with_one_line(self):
        env = dict(display.env())
        env.pop("QTWEBENGINE_DISABLE_SANDBOX", None)
        env.pop("QTWEBENGINE_CHROMIUM_FLAGS", None)
        r = subprocess.run([browser_path()], env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertIn("--no-sandbox", r.stderr)


class NavigationTest(BrowserTestCase):
    def allow_loopback_ip(self, b):
        b.send("SET-ALLOWED-ORIGINS http://127.0.0.1:%d;" % server.port)

    def assert_access_denied(self, url, refused):
        page = decode_data_url(url).decode()
        self.assertIn("Access Denied", page)
        self.assertIn(refused, page)

    def test_allowed_and_refused_load(self):
        b = self.start()
        # A lookahead and a 3 kB URL: std::regex allows it, so the browser must too.
        b.send("SET-ALLOWED-ORIGINS http://(?!evil)127\\.0\\.0\\.1:%d/;" % server.port)
        allowed = server.url("/titled?q=" + "x" * 3000)
        b.send("LOAD %s;" % allowed)
        b.wait_url(lambda u: u == allowed, what="allowed page")
        wait_for(lambda: b.windows(title="Titled Page"), what="page title")
        refused = server.url("/titled", host="localhost")
        b.send("LOAD %s;" % refused)
        url = b.wait_url(generated_page, what="Access Denied")
        self.assert_access_denied(url, refused)

    def test_refused_iframe_shows_access_denied_in_the_frame_only(self):
        b = self.start()
        self.allow_loopback_ip(b)
        before = list(server.requests)
        host = server.url("/frame-host")
        b.send("SHOW;GEOMETRY 50 50 650 850;SHOW;LOAD %s;" % host)
        b.wait_url(lambda u: u == host, what="frame host")
        # The host page paints green; the frame shows the generated page's dark grey.
        wait_for(lambda: b.pixel(b.main_window(), 600, 450) == "00FF00",
                 what="host page painted")
        wait_for(lambda: b.pixel(b.main_window(), 200, 280) == "404040",
                 what="Access Denied in the frame")
        self.assertEqual(b.pixel(b.main_window(), 600, 450), "00FF00")
        self.assertEqual(b.geturl(), host)
        self.assertNotIn("/inner", server.requests[len(before):])

    def test_load_error_page(self):
        b = self.start()
        url = "http://127.0.0.1:%d/" % closed_port()
        b.send("LOAD %s;" % url)
        page_url = b.wait_url(generated_page, what="Load Error")
        page = decode_data_url(page_url).decode()
        self.assertIn("Failed to Load URL", page)
        self.assertIn(url, page)
        self.assertIn("(-102)", page)
        self.assertIn("ERR_CONNECTION_REFUSED", page)

    def test_about_blank_is_checked_when_loaded_by_the_controller(self):
        b = self.start()
        b.send("LOAD about:blank;")
        b.wait_url(lambda u: u == "about:blank", what="about:blank without a list")
        self.allow_loopback_ip(b)
        b.send("LOAD about:blank;")
        url = b.wait_url(generated_page, what="Access Denied")
        self.assert_access_denied(url, "about:blank")

    def test_other_unknown_schemes_are_not_handed_on(self):
        record, env = xdg_open_stub(self)
        b = self.start(env=env)
        b.send("LOAD tavrinx:nope;LOAD mailto:a@b.test;LOAD tavrin:yes;")
        wait_for(lambda: "tavrin:yes" in read_lines(record), what="xdg-open call")
        time.sleep(0.5)  # room for a wrongly handed-on scheme to show up too
        self.assertEqual(read_lines(record), ["tavrin:yes"])

    def test_http_404_is_a_page_not_a_load_error(self):
        b = self.start()
        missing = server.url("/missing")
        b.send("LOAD %s;" % missing)
        b.wait_url(lambda u: u == missing, what="404 page")
        wait_for(lambda: b.windows(title="Not here"), what="404 page title")

    def test_own_scheme_goes_to_xdg_open(self):
        record, env = xdg_open_stub(self)
        b = self.start(env=env)
        page = server.url("/own-scheme")
        b.send("LOAD %s;" % page)
        # Waits for a line, not for the file: the stub's shell creates the file before it
        # writes to it.
        wait_for(lambda: read_lines(record), what="xdg-open call from a link")
        self.assertEqual(read_lines(record), ["tavrin:open?x=1&y=2"])
        self.assertEqual(b.geturl(), page)
        b.send("LOAD tavrin:direct;")
        wait_for(lambda: len(read_lines(record)) == 2, what="xdg-open call from LOAD")
        self.assertEqual(read_lines(record)[1], "tavrin:direct")
        self.assertEqual(b.geturl(), page)

    def test_popup_gets_its_own_window(self):
        b = self.start()
        popup_page_may_load.clear()
        self.addCleanup(popup_page_may_load.set)
        b.send("LOAD %s;" % server.url("/opener"))
        wait_for(lambda: b.windows(title="New Browser Window", visible_only=True),
                 what="popup window")
        popup_page_may_load.set()
        popup = wait_for(lambda: b.windows(title="Popup Page", visible_only=True),
                         what="popup page title")[0]
        self.assertEqual(icon_sizes(b, popup), ICON_SIZES)
        wait_for(lambda: b.pixel(popup, 300, 300) == "0000FF", what="popup page painted")
        # Closing the popup leaves the main browser and the pipe alone.
        b.wm_close_until(popup, lambda: not b.windows(title="Popup Page"), what="popup gone")
        self.assertTrue(b.ishidden())
        self.assertIsNone(b.proc.poll())


class CloseTest(BrowserTestCase):
    def test_window_close_with_hide_on_close_hides(self):
        b = self.start()
        b.send("SET-HIDE-ON-CLOSE 1;LOAD %s;SHOW;" % server.url("/titled"))
        b.wait_url(lambda u: u == server.url("/titled"), what="page")
        self.assertFalse(b.ishidden())
        b.wm_close_until(b.main_window(), b.ishidden, what="hidden by close")
        url = b.wait_url(lambda u: u.startswith("data:"), what="default page")
        self.assertEqual(decode_data_url(url), DEFAULT_PAGE)
        b.send("SHOW;")
        self.assertFalse(b.ishidden())
        self.assertIsNone(b.proc.poll())

    def test_window_close_while_window_commands_are_in_flight(self):
        b = self.start()
        b.send("SHOW;")
        b.ishidden()
        wid = b.main_window()
        # Replies are read all along: a controller that stops reading while the browser
        # closes gets its replies, and the report, given up after a bounded wait.
        reader = Reader(b.conn)
        reader.start()
        # Keep the pipe thread busy with window operations while the close waits for it.
        b.send("SHOW;ISHIDDEN;" * 300)
        b.wm_close(wid)
        try:
            b.send("NORESIZE;ISHIDDEN;" * 300)
        except OSError:
            pass  # the browser may already have gone
        b.wm_close_until(wid, lambda: b.proc.poll() is not None,
                            what="exit after a window close")
        self.assertTrue(reader.done.wait(60), "pipe not closed")
        data = reader.data().decode()
        self.assertRegex(data, r"GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+$")
        self.assertEqual(re.sub(r"(ISHIDDEN [01])*GEOMETRY.*$", "", data), "")
        self.assertEqual(b.wait_exit(), 0)

    def test_quit_reports_last_and_exits_0(self):
        b = self.start()
        b.send("SET-HIDE-ON-CLOSE 1;QUIT;SHOW;ISHIDDEN;")
        self.assertRegex(b.read_to_eof().decode(), GEOMETRY_REPORT)
        self.assertEqual(b.wait_exit(), 0)

    def test_controller_gone_exits_0(self):
        b = self.start()
        b.send("SET-HIDE-ON-CLOSE 1;")
        b.ishidden()
        # Our end stops sending but can still read: a report would show up here.
        b.conn.shutdown(socket.SHUT_WR)
        self.assertEqual(b.read_to_eof(), b"")
        self.assertEqual(b.wait_exit(), 0)

    def test_no_listener_keeps_running_until_terminated(self):
        b = self.start(listen=False)
        b.main_window()
        time.sleep(1)  # the pipe thread has given up by now; nothing must follow
        self.assertIsNone(b.proc.poll())
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual(b.wait_exit(), 0)

    def test_sigterm_during_start_up_exits_0(self):
        # Sent as soon as the process catches it, long before the toolkit, the engine or the
        # pipe are up: the browser still ends the orderly way.
        b = self.start(listen=False)

        def caught():
            mask = proc_status_field(b.proc.pid, "SigCgt")
            return mask and int(mask, 16) & (1 << (signal.SIGTERM - 1))

        wait_for(caught, interval=0.001, what="SIGTERM caught")
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual(b.wait_exit(), 0, b.stderr())

    def test_no_listener_window_close_exits_0(self):
        b = self.start("--use-views", listen=False)
        wait_for(lambda: b.windows(visible_only=True), what="views window")
        settled(b)

        # The window is looked up afresh for each request: the first visible one seen at
        # start-up need not be the one that stays.
        b.wm_close_until(b.main_window, lambda: b.proc.poll() is not None,
                            what="exit after a window close")
        self.assertEqual(b.proc.returncode, 0)


def settled(browser):
    """Waits until the main window is on screen and the window manager has stopped moving it."""
    last = [None]

    def still():
        info = browser.x("xwininfo", "-id", hex(browser.main_window()))
        if "IsViewable" not in info:
            return False
        same = info == last[0]
        last[0] = info
        return same

    wait_for(still, interval=0.3, what="window placed")


def xdg_open_stub(test):
    """A recording xdg-open first on PATH: (record file, environment for the browser)."""
    tmp = tempfile.mkdtemp(prefix="trb-e2e-stub-")
    test.addCleanup(shutil.rmtree, tmp, True)
    record = os.path.join(tmp, "opened.txt")
    bindir = make_xdg_open_stub(tmp, record)
    return record, {"PATH": bindir + os.pathsep + os.environ.get("PATH", "")}


ICON_SIZES = [32, 48, 64, 128, 256]


def icon_sizes(browser, wid):
    """The square sizes of the window's _NET_WM_ICON images, smallest first. The property is
    a run of images, each its width, its height and then that many pixels."""
    out = browser.x("xprop", "-id", str(wid), "-len", "100000000", "-notype",
                    "-f", "_NET_WM_ICON", "32c", " $0+", "_NET_WM_ICON")
    values = [int(v) for v in re.findall(r"\d+", out.partition(" ")[2])]
    sizes = []
    at = 0
    while at + 2 <= len(values):
        w, h = values[at], values[at + 1]
        assert w == h and w > 0, (w, h)
        sizes.append(w)
        at += 2 + w * h
    assert at == len(values), "truncated icon data"
    return sorted(sizes)


if __name__ == "__main__":
    unittest.main()
