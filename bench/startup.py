#!/usr/bin/env python3
"""Start-up time and memory of the browser, beside Debian's headless chromium in the same run.

Start-up: median of 5 runs of spawn -> controller connected -> GETURL shows the default page,
against `chromium --headless ... --dump-dom <data: URL>` running to its exit.
Memory: summed PSS of trbrowser and its engine helper processes once the default page is
shown, per kind of process, also as PSS "alone" (bench/memory.py; as root).
Variants are measured too: "gl-compositing" forces the OpenGL compositing that the browser
leaves out by itself where the only OpenGL is a software one (the baseline of that choice);
engine switches show what start-up and memory can lose.

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
from fixture import Browser, Display, helper_kind  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import memory  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync"]
DATA_URL = "data:text/html;base64,PGh0bWw+PGJvZHk+aGk8L2JvZHk+PC9odG1sPg=="

VARIANTS = [
    ("default", [], {}),
    ("gl-compositing", [], {"QT_XCB_GL_INTEGRATION": "xcb_glx"}),
    ("renderer-limit", ["--renderer-process-limit=1"], {}),
    ("lean", ["--renderer-process-limit=1", "--disable-extensions", "--disable-gpu",
              "--disable-features=BackForwardCache,MediaRouter,Translate"], {}),
]


def one_start(display, extra, env):
    t0 = time.perf_counter()
    b = Browser(display, extra_args=extra, env=env)
    try:
        b.accept()
        b.wait_url(lambda u: u.startswith("data:text/html"), interval=0.005)
        elapsed = time.perf_counter() - t0
        time.sleep(1.0)  # let the helpers finish starting before reading their memory
        pids = memory.session_pids(b.proc.pid)
        pss = {p: memory.pss_kib(p) for p in pids}
        alone = memory.pss_alone_kib(pids) or {}
        kinds = {}
        for p in pids:
            kind = helper_kind(p, b.proc.pid) or "gone"
            kinds[kind] = kinds.get(kind, 0) + alone.get(p, 0)
        b.send("QUIT;")
        b.read_to_eof()
        b.wait_exit()
        return elapsed, sum(pss.values()), len(pids), sum(alone.values()), kinds
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
        results = {}
        for name, extra, env in VARIANTS:
            runs = [one_start(display, extra, env) for _ in range(args.runs)]
            ms = statistics.median(r[0] for r in runs) * 1000
            pss_mib = statistics.median(r[1] for r in runs) / 1024.0
            procs = statistics.median(r[2] for r in runs)
            line = "startup variant=%s ours_ms=%.0f pss_mib=%.1f processes=%d" % (
                name, ms, pss_mib, procs)
            # The run with the median alone figure, split by kind of process.
            mid = sorted(runs, key=lambda r: r[3])[len(runs) // 2]
            if mid[3]:
                line += " pss_alone_mib=%.1f (%s)" % (mid[3] / 1024.0, " ".join(
                    "%s=%.1f" % (k, v / 1024.0) for k, v in sorted(mid[4].items())))
            results[name] = (ms, mid[3] or pss_mib * 1024)
            if chromium_ms:
                line += " chromium_dump_dom_ms=%.0f ratio=%.2f" % (chromium_ms, ms / chromium_ms)
            else:
                line += " chromium_dump_dom_ms=unavailable"
            print(line, flush=True)
        soft, gl = results["default"], results["gl-compositing"]
        print("startup software_vs_gl_compositing ms_ratio=%.2f pss_ratio=%.2f" % (
            soft[0] / gl[0], soft[1] / gl[1]), flush=True)
    finally:
        display.stop()


if __name__ == "__main__":
    main()
