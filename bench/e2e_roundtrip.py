#!/usr/bin/env python3
"""Round trip of ISHIDDEN and GETURL through the real browser, beside a raw Unix-socket echo
(the floor) and chromedriver's GET /url on Debian's chromium (a comparable remote-control
channel), all measured in this run on this machine.

Usage: bench/e2e_roundtrip.py [--n N] [--no-chromedriver]
Prints: e2e_roundtrip ours_p50_us=... ours_p99_us=... echo_p50_us=... chromedriver_p50_us=...
"""

import argparse
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from fixture import Browser, Display  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run"]


def percentile(samples, p):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def timed(fn, n, warmup=50):
    for _ in range(warmup):
        fn()
    out = []
    for _ in range(n):
        t0 = time.perf_counter_ns()
        fn()
        out.append((time.perf_counter_ns() - t0) / 1000.0)
    return out


def bench_ours(n):
    display = Display().start()
    browser = Browser(display)
    try:
        browser.accept()
        browser.wait_url(lambda u: u.startswith("data:"))
        conn = browser.conn
        expected_url = browser.geturl()
        reply_len = len("GETURL ") + len(expected_url.encode())

        def ishidden():
            conn.sendall(b"ISHIDDEN;")
            browser.read_exact(10)

        def geturl():
            conn.sendall(b"GETURL;")
            browser.read_exact(reply_len)

        return timed(ishidden, n), timed(geturl, n)
    finally:
        browser.close()
        display.stop()


def bench_echo(n):
    tmp = tempfile.mkdtemp()
    path = os.path.join(tmp, "echo.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)

    def serve():
        c, _ = listener.accept()
        while True:
            data = c.recv(4096)
            if not data:
                break
            c.sendall(b"ISHIDDEN 1")

    threading.Thread(target=serve, daemon=True).start()
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.connect(path)

    def once():
        client.sendall(b"ISHIDDEN;")
        got = 0
        while got < 10:
            got += len(client.recv(10 - got))

    try:
        return timed(once, n)
    finally:
        client.close()
        listener.close()
        shutil.rmtree(tmp, ignore_errors=True)


def ensure_chromedriver():
    if shutil.which("chromedriver") and shutil.which("chromium"):
        return True
    if os.geteuid() == 0 and shutil.which("apt-get"):
        subprocess.run(["apt-get", "install", "-y", "chromium", "chromium-driver"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return bool(shutil.which("chromedriver") and shutil.which("chromium"))


def bench_chromedriver(n):
    if not ensure_chromedriver():
        return None
    port_sock = socket.socket()
    port_sock.bind(("127.0.0.1", 0))
    port = port_sock.getsockname()[1]
    port_sock.close()
    driver = subprocess.Popen(["chromedriver", "--port=%d" % port],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    profile = tempfile.mkdtemp()
    try:
        deadline = time.time() + 20
        while True:
            try:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                c.request("GET", "/status")
                c.getresponse().read()
                break
            except OSError:
                if time.time() > deadline:
                    return None
                time.sleep(0.1)
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": shutil.which("chromium"),
            "args": CHROMIUM_FLAGS + ["--user-data-dir=" + profile]}}}}
        c.request("POST", "/session", json.dumps(caps), {"Content-Type": "application/json"})
        session = json.loads(c.getresponse().read())["value"]["sessionId"]

        def geturl():
            c.request("GET", "/session/%s/url" % session)
            c.getresponse().read()

        samples = timed(geturl, n)
        c.request("DELETE", "/session/" + session)
        c.getresponse().read()
        return samples
    finally:
        driver.terminate()
        driver.wait(timeout=10)
        shutil.rmtree(profile, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--no-chromedriver", action="store_true")
    args = ap.parse_args()

    ishidden, geturl = bench_ours(args.n)
    echo = bench_echo(args.n)
    cd = None if args.no_chromedriver else bench_chromedriver(min(args.n, 1000))
    echo_p50 = percentile(echo, 50)
    print("ISHIDDEN p50=%.1fus p99=%.1fus; GETURL p50=%.1fus p99=%.1fus; echo p50=%.1fus"
          % (percentile(ishidden, 50), percentile(ishidden, 99), percentile(geturl, 50),
             percentile(geturl, 99), echo_p50))
    ours = ishidden + geturl
    line = "e2e_roundtrip ours_p50_us=%.1f ours_p99_us=%.1f echo_p50_us=%.1f" % (
        percentile(ours, 50), percentile(ours, 99), echo_p50)
    if cd:
        line += " chromedriver_p50_us=%.1f" % percentile(cd, 50)
    else:
        line += " chromedriver_p50_us=unavailable"
    line += " ratio_ours_to_echo=%.2f" % (percentile(ours, 50) / echo_p50)
    if cd:
        line += " ratio_ours_to_chromedriver=%.3f" % (percentile(ours, 50) / percentile(cd, 50))
    print(line)


if __name__ == "__main__":
    main()
