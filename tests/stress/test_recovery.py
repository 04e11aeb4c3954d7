"""The engine's helper processes die under a running browser: the page's renderer (killed,
or crashed by chrome://crash), the zygote that forks renderers, the unsandboxed zygote, the
audio service and, run out of process, the network service. Commands keep flowing while it happens and keep getting answers; the main
window keeps working, and with --reload-after-crash the page itself comes back, a bounded
number of times.
"""

import math
import os
import signal
import struct
import time
import unittest

import stress_support as ss
from stress_support import fixture

display = None
server = None

RED_PAGE = ("<html><head><title>Red</title></head>"
            "<body style='margin:0;background:#ff0000'>%s</body></html>")


def wav(seconds):
    """A quiet tone, so that the engine starts its audio service."""
    frames = b"".join(struct.pack("<h", int(2000 * math.sin(i / 10.0))) for i in range(4410))
    data = frames * (10 * seconds)
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, 44100, 88200, 2, 16) + b"data" +
            struct.pack("<I", len(data)) + data)


def setUpModule():
    global display, server
    ss.become_subreaper()
    display = fixture.Display().start()
    server = fixture.PageServer()
    for path in ("/red", "/crashy", "/other"):
        server.html(path, RED_PAGE % path)
    server.html("/sound", RED_PAGE % "<audio src='/tone.wav' autoplay loop></audio>")
    server.pages["/tone.wav"] = (200, {"Content-Type": "audio/wav"}, wav(30))
    server.html("/opener", RED_PAGE % "<script>window.open('/blue')</script>")
    server.html("/blue", "<html><head><title>Blue</title></head>"
                "<body style='background:#0000ff'>blue</body></html>")


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


def load_error(url):
    return url.startswith("data:") and "Failed to Load URL" in ss.decoded(url)


class Base(unittest.TestCase):
    def start(self, *args, events=False):
        self.session = ss.Session(self, display, extra_args=args, events=events)
        browser = self.session.connect()
        if events:
            browser.events.read()
        browser.wait_url(lambda u: u.startswith("data:"), what="the default page")
        return browser

    def show(self, browser, path, host="127.0.0.1"):
        url = server.url(path, host=host)
        browser.send("LOAD %s;SHOW;" % url)
        browser.wait_url(lambda u: u == url, what=path)
        return url

    def assert_painted(self, browser, wid, colour, what):
        fixture.wait_for(lambda: browser.pixel(wid, 300, 300) == colour, what=what)

    def kill(self, browser, kind):
        pids = fixture.wait_for(lambda: ss.helpers(browser.proc.pid, kind), what="a " + kind)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)

    def quit(self, browser):
        browser.send("QUIT;")
        self.session.assert_exit0()


