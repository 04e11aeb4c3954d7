"""Bursts of window commands while the main window is closed, by the window manager or by QUIT.
Every cycle ends within a bounded wait, with exit code 0, and the controller receives the
replies to its queries followed by exactly one final "GEOMETRY " report, which is the last
thing on the pipe.

Cycles: TRBROWSER_STRESS_BURSTS (default 100, full 500), half of them closed by the window
manager, half by QUIT.
"""

import random
import subprocess
import threading
import time
import unittest

import stress_support as ss
from stress_support import fixture

CYCLES = ss.count("TRBROWSER_STRESS_BURSTS", 100, 500)

COMMANDS = ["SHOW", "HIDE", "GEOMETRY 40 50 400 600", "GEOMETRY 10 20 300 500", "NORESIZE",
            "ISHIDDEN", "SHOW"]

display = None


def setUpModule():
    global display
    ss.become_subreaper()
    display = fixture.Display().start()


def tearDownModule():
    if display:
        display.stop()


class Burster(threading.Thread):
    """Sends random window commands until the browser goes away (or `stop` is set)."""

    def __init__(self, conn, seed):
        super().__init__(daemon=True)
        self.conn = conn
        self.rng = random.Random(seed)
        self.stop = threading.Event()
        self.sent = 0

    def run(self):
        try:
            while not self.stop.is_set():
                burst = [self.rng.choice(COMMANDS) for _ in range(self.rng.randint(1, 40))]
                self.conn.sendall(("".join(c + ";" for c in burst)).encode())
                self.sent += len(burst)
                time.sleep(self.rng.random() * 0.01)
        except OSError:
            pass  # the browser has gone


class WindowBursts(unittest.TestCase):
    def check_stream(self, data):
        """Only ISHIDDEN replies, then one final report at the very end."""
        match = ss.GEOMETRY_RE.search(data)
        self.assertIsNotNone(match, "no final report; got %r" % data[-200:])
        self.assertEqual(match.end(), len(data), "something after the final report")
        rest = data[:match.start()].replace(b"ISHIDDEN 0", b"").replace(b"ISHIDDEN 1", b"")
        self.assertEqual(rest, b"", "unexpected replies")

    def test_bursts_while_closing(self):
        for i in range(CYCLES):
            by_wm = i % 2 == 0
            with self.subTest(cycle=i, closed_by="window manager" if by_wm else "QUIT"):
                session = ss.Session(self, display)
                browser = session.connect()
                wid = browser.main_window()
                browser.send("SHOW;")
                reader = ss.Reader(browser.conn)
                reader.start()
                burster = Burster(browser.conn, i)
                burster.start()
                time.sleep(0.05 + 0.2 * (i % 5) / 4)
                deadline = time.monotonic() + ss.EXIT_TIMEOUT
                if by_wm:
                    # A close request for a window that a HIDE has just unmapped is dropped by
                    # the window manager, as for any unmapped window: ask until it lands (the
                    # bursts keep showing it again).
                    while browser.proc.poll() is None and time.monotonic() < deadline:
                        subprocess.run(["wmctrl", "-i", "-c", hex(wid)], env=display.env(),
                                       capture_output=True)
                        time.sleep(0.1)
                else:
                    burster.stop.set()
                    burster.join(ss.EXIT_TIMEOUT)
                    browser.conn.sendall(b"QUIT;SHOW;ISHIDDEN;")
                session.assert_exit0()
                burster.stop.set()
                self.assertTrue(reader.done.wait(ss.EXIT_TIMEOUT), "pipe not closed")
                self.check_stream(reader.data())
                self.assertGreater(burster.sent, 0)


if __name__ == "__main__":
    unittest.main()
