#!/usr/bin/env python3
"""Soak: drives the real browser through a long, seeded mix of work on loopback pages and
watches what it holds.

The mix: LOAD of varied pages (a heavy DOM, images, iframes, a refused origin, a port nobody
listens on), RELOAD and CLEAR, popups opened and closed (by the page itself or through the
window manager), SHOW, HIDE and MINIMIZE, GEOMETRY, allow-list replacements, GETURL and
ISHIDDEN.

Every --sample-every steps the browser is brought to the same resting point (popups closed,
a fixed page loaded, helper processes settled) and sampled: PSS summed over the browser and
its helpers (bench/memory.py), the number of helpers, the browser process's open file
descriptors and threads, and the X windows its connection owns. One line per sample; then

    soak steps=N pss_first_mib=A pss_last_mib=B growth_per_1000_steps_mib=G fds_first=F
         fds_last=L procs_max=P

where "first" is the first sample after the warm-up (--warmup steps, 10% of the run by
default), growth is the Theil-Sen slope of PSS over the samples from there on (see slope()),
and procs_max the most helper processes of any sample. A line on stderr adds the run's time,
the loads that never committed (stalls), the failures the engine dropped, and the growth of
the browser process alone.

Usage: scripts/with-display.sh bench/soak.py [--steps 1200] [--seed 1] [--sample-every 200]
       [--warmup STEPS] [--idle 20] [-- browser switches...]
The default run takes about five minutes on an idle two-core machine.
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
import fixture  # noqa: E402
import memory  # noqa: E402

# X resource ids: the client's base in the high bits, the resource in the low 21 (X.Org's
# layout with its default of 256 clients).
X_CLIENT_MASK = ~0x1FFFFF


def png(rgb, size=96):
    """A plain square PNG of one colour."""
    row = b"\x00" + bytes(rgb) * size
    raw = zlib.compress(row * size)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", raw) + chunk(b"IEND", b""))


def heavy_page(handler):
    n = handler.path.partition("n=")[2] or "0"
    rows = "".join("<tr>" + "".join("<td>%s.%d.%d</td>" % (n, r, c) for c in range(8)) + "</tr>"
                   for r in range(300))
    body = ("<html><head><title>Heavy %s</title></head><body><table>%s</table><div id=d></div>"
            "<script>var d=document.getElementById('d');for(var i=0;i<2000;i++){"
            "var e=document.createElement('span');e.textContent='x'+i;d.appendChild(e);}"
            "</script></body></html>" % (n, rows))
    return 200, {"Content-Type": "text/html"}, body


def images_page(handler):
    n = int(handler.path.partition("n=")[2] or "0")
    imgs = "".join("<img src='/img/%d.png'>" % ((n + i) % 40) for i in range(16))
    return 200, {"Content-Type": "text/html"}, (
        "<html><head><title>Images %d</title></head><body>%s</body></html>" % (n, imgs))


class Soak:
    """One browser under the display, the pages it is driven through, and its samples."""

    def __init__(self, display, seed, browser_args=()):
        self.rng = random.Random(seed)
        self.server = fixture.PageServer()
        # The browser drops connections it no longer needs; that is no news.
        self.server.httpd.handle_error = lambda request, address: None
        self.closed_port = fixture.closed_port()
        self.serial = 0
        self.stalls = 0
        self.dropped_failures = 0
        self._pages()
        self.browser = fixture.Browser(display, extra_args=list(browser_args))
        self.browser.accept()
        self.browser.wait_url(lambda u: u.startswith("data:"), what="the default page")
        self.lists = [
            "http://127.0.0.1:%d" % self.server.port,
            "http://127.0.0.1:%d|http://localhost:%d" % (self.server.port, self.server.port),
            "",  # no list: everything allowed
        ]
        self.set_list(0)

    def _pages(self):
        s = self.server
        s.pages["/heavy"] = heavy_page
        s.pages["/images"] = images_page
        for i in range(40):
            s.pages["/img/%d.png" % i] = (200, {"Content-Type": "image/png"},
                                          png(((i * 53) % 256, (i * 97) % 256, (i * 29) % 256)))
        s.html("/frames", "<html><head><title>Frames</title></head><body>"
               "<iframe src='/heavy?n=f'></iframe>"
               "<iframe src='http://localhost:%d/heavy?n=x'></iframe></body></html>" % s.port)
        s.html("/opener", "<html><head><title>Opener</title></head><body>"
               "<script>window.open('/child' + location.search)</script></body></html>")
        s.pages["/child"] = lambda h: (200, {"Content-Type": "text/html"}, (
            "<html><head><title>Child</title></head><body style='background:#0000ff'>child"
            "%s</body></html>" % ("<script>setTimeout(function(){window.close()},50)</script>"
                                  if "self" in h.path else "")))
        s.html("/rest", "<html><head><title>Rest</title></head><body>rest</body></html>")

    # -- commands

    def url(self, path, host="127.0.0.1"):
        self.serial += 1
        sep = "&" if "?" in path else "?"
        return self.server.url("%s%sn=%d" % (path, sep, self.serial), host=host)

    def set_list(self, index):
        self.list_index = index
        self.browser.send("SET-ALLOWED-ORIGINS %s;" % self.lists[index])

    def load(self, url, expect_generated=False, timeout=20):
        """LOAD and wait until the URL (or a generated page) is committed. False, and a
        stall counted, when it never is."""
        self.browser.send("LOAD %s;" % url)
        try:
            self.browser.wait_url(
                lambda u: u.startswith("data:") if expect_generated else u == url,
                timeout=timeout, interval=0.02, what=url)
            return True
        except AssertionError:
            self.stall("load " + url)
            return False

    def stall(self, what):
        self.stalls += 1
        if os.environ.get("SOAK_DEBUG"):
            print("   stall:", what, self.browser.geturl()[:100])

    def popups(self):
        return [w for w in self.browser.windows() if self.browser.title(w) in
                ("Child", "New Browser Window")]

    def close_popups(self, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            left = self.popups()
            if not left:
                return
            if time.monotonic() > deadline:
                self.stalls += 1
                return
            for wid in left:
                self.browser.x("wmctrl", "-i", "-c", hex(wid))
            time.sleep(0.2)

    def step(self):
        b = self.browser
        r = self.rng.random()
        if r < 0.14:
            self.load(self.url("/heavy"))
        elif r < 0.26:
            self.load(self.url("/images"))
        elif r < 0.34:
            self.load(self.url("/frames"))
        elif r < 0.39:
            # Refused unless the list in force covers localhost.
            self.load(self.url("/heavy", host="localhost"), expect_generated=self.list_index == 0)
        elif r < 0.43:
            # The engine drops the failure of a navigation that starts while the previous page
            # is still loading: no Load Error page then (counted, not waited for).
            if not self.load("http://127.0.0.1:%d/" % self.closed_port, expect_generated=True,
                             timeout=5):
                self.stalls -= 1
                self.dropped_failures += 1
        elif r < 0.47:
            b.send("RELOAD;")
        elif r < 0.51:
            b.send("CLEAR;")
        elif r < 0.57:
            by_page = self.rng.random() < 0.5
            self.load(self.url("/opener?self" if by_page else "/opener?wm"))
            if not by_page:
                try:
                    fixture.wait_for(self.popups, timeout=10, what="popup")
                except AssertionError:
                    self.stalls += 1
                self.close_popups()
        elif r < 0.65:
            b.send(self.rng.choice(["SHOW;", "HIDE;", "MINIMIZE;", "SHOWTOPMOST;", "SHOW;"]))
        elif r < 0.69:
            top, left = self.rng.randrange(0, 300), self.rng.randrange(0, 300)
            b.send("GEOMETRY %d %d %d %d;" % (top, left, top + self.rng.randrange(200, 700),
                                              left + self.rng.randrange(200, 900)))
        elif r < 0.74:
            self.set_list(self.rng.randrange(len(self.lists)))
        elif r < 0.87:
            b.geturl()
        else:
            b.ishidden()

    # -- samples

    def settle(self, idle):
        """The same resting point before every sample: no popup, the default page shown,
        helpers that have stopped coming and going, then `idle` seconds without work, which
        gives the renderer's garbage collector its turn (it waits about 8 s for quiet)."""
        self.close_popups()
        self.set_list(0)
        self.browser.send("SHOW;CLEAR;")
        self.browser.wait_url(lambda u: u.startswith("data:"), interval=0.02, what="default page")
        last, since = None, time.monotonic()
        deadline = since + 10
        while time.monotonic() < deadline:
            now = len(memory.session_pids(self.browser.proc.pid))
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since > 1.0:
                break
            time.sleep(0.1)
        time.sleep(idle)

    def x_windows(self):
        """X windows owned by the browser's X connection(s), mapped or not."""
        clients = {w & X_CLIENT_MASK for w in self.browser.windows()}
        tree = self.browser.x("xwininfo", "-root", "-tree")
        ids = set()
        for line in tree.splitlines():
            word = line.strip().split(" ", 1)[0]
            if word.startswith("0x"):
                ids.add(int(word, 16))
        return sum(1 for w in ids if w & X_CLIENT_MASK in clients)

    def sample(self):
        pid = self.browser.proc.pid
        pids = memory.session_pids(pid)
        pss = {p: memory.pss_kib(p) for p in pids}
        alone = memory.pss_alone_kib(pids)
        by_kind = {}
        for p in pids:
            kind = fixture.helper_kind(p, pid) or "gone"
            by_kind[kind] = by_kind.get(kind, 0) + (alone or pss)[p] / 1024.0
        return {
            # PSS alone where it can be read (see bench/memory.py), else the machine's PSS.
            "pss_mib": sum((alone or pss).values()) / 1024.0,
            "pss_machine_mib": sum(pss.values()) / 1024.0,
            "by_kind": by_kind,
            "procs": len(pids) - 1,
            "fds": len(os.listdir("/proc/%d/fd" % pid)),
            "threads": int(fixture.proc_status_field(pid, "Threads") or 0),
            "xwindows": self.x_windows(),
        }

    def close(self):
        if self.browser.proc.poll() is None:
            self.browser.send("QUIT;")
            try:
                self.browser.read_to_eof()
                self.browser.wait_exit()
            except Exception:
                pass
        self.browser.close()
        self.server.stop()