class HelperDeath(Base):
    """Each kind of helper is killed between two runs of commands; then the main window must
    still draw a page, and the browser must end cleanly with nothing left behind."""

    def kill_while_commands_flow(self, browser, kind):
        for i in range(40):
            if i == 10:
                self.kill(browser, kind)
            browser.send("HIDE;" if i % 2 else "SHOW;")
            self.assertEqual(browser.ishidden(), bool(i % 2))
            self.assertTrue(browser.geturl())
        browser.send("SHOW;")

    def test_renderer(self):
        browser = self.start()
        browser.send("SET-ALLOWED-ORIGINS http://127.0.0.1:%d;" % server.port)
        self.show(browser, "/red")
        self.kill_while_commands_flow(browser, "renderer")
        url = browser.wait_url(load_error, what="the Load Error page")
        self.assertIn("net::ERR_FAILED (the page&#39;s renderer process", ss.decoded(url))
        # The list still holds, and a new renderer draws the next page.
        browser.send("LOAD %s;" % server.url("/other", host="localhost"))
        browser.wait_url(lambda u: u.startswith("data:") and "Access Denied" in ss.decoded(u),
                         what="Access Denied")
        self.show(browser, "/other")
        self.assert_painted(browser, browser.main_window(), "FF0000", "a page after the crash")
        self.quit(browser)

    def test_renderer_crashed_by_the_engine_itself(self):
        browser = self.start()
        browser.send("LOAD chrome://crash;SHOW;")
        browser.wait_url(load_error, what="the Load Error page")
        self.show(browser, "/red")
        self.assert_painted(browser, browser.main_window(), "FF0000", "a page after the crash")
        self.quit(browser)

    def test_unsandboxed_zygote(self):
        browser = self.start()
        self.show(browser, "/red")
        self.kill_while_commands_flow(browser, "zygote-unsandboxed")
        self.show(browser, "/opener", host="localhost")
        popup = fixture.wait_for(lambda: browser.windows(title="Blue"), what="the popup")[0]
        self.assert_painted(browser, popup, "0000FF", "the popup")
        self.quit(browser)

    def test_utility_process(self):
        browser = self.start()
        self.show(browser, "/sound")
        self.kill_while_commands_flow(browser, "utility:AudioService")
        browser.send("RELOAD;")
        fixture.wait_for(lambda: ss.helpers(browser.proc.pid, "utility:AudioService"),
                         what="a new audio service")
        self.show(browser, "/other", host="localhost")
        self.assert_painted(browser, browser.main_window(), "FF0000", "a page after the kill")
        self.quit(browser)

    def test_network_service(self):
        """Out of process only under an engine switch (the toolkit warns that it is not
        supported); the engine then starts a new one and pages load through it."""
        browser = self.start("--disable-features=NetworkServiceInProcess,NetworkServiceInProcess2")
        self.show(browser, "/red")
        self.kill_while_commands_flow(browser, "utility:NetworkService")
        self.show(browser, "/other", host="localhost")
        self.assert_painted(browser, browser.main_window(), "FF0000", "a page after the kill")
        self.quit(browser)

    def test_zygote(self):
        """The engine never starts another zygote, so no new renderer can start (a page of
        another site, a popup). Without the sandbox, as here, the running renderer lives on
        and keeps the main window working for pages of its own site. (Under the sandbox the
        renderers share the zygote's process namespace and die with it.)"""
        browser = self.start()
        self.show(browser, "/red")
        self.kill_while_commands_flow(browser, "zygote")
        self.show(browser, "/other")
        self.assert_painted(browser, browser.main_window(), "FF0000", "a page after the kill")
        self.quit(browser)


class ReloadAfterCrash(Base):
    def requests(self, path):
        return sum(1 for r in server.requests if r == path)

    def test_the_page_comes_back(self):
        browser = self.start("--reload-after-crash=1", events=True)
        url = self.show(browser, "/red")
        browser.events.wait({"event": "load", "url": url}, what="the page's load event")
        self.kill(browser, "renderer")
        browser.wait_url(load_error, what="the Load Error page")
        # The controller hears of the death first, then of the page coming back.
        browser.events.wait({"event": "renderer-gone", "status": "killed"})
        browser.events.wait({"event": "load", "url": url}, what="the reload's load event")
        browser.wait_url(lambda u: u == url, what="the page again")
        self.assert_painted(browser, browser.main_window(), "FF0000", "the page again")
        self.quit(browser)

    def test_a_crash_loop_ends_on_the_error_page(self):
        browser = self.start("--reload-after-crash=1")
        before = self.requests("/crashy")
        url = self.show(browser, "/crashy")
        # The page's renderer dies each time the page is back: three reloads, no more.
        for _ in range(4):
            browser.wait_url(lambda u: u == url, what="the page")
            self.kill(browser, "renderer")
            browser.wait_url(load_error, what="the Load Error page")
        time.sleep(4)  # four times the delay: a reload would have come by now
        self.assertTrue(load_error(browser.geturl()))
        self.assertEqual(self.requests("/crashy") - before, 4)
        self.quit(browser)

    def test_a_load_cancels_the_waiting_reload(self):
        browser = self.start("--reload-after-crash=2")
        self.show(browser, "/crashy")
        before = self.requests("/crashy")
        self.kill(browser, "renderer")
        browser.wait_url(load_error, what="the Load Error page")
        other = self.show(browser, "/other")
        time.sleep(4)  # twice the delay
        self.assertEqual(browser.geturl(), other)
        self.assertEqual(self.requests("/crashy"), before)
        self.quit(browser)


if __name__ == "__main__":
    unittest.main()
