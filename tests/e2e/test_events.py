"""The events socket of the real trbrowser, with the command pipe working alongside: one case
per event, each a script of commands, user actions and the events they must bring, in
order. And a controller that never reads its events stalls nothing."""

import os
import re
import tempfile
import unittest

from fixture import (Browser, Display, PageServer, closed_port, decode_data_url,
                     make_xdg_open_stub, wait_for)

display = None
server = None


def setUpModule():
    global display, server
    display = Display().start()
    server = PageServer()
    server.html("/titled", "<html><head><title>Titled Page</title></head><body>hi</body></html>")
    server.html("/frame-host",
                "<html><head><title>Frame Host</title></head><body>"
                "<iframe src='%s'></iframe></body></html>" % server.url("/inner", host="localhost"))
    server.html("/inner", "<html><body>inner</body></html>")
    server.html("/own-scheme",
                "<html><body><a id=l href='tavrin:open?x=1&y=2'>go</a>"
                "<script>document.getElementById('l').click()</script></body></html>")
    server.html("/opener", "<html><body><script>window.open('/popup')</script></body></html>")
    server.html("/popup", "<html><head><title>Popup Page</title></head><body>popup</body></html>")
    # Thousands of titles of 2 kB each, far beyond what the browser holds for a stalled reader.
    server.html("/title-flood",
                "<html><head><title>flood</title></head><body><script>"
                "let n = 0; const pad = 'x'.repeat(2000);"
                "function more() { for (let i = 0; i < 250; i++) document.title = (n++) + ' ' + pad;"
                "  if (n < 4000) setTimeout(more, 0); else document.title = 'flood done'; }"
                "more();</script></body></html>")


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


# -- Steps of a case. Each takes the test case and the browser.

def send(commands):
    return lambda t, b: b.send(commands)


def expect(**fields):
    """The next event with these fields (events in between are skipped: titles and loads
    of the pages shown on the way)."""
    def step(t, b):
        t.last = b.events.wait(fields)
    return step


def geturl_is(url_of):
    """GETURL answers what the event just taken says (or url_of(...) says)."""
    return lambda t, b: t.assertEqual(b.geturl(), url_of(t.last))


def ishidden_is(hidden):
    return lambda t, b: t.assertEqual(b.ishidden(), hidden)


def showing(text):
    """The main frame shows a generated page holding `text`."""
    return lambda t, b: wait_for(lambda: text in decoded(b.geturl()), what="page with " + text)


def user(*command, until):
    """A user action through the window manager, repeated until the event `until` comes: the
    window manager drops a request for a window it has not taken on yet."""
    def step(t, b):
        for _ in range(30):
            b.x(*[str(b.main_window()) if arg is WINDOW else arg for arg in command])
            try:
                t.last = b.events.wait(until, timeout=2)
                return
            except AssertionError:
                continue
        t.fail("no %r after %r" % (until, command))
    return step


WINDOW = object()  # stands for the main window's id in a user() command


def decoded(url):
    return decode_data_url(url).decode("utf-8", "replace") if url.startswith("data:") else url


CASES = {
    "url_then_title_then_load": lambda: [
        send("LOAD %s;" % server.url("/titled")),
        expect(event="url", url=server.url("/titled")),
        geturl_is(lambda e: e["url"]),
        expect(event="title", title="Titled Page"),
        expect(event="load", url=server.url("/titled")),
    ],
    "load_error_then_the_error_page": lambda: [
        send("LOAD http://127.0.0.1:%d/;" % closed_port()),
        expect(event="load-error", code=-102, text="net::ERR_CONNECTION_REFUSED", main=True),
        expect(event="url"),
        geturl_is(lambda e: e["url"]),
        showing("Failed to Load URL"),
        expect(event="load"),
    ],
    "denied_main_frame": lambda: [
        send("SET-ALLOWED-ORIGINS http://nowhere\\.test/;LOAD %s;" % server.url("/titled")),
        expect(event="denied", url=server.url("/titled"), main=True),
        showing("Access Denied"),
    ],
    "denied_subframe": lambda: [
        send("SET-ALLOWED-ORIGINS http://127\\.0\\.0\\.1:%d/;LOAD %s;"
             % (server.port, server.url("/frame-host"))),
        expect(event="denied", url=server.url("/inner", host="localhost"), main=False),
        expect(event="load", url=server.url("/frame-host")),
    ],
    "handoff_of_a_link": lambda: [
        send("LOAD %s;" % server.url("/own-scheme")),
        expect(event="handoff", url="tavrin:open?x=1&y=2"),
        lambda t, b: wait_for(lambda: os.path.exists(t.handed), what="xdg-open run"),
    ],
    "handoff_of_load": lambda: [
        send("SET-ALLOWED-ORIGINS http://nowhere\\.test/;LOAD tavrin:from-load;"),
        expect(event="handoff", url="tavrin:from-load"),
    ],
    "window_by_commands": lambda: [
        send("SHOW;"), expect(event="window", state="shown"), ishidden_is(False),
        send("MINIMIZE;"), expect(event="window", state="minimized"), ishidden_is(False),
        send("SHOWTOPMOST;"), expect(event="window", state="shown"),
        send("HIDE;"), expect(event="window", state="hidden"), ishidden_is(True),
        send("SHOW;GEOMETRY 10 10 400 500;"), expect(event="window", state="shown"),
        expect(event="window", state="hidden"),
    ],
    "window_by_the_user": lambda: [
        send("SET-HIDE-ON-CLOSE 1;SHOW;"), expect(event="window", state="shown"),
        user("xdotool", "windowminimize", WINDOW, until={"event": "window", "state": "minimized"}),
        ishidden_is(False),
        user("wmctrl", "-i", "-a", WINDOW, until={"event": "window", "state": "shown"}),
        user("wmctrl", "-i", "-c", WINDOW, until={"event": "window", "state": "hidden"}),
        ishidden_is(True),
    ],
    "popup_from_a_page": lambda: [
        send("LOAD %s;" % server.url("/opener")),
        expect(event="popup", url=server.url("/popup")),
        lambda t, b: wait_for(lambda: b.windows(title="Popup Page"), what="the popup window"),
    ],
    "renderer_gone_then_the_error_page": lambda: [
        send("LOAD chrome://crash;"),
        expect(event="renderer-gone", status="crashed"),
        expect(event="url"),
        showing("renderer process crashed"),
    ],
}