def slope(points):
    """Theil-Sen slope of (x, y) points: the median of the slopes between every two of them,
    which a few samples caught before the renderer's garbage collection cannot tilt the way
    they tilt a least-squares line. 0 with fewer than two points."""
    slopes = sorted((b[1] - a[1]) / (b[0] - a[0])
                    for i, a in enumerate(points) for b in points[i + 1:] if b[0] != a[0])
    if not slopes:
        return 0.0
    mid = len(slopes) // 2
    return slopes[mid] if len(slopes) % 2 else (slopes[mid - 1] + slopes[mid]) / 2


def run(display, steps, sample_every, seed, warmup, idle=20.0, browser_args=(), out=print):
    """Runs the soak and returns (samples as (step, dict) pairs, summary dict)."""
    soak = Soak(display, seed, browser_args)
    samples = []
    try:
        for i in range(steps + 1):
            if i % sample_every == 0 or i == steps:
                soak.settle(idle)
                s = soak.sample()
                samples.append((i, s))
                out("sample step=%d pss_mib=%.1f pss_machine_mib=%.1f procs=%d fds=%d "
                    "threads=%d xwindows=%d stalls=%d dropped_failures=%d %s" % (
                        i, s["pss_mib"], s["pss_machine_mib"], s["procs"], s["fds"],
                        s["threads"], s["xwindows"], soak.stalls, soak.dropped_failures,
                        " ".join("%s_mib=%.1f" % kv for kv in sorted(s["by_kind"].items()))))
            if i < steps:
                soak.step()
            if soak.browser.proc.poll() is not None:
                raise AssertionError("the browser ended at step %d; stderr:\n%s" %
                                     (i, soak.browser.stderr()[-3000:]))
    finally:
        soak.close()
    warm = [(i, s) for i, s in samples if i >= warmup] or samples[-1:]
    summary = {
        "steps": steps,
        "pss_first_mib": warm[0][1]["pss_mib"],
        "pss_last_mib": warm[-1][1]["pss_mib"],
        "growth_per_1000_steps_mib": 1000 * slope([(i, s["pss_mib"]) for i, s in warm]),
        "browser_growth_per_1000_steps_mib": 1000 * slope(
            [(i, s["by_kind"].get("browser", 0)) for i, s in warm]),
        "fds_first": warm[0][1]["fds"],
        "fds_last": warm[-1][1]["fds"],
        "procs_max": max(s["procs"] for _, s in samples),
        # The other counts that must stay flat, first and last warm sample.
        "flat": " ".join("%s_first=%d %s_last=%d" % (k, warm[0][1][k], k, warm[-1][1][k])
                         for k in ("threads", "procs", "xwindows")),
        "stalls": soak.stalls,
        "dropped_failures": soak.dropped_failures,
    }
    return samples, summary


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--steps", type=int, default=1200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sample-every", type=int, default=200)
    ap.add_argument("--idle", type=float, default=20.0,
                    help="seconds of quiet before each sample (default 20)")
    ap.add_argument("--warmup", type=int, default=None,
                    help="steps before the samples that count (default: 10%% of the run)")
    ap.add_argument("browser_args", nargs="*", help="switches for the browser, after --")
    args = ap.parse_args()
    warmup = args.warmup if args.warmup is not None else args.steps // 10
    display = fixture.Display().start()
    t0 = time.monotonic()
    try:
        _, summary = run(display, args.steps, args.sample_every, args.seed, warmup, args.idle,
                         args.browser_args)
    finally:
        display.stop()
    print("soak steps=%d pss_first_mib=%.1f pss_last_mib=%.1f growth_per_1000_steps_mib=%.2f "
          "fds_first=%d fds_last=%d procs_max=%d" % (
              summary["steps"], summary["pss_first_mib"], summary["pss_last_mib"],
              summary["growth_per_1000_steps_mib"], summary["fds_first"], summary["fds_last"],
              summary["procs_max"]))
    print("soak_run seconds=%.0f %s stalls=%d dropped_failures=%d warmup_steps=%d "
          "browser_process_growth_per_1000_steps_mib=%.2f pss=%s" % (
              time.monotonic() - t0, summary["flat"], summary["stalls"],
              summary["dropped_failures"], warmup,
              summary["browser_growth_per_1000_steps_mib"],
        "alone" if memory.pss_alone_kib([os.getpid()]) else "machine"), file=sys.stderr)


if __name__ == "__main__":
    main()
