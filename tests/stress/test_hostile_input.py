"""Hostile input from the controller and from pages: bytes that are not UTF-8, a 2 MB URL,
thousands of patterns, invalid regular expressions, pages that open popups in a loop, carry a
1 MB title or redirect forever. The browser never crashes or hangs, and the controller keeps
getting answers. (A crashing renderer: test_recovery.py.)
"""

import re
import time
import unittest

import stress_support as ss
from stress_support import fixture

display = None
server = None


def setUpModule():
    global display, server
    ss.become_subreaper()
    display = fixture.Display().start()
    server = fixture.PageServer()
    server.html("/ok", "<html><head><title>Ok</title></head><body>ok</body></html>")
    server.html("/popups", "<html><head><title>Popups</title></head><body><script>"
                "setInterval(function () { window.open('/ok'); }, 20);</script></body></html>")
    server.html("/big-title", "<html><head><title>" + "T" * (1 << 20) +
                "</title></head><body>big</body></html>")
    server.redirect("/loop", "/loop")


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


class HostileInput(unittest.TestCase):
    def setUp(self):
        self.session = ss.Session(self, display)
        self.browser = self.session.connect()

    def answering(self):
        """A query still gets its answer and the process is still there."""
        self.assertIsNone(self.browser.proc.poll(), self.browser.stderr()[-2000:])
        self.assertIn(self.browser.ishidden(), (True, False))

    def quit(self):
        self.browser.send("QUIT;")
        self.session.assert_exit0()

    def test_bytes_that_are_not_utf8_in_load(self):
        for tail in (b"\xff\xfe\x80", b"\x01\x02\x7f\x1b[2J", b"\xc3\x28\xed\xa0\x80", b"\xf4\x90"):
            self.browser.conn.sendall(b"LOAD " + server.url("/ok?").encode() + tail + b";")
            url = self.browser.geturl()  # answered, whatever the engine made of the URL
            self.assertIsInstance(url, str)
            self.answering()
        self.browser.conn.sendall(b"LOAD \xff\xfe;")
        self.assertIsInstance(self.browser.geturl(), str)
        self.answering()
        self.quit()

    def test_two_megabyte_url(self):
        # Replies are read all along: a LOAD that arrives in pieces is partly answered with
        # syntax errors as long as the pieces, which a controller must keep reading.
        reader = ss.Reader(self.browser.conn)
        reader.start()
        huge = server.url("/ok?" + "a" * (2 << 20))
        self.browser.send("LOAD %s;ISHIDDEN;" % huge)
        fixture.wait_for(lambda: re.search(rb"ISHIDDEN [01]$", reader.data()),
                         what="the answer after the 2 MB URL")
        data = reader.data()
        print("\n2 MB URL: %d syntax-error replies (the command arrived in %d pieces)" %
              (data.count(b"ERROR Syntax Error: "), data.count(b"ERROR Syntax Error: ") + 1))
        self.browser.send("LOAD %s;GETURL;ISHIDDEN;" % server.url("/ok"))
        fixture.wait_for(lambda: reader.data().endswith(b"ISHIDDEN 1"), what="answers")
        self.browser.send("QUIT;")
        self.session.assert_exit0()
        self.assertTrue(reader.done.wait(ss.EXIT_TIMEOUT))
        self.assertIsNotNone(ss.GEOMETRY_RE.search(reader.data()))

    def test_thousands_of_patterns_and_invalid_ones(self):
        patterns = ["http://host%d\\.example:%d" % (i, i) for i in range(5000)]
        patterns += ["(", "[", "a{2,1}", "\\", "(?<x>a)", "*", "(a*)*\\1b"]
        patterns.append(server.url("/ok"))
        self.browser.send("SET-ALLOWED-ORIGINS %s;" % "|".join(patterns))
        self.browser.send("LOAD %s;" % server.url("/ok"))
        self.browser.wait_url(lambda u: u == server.url("/ok"), what="the allowed page")
        self.browser.send("LOAD %s;" % server.url("/elsewhere"))
        url = self.browser.wait_url(lambda u: u.startswith("data:"), what="Access Denied")
        self.assertIn("Access Denied", ss.decoded(url))
        self.quit()

    def test_page_opening_popups_in_a_loop(self):
        self.browser.send("LOAD %s;" % server.url("/popups"))
        time.sleep(3)
        for _ in range(5):
            self.answering()
        popups = len(self.browser.windows(title="Ok")) if self.browser.proc.poll() is None else 0
        print("\npopup loop: %d popup windows after 3 s" % popups)
        self.quit()

    def test_page_with_a_one_megabyte_title(self):
        self.browser.send("LOAD %s;SHOW;" % server.url("/big-title"))
        self.browser.wait_url(lambda u: u.endswith("/big-title"), what="the big-title page")
        self.answering()
        self.quit()

    def test_page_redirecting_forever(self):
        self.browser.send("LOAD %s;" % server.url("/loop"))
        url = self.browser.wait_url(lambda u: u.startswith("data:"), what="the Load Error page")
        page = ss.decoded(url)
        self.assertIn("Failed to Load URL", page)
        self.assertIn("(-310)", page)  # net::ERR_TOO_MANY_REDIRECTS
        self.answering()
        self.quit()


if __name__ == "__main__":
    unittest.main()
