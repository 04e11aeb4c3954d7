"""The controller dies at any moment: in the middle of a command, between commands, and while
the browser is writing replies. Each time the browser closes with exit code 0 and leaves no
helper process behind.

Cycles per kind: TRBROWSER_STRESS_DEATHS (default 50).
"""

import select
import time
import unittest

import stress_support as ss
from stress_support import fixture

CYCLES = ss.count("TRBROWSER_STRESS_DEATHS", 50, 50)

display = None
server = None


def setUpModule():
    global display, server
    ss.become_subreaper()
    display = fixture.Display().start()
    server = fixture.PageServer()
    server.html("/page", "<html><head><title>Page</title></head><body>page</body></html>")


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


class ControllerDeath(unittest.TestCase):
    def run_cycles(self, die):
        for i in range(CYCLES):
            with self.subTest(cycle=i):
                session = ss.Session(self, display)
                browser = session.connect()
                die(browser, i)
                session.assert_exit0()

    def test_dies_mid_write(self):
        def die(browser, i):
            browser.send("SHOW;")
            # Half a command, cut inside the URL (long enough to span several reads on odd
            # cycles), then gone.
            tail = "x" * (5000 if i % 2 else 10)
            browser.conn.sendall(b"LOAD " + server.url("/page?").encode() + tail.encode())
            ss.hard_close(browser.conn, reset=i % 2 == 1)
            browser.conn = None
        self.run_cycles(die)

    def test_dies_between_writes(self):
        def die(browser, i):
            browser.send("LOAD %s;SHOW;" % server.url("/page"))
            self.assertFalse(browser.ishidden())
            ss.hard_close(browser.conn, reset=i % 2 == 1)
            browser.conn = None
        self.run_cycles(die)

    def test_dies_while_replies_are_written(self):
        def die(browser, i):
            # Syntax-error replies as long as the commands: read 1 MB of them, then stop
            # reading and keep sending until both directions are full. The browser is then
            # blocked inside a reply when the controller goes.
            conn = browser.conn
            conn.setblocking(False)
            payload = ("#" + "g" * 60000 + ";").encode() * 400
            sent = got = 0
            stalled = 0
            deadline = time.monotonic() + ss.EXIT_TIMEOUT
            while stalled < 20 and sent < len(payload):
                self.assertLess(time.monotonic(), deadline, "the browser stopped reading")
                _, writable, _ = select.select([], [conn], [], 0.05)
                if writable:
                    try:
                        sent += conn.send(payload[sent:sent + 65536])
                        stalled = 0
                    except BlockingIOError:
                        pass
                elif got >= 1 << 20:
                    stalled += 1
                while got < 1 << 20:
                    try:
                        chunk = conn.recv(65536)
                    except BlockingIOError:
                        break
                    self.assertTrue(chunk, "connection closed by the browser")
                    got += len(chunk)
            self.assertGreaterEqual(got, 1 << 20)
            ss.hard_close(conn, reset=i % 2 == 0)
            browser.conn = None
        self.run_cycles(die)

if __name__ == "__main__":
    unittest.main()
