#!/usr/bin/env python3
"""How long after a page commits the controller knows it: with the browser's `url` event,
against polling GETURL every 10 ms (all a controller of the command pipe alone can do), both
measured in this run against the real browser.

The commit itself happens inside the browser, so each trial locates it from outside:
- event trials: the events are read while a second controller loop polls GETURL flat out
  (every 0.5 ms); the commit lies between the last reply that still showed the old URL and
  the first that showed the new one, and is taken as the middle of that span. The event's
  delay is its arrival after that instant.
- polling trials: GETURL is polled on a 10 ms schedule, as a controller would; the commit is
  located by the url event, which the event trials show arrives within a fraction of a
  millisecond of it (their median delay is added back).
Trials of the two kinds alternate, each loading a page of its own.

Usage: bench/events_latency.py [--trials N]
Prints: events_latency ours_p50_ms=... polling_p50_ms=... ratio_polling_to_ours=...
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from fixture import Browser, Display, PageServer  # noqa: E402


def percentile(samples, p):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


class Pipe:
    """GETURL over the command pipe, read in chunks (ISHIDDEN behind it marks the end)."""

    def __init__(self, conn):
        self.conn = conn

    def geturl(self):
        self.conn.sendall(b"GETURL;ISHIDDEN;")
        data = b""
        while not (data.endswith(b"ISHIDDEN 0") or data.endswith(b"ISHIDDEN 1")):
            data += self.conn.recv(65536)
        return data[len("GETURL "):-len("ISHIDDEN 0")].decode()


def url_event_arrival(browser, url, since):
    """When the url event for `url` (at or after index `since`) arrived."""
    event = browser.events.wait(lambda e: e["event"] == "url" and e["url"] == url)
    index = browser.events.events.index(event, since)
    browser.events.wait({"event": "load", "url": url})  # the page is done before the next trial
    return browser.events.arrivals[index]


def event_trial(browser, pipe, url):
    since = len(browser.events.events)
    last_old = time.perf_counter()
    browser.send("LOAD %s;" % url)
    while True:
        sent = time.perf_counter()
        seen = pipe.geturl() == url
        received = time.perf_counter()
        if seen:
            commit = (last_old + received) / 2
            break
        last_old = sent
        time.sleep(0.0005)
    return url_event_arrival(browser, url, since) - commit


def polling_trial(browser, pipe, url, event_delay):
    since = len(browser.events.events)
    browser.send("LOAD %s;" % url)
    start = time.perf_counter()
    tick = 0
    while pipe.geturl() != url:
        tick += 1
        time.sleep(max(0.0, start + tick * 0.010 - time.perf_counter()))
    known = time.perf_counter()
    return known - (url_event_arrival(browser, url, since) - event_delay)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--trials", type=int, default=60)
    args = ap.parse_args()
    # The events are timed by a reader thread: it must not wait out the interpreter's default
    # 5 ms switch interval behind the polling loop.
    sys.setswitchinterval(0.0001)

    server = PageServer()
    # A page left for the next one before its body is out is no error here.
    server.httpd.handle_error = lambda *args: None
    display = Display().start()
    browser = Browser(display, events=True)
    try:
        browser.accept()
        browser.events.read()
        browser.events.wait({"event": "load"})  # the default page: ready
        pipe = Pipe(browser.conn)
        for i in range(2 * args.trials + 4):
            server.html("/p%d" % i, "<html><head><title>p%d</title></head><body>%d</body></html>"
                        % (i, i))
        # Warm-up: the first loads start the renderer.
        for i in range(4):
            event_trial(browser, pipe, server.url("/p%d" % i))
        ours, polling = [], []
        for i in range(args.trials):
            ours.append(event_trial(browser, pipe, server.url("/p%d" % (4 + 2 * i))))
            polling.append(polling_trial(browser, pipe, server.url("/p%d" % (5 + 2 * i)),
                                         percentile(ours, 50)))
        browser.send("QUIT;")
        browser.read_to_eof()
    finally:
        browser.close()
        display.stop()
        server.stop()

    ms = lambda seconds: seconds * 1000.0  # noqa: E731
    print("url event after commit: p50=%.2fms p90=%.2fms; GETURL every 10 ms: p50=%.2fms "
          "p90=%.2fms (%d trials each)"
          % (ms(percentile(ours, 50)), ms(percentile(ours, 90)), ms(percentile(polling, 50)),
             ms(percentile(polling, 90)), args.trials))
    print("events_latency ours_p50_ms=%.2f polling_p50_ms=%.2f ratio_polling_to_ours=%.1f"
          % (ms(percentile(ours, 50)), ms(percentile(polling, 50)),
             percentile(polling, 50) / max(percentile(ours, 50), 1e-6)))


if __name__ == "__main__":
    main()
