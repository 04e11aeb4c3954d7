#!/usr/bin/env python3
"""Start-up time and memory of the browser, beside Debian's headless chromium in the same run.

Start-up: median of 5 runs of spawn -> controller connected -> GETURL shows the default page,
against `chromium --headless ... --dump-dom <data: URL>` running to its exit.
Memory: summed PSS (/proc/PID/smaps_rollup) of trbrowser and its engine helper processes once
the default page is shown.
Engine switch variants are measured too, to see what start-up and memory can lose.

Usage: bench/startup.py [--runs 5]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from fixture import Browser, Display  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync"]
DATA_URL = "data:text/html;base64,PGh0bWw+PGJvZHk+aGk8L2JvZHk+PC9odG1sPg=="

VARIANTS = [
    ("default", []),
    ("renderer-limit", ["--renderer-process-limit=1"]),
    ("lean", ["--renderer-process-limit=1", "--disable-extensions", "--disable-gpu",
              "--disable-features=BackForwardCache,MediaRouter,Translate"]),
]


def pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def session_pids(sid):
    """Every process of the session the browser leads (it and the engine's helpers)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[3]) == sid:  # fields[3] is the session id
                pids.append(int(entry))
        except (OSError, IndexError, ValueError):
            continue
    return pids


def one_start(display, extra):
    t0 = time.perf_counter()
    b = Browser(display, extra_args=extra)
    try:
        b.accept()
        b.wait_url(lambda u: u.startswith("data:text/html"), interval=0.005)
        elapsed = time.perf_counter() - t0
        time.sleep(1.0)  # let the helpers finish starting before reading their memory
        pids = session_pids(b.proc.pid)
        pss = sum(pss_kib(p) for p in pids)
        b.send("QUIT;")
        b.read_to_eof()
        b.wait_exit()
        return elapsed, pss, len(pids)
    finally:
        b.close()


def chromium_start():
    chromium = shutil.which("chromium")
    if chromium is None:
        return None
    profile = tempfile.mkdtemp()
    try:
        t0 = time.perf_counter()
        subprocess.run([chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile, "--dump-dom",
                                                      DATA_URL],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        return time.perf_counter() - t0
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    display = Display().start()
    try:
        chromium = [chromium_start() for _ in range(args.runs)]
        chromium_ms = (statistics.median(chromium) * 1000) if None not in chromium else None
        for name, extra in VARIANTS:
            runs = [one_start(display, extra) for _ in range(args.runs)]
            ms = statistics.median(r[0] for r in runs) * 1000
            pss_mib = statistics.median(r[1] for r in runs) / 1024.0
            procs = statistics.median(r[2] for r in runs)
            line = "startup variant=%s ours_ms=%.0f pss_mib=%.1f processes=%d" % (
                name, ms, pss_mib, procs)
            if chromium_ms:
                line += " chromium_dump_dom_ms=%.0f ratio=%.2f" % (chromium_ms, ms / chromium_ms)
            else:
                line += " chromium_dump_dom_ms=unavailable"
            print(line, flush=True)
    finally:
        display.stop()


if __name__ == "__main__":
    main()