class EventsTest(unittest.TestCase):
    def start(self):
        self.handed = os.path.join(tempfile.mkdtemp(prefix="trb-handoff-"), "handed")
        stub = make_xdg_open_stub(os.path.dirname(self.handed), self.handed)
        b = Browser(display, events=True, env={"PATH": stub + ":" + os.environ["PATH"]})
        self.addCleanup(b.close)
        b.accept()
        b.events.read()
        # The browser is ready once its default page has loaded.
        b.events.wait({"event": "load"}, what="the default page")
        return b

    def run_case(self, name):
        b = self.start()
        self.last = None
        for step in CASES[name]():
            step(self, b)
        b.send("QUIT;")
        b.read_to_eof()
        self.assertEqual(b.wait_exit(), 0)

    # A controller that reads none of its events: the browser, its window and the command
    # pipe go on; when the controller reads again, it learns how many events it missed.
    def test_stalled_reader_stalls_nothing(self):
        b = Browser(display, events=True)
        self.addCleanup(b.close)
        b.accept()  # and never read, for now
        b.send("SHOW;LOAD %s;" % server.url("/title-flood"))
        wait_for(lambda: b.windows(title="flood done"), timeout=120, what="the flood to end")
        self.assertFalse(b.ishidden())
        b.send("LOAD %s;" % server.url("/titled"))
        b.wait_url(lambda u: u == server.url("/titled"), what="a load while stalled")
        b.events.read()
        dropped = b.events.wait({"event": "dropped"}, timeout=60)
        self.assertGreater(dropped["count"], 0)
        b.events.wait({"event": "load", "url": server.url("/titled")})
        # What did arrive came in order.
        numbers = [int(e["title"].split()[0]) for e in b.events.events
                   if e["event"] == "title" and re.match(r"\d+ x", e["title"])]
        self.assertGreater(len(numbers), 0)
        self.assertEqual(numbers, sorted(numbers))
        b.send("QUIT;")
        b.read_to_eof()
        self.assertEqual(b.wait_exit(), 0)

    # The events are the controller's to take or leave: without a listener, or with a reader
    # that goes away, the browser and its command pipe carry on.
    def test_no_listener_or_a_reader_that_leaves_ends_nothing(self):
        for leaves in (False, True):
            with self.subTest(reader="leaves" if leaves else "none"):
                if leaves:
                    b = Browser(display, events=True)
                    b.accept()
                    b.events.conn.close()
                else:
                    b = Browser(display, extra_args=["--events-pipe=/nonexistent/events.sock"])
                    b.accept()
                self.addCleanup(b.close)
                b.send("SHOW;LOAD %s;" % server.url("/titled"))
                b.wait_url(lambda u: u == server.url("/titled"))
                self.assertFalse(b.ishidden())
                self.assertEqual(b.stderr().count("nothing listens on the events pipe"),
                                 0 if leaves else 1, b.stderr())
                b.send("QUIT;")
                b.read_to_eof()
                self.assertEqual(b.wait_exit(), 0)


for _name in CASES:
    setattr(EventsTest, "test_" + _name, lambda self, name=_name: self.run_case(name))


if __name__ == "__main__":
    unittest.main()
