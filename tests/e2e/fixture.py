"""Reusable end-to-end fixture: a display with a window manager, a controller socket, the
real trbrowser, test pages on 127.0.0.1 and window inspection through the X tools.

Standard library only. The display: DISPLAY from the environment when set, otherwise a
private Xvfb with openbox for the test run.
"""

import base64
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

DEFAULT_TIMEOUT = 30.0


def browser_path():
    """The trbrowser executable: $TRBROWSER_BIN, else the usual build directories."""
    env = os.environ.get("TRBROWSER_BIN")
    if env:
        return env
    for build in ("build", "build-app"):
        path = os.path.join(REPO, build, "trbrowser")
        if os.path.exists(path):
            return path
    raise RuntimeError("trbrowser not found: build it or set TRBROWSER_BIN")


def wait_for(predicate, timeout=DEFAULT_TIMEOUT, interval=0.05, what="condition"):
    """Polls until predicate() returns a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


def proc_status_field(pid, name):
    """The value of one field of /proc/<pid>/status, or None (no such field or process)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


# The one line the engine may print on a good start: Chromium's renderer asks for its first GPU
# command buffer while the engine's in-process GPU thread is still starting (Qt's bug
# QTBUG-82423, seen on most starts with Mesa's software GL), is told to try again, and does.
# Only turning GPU compositing off avoids it.
ENGINE_START_RACE = re.compile(
    r"^\[\d+:\d+:\d+/\d+\.\d+:ERROR:command_buffer_proxy_impl\.cc\(\d+\)\] "
    r"ContextResult::kTransientFailure: Failed to send GpuControl\.CreateCommandBuffer\.$")


def noise(stderr):
    """The lines of a browser's stderr that a quiet start must not have."""
    return [line for line in stderr.splitlines() if not ENGINE_START_RACE.match(line)]


def helper_kind(pid, browser_pid):
    """What an engine process of the browser is: "browser", "renderer", "zygote" (the one
    that forks renderers), "zygote-unsandboxed", "utility:NAME" (e.g. utility:AudioService),
    "gpu", "other", or None once it is gone."""
    if pid == browser_pid:
        return "browser"
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().decode("utf-8", "replace").split("\0")
        with open("/proc/%d/stat" % pid) as f:
            ppid = int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None
    kinds = [a[len("--type="):] for a in args if a.startswith("--type=")]
    if not kinds:
        return "other"
    if kinds[0] == "zygote":
        if ppid == browser_pid:
            return "zygote-unsandboxed" if "--no-zygote-sandbox" in args else "zygote"
        # A renderer forked by a zygote keeps the zygote's command line. The zygote runs one
        # thread, a renderer many (under the sandbox a zygote also sits below the browser's
        # child, which reaps for it).
        threads = proc_status_field(pid, "Threads")
        return "renderer" if threads and int(threads) > 1 else "zygote"
    if kinds[0] == "utility":
        sub = [a.split("=", 1)[1] for a in args if a.startswith("--utility-sub-type=")]
        return "utility:" + (sub[0].split(".")[-1] if sub else "unknown")
    return kinds[0]


def decode_data_url(url):
    """The bytes a base64 data: URL carries."""
    assert url.startswith("data:"), url
    head, _, payload = url.partition(",")
    assert head.endswith(";base64"), url
    return base64.b64decode(urllib.parse.unquote(payload))


# ---------------------------------------------------------------------------------------------
# Display


class Display:
    """DISPLAY from the environment, or a private Xvfb + openbox."""

    def __init__(self):
        self.procs = []
        self.name = os.environ.get("DISPLAY")
        self.owned = not self.name

    def start(self):
        if not self.owned:
            return self
        for tool in ("Xvfb", "openbox"):
            if shutil.which(tool) is None:
                raise RuntimeError(tool + " is needed for the end-to-end tests")
        # Xvfb picks a free display number itself and writes it to the pipe we hand it.
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1600x1200x24",
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self.procs.append(xvfb)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        # openbox announces itself through _NET_SUPPORTING_WM_CHECK on the root window. Now
        # and then it exits at start-up with status 1 and no message: a dead one is started
        # again.
        for attempt in range(5):
            wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            up = wait_for(lambda: wm.poll() is not None or
                          "window id" in self.xprop_root("_NET_SUPPORTING_WM_CHECK"),
                          timeout=15, what="openbox")
            if up and wm.poll() is None:
                self.procs.append(wm)
                return self
            wm.kill()
            wm.wait()
        self.stop()
        raise RuntimeError("openbox did not start")

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def xprop_root(self, prop):
        r = subprocess.run(["xprop", "-root", prop], env=self.env(), capture_output=True,
                           text=True)
        return r.stdout

    def stop(self):
        for proc in reversed(self.procs):
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
        self.procs = []


# ---------------------------------------------------------------------------------------------
# Pages on 127.0.0.1


class PageServer:
    """A loopback HTTP server. `pages` maps a path to (status, headers, body) or to a callable
    taking the handler and returning that tuple."""

    def __init__(self):
        self.pages = {}
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802 (http.server's name)
                path = self.path.split("?")[0]
                server.requests.append(self.path)
                page = server.pages.get(path)
                if callable(page):
                    page = page(self)
                if page is None:
                    page = (404, {"Content-Type": "text/html"}, b"<title>Not here</title>")
                status, headers, body = page
                if isinstance(body, str):
                    body = body.encode()
                self.send_response(status)
                for key, value in headers.items():
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path="/", host="127.0.0.1"):
        return "http://%s:%d%s" % (host, self.port, path)

    def html(self, path, body):
        self.pages[path] = (200, {"Content-Type": "text/html; charset=utf-8"}, body)

    def redirect(self, path, location):
        self.pages[path] = (302, {"Location": location}, b"")

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def closed_port():
    """A loopback port nobody listens on (connections are refused)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ---------------------------------------------------------------------------------------------
# The browser and its controller


class Reader(threading.Thread):
    """Reads a connection to its end in the background, keeping everything it got."""

    def __init__(self, conn):
        super().__init__(daemon=True)
        self.conn = conn
        self.chunks = []
        self.size = 0
        self.done = threading.Event()

    def run(self):
        self.conn.settimeout(None)
        try:
            while True:
                chunk = self.conn.recv(1 << 16)
                if not chunk:
                    break
                self.chunks.append(chunk)
                self.size += len(chunk)
        except OSError:
            pass
        self.done.set()

    def data(self):
        return b"".join(self.chunks)


class Events:
    """The browser's events socket, controller side: listens before the browser starts, then
    collects the JSON events it writes, one per line, in a background reader (started by
    read(); until then nobody reads, as with a controller that has stalled)."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "events.sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.conn = None
        self.events = []  # every event so far, parsed
        self.arrivals = []  # time.perf_counter() when each event had arrived
        self.cursor = 0   # wait() looks at events from here on
        self.ended = False
        self.changed = threading.Condition()

    def accept(self, timeout=60):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        return self

    def read(self):
        threading.Thread(target=self._run, daemon=True).start()
        return self

    def _run(self):
        buf = b""
        while True:
            try:
                chunk = self.conn.recv(1 << 16)
            except OSError:
                chunk = b""
            now = time.perf_counter()
            buf += chunk
            *lines, buf = buf.split(b"\n")
            with self.changed:
                # Every line must be JSON: a line that is not fails the test that reads it.
                self.events += [json.loads(line) for line in lines]
                self.arrivals += [now] * len(lines)
                self.ended = not chunk
                self.changed.notify_all()
            if not chunk:
                return

    def wait(self, match, timeout=DEFAULT_TIMEOUT, what=None):
        """The first event from the cursor on for which match(event) holds (a dict matches
        an event that has all its items); the cursor moves past it."""
        test = match if callable(match) else lambda e: all(e.get(k) == v for k, v in match.items())
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(self.cursor, len(self.events)):
                    if test(self.events[i]):
                        self.cursor = i + 1
                        return self.events[i]
                left = deadline - time.monotonic()
                if left <= 0 or self.ended:
                    raise AssertionError("no event %s; events since the last one taken: %r"
                                         % (what or match, self.events[self.cursor:]))
                self.changed.wait(left)

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()


class Browser:
    """One trbrowser process with a controller socket it connects to, and with events=True
    an events socket too (`self.events`)."""

    def __init__(self, display, extra_args=(), listen=True, env=None, workdir=None,
                 events=False):
        self.display = display
        self.dir = workdir or tempfile.mkdtemp(prefix="trb-e2e-")
        self.sock_path = os.path.join(self.dir, "ctl.sock")
        self.listener = None
        self.conn = None
        self.events = Events(self.dir) if events else None
        if listen:
            self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.listener.bind(self.sock_path)
            self.listener.listen(1)
        args = [browser_path(), "--no-sandbox", "--named-pipe=" + self.sock_path]
        if self.events:
            args.append("--events-pipe=" + self.events.path)
        args += list(extra_args)
        run_env = display.env()
        run_env.update(env or {})
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.stderr_file = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(args, env=run_env, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr_file, start_new_session=True)

    # -- connection

    def accept(self, timeout=60):
        try:
            if self.events:
                self.events.accept(timeout)
            self.listener.settimeout(timeout)
            self.conn, _ = self.listener.accept()
        except socket.timeout:
            raise AssertionError("browser did not connect; stderr:\n" + self.stderr())
        self.conn.settimeout(DEFAULT_TIMEOUT)
        return self

    def send(self, text):
        self.conn.sendall(text.encode())

    def read_exact(self, n, timeout=DEFAULT_TIMEOUT):
        self.conn.settimeout(timeout)
        data = b""
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                raise AssertionError("connection closed after %r" % data)
            data += chunk
        return data

    def read_prefix_then_until_idle(self, prefix, idle=0.3, timeout=DEFAULT_TIMEOUT):
        """Reads a reply that starts with `prefix` and has no terminator: everything that
        arrives until the sender has been quiet for `idle` seconds."""
        data = self.read_exact(len(prefix), timeout)
        assert data == prefix.encode(), data
        self.conn.settimeout(idle)
        try:
            while True:
                chunk = self.conn.recv(65536)
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            pass
        self.conn.settimeout(DEFAULT_TIMEOUT)
        return data.decode("utf-8", "replace")

    def read_to_eof(self, timeout=DEFAULT_TIMEOUT):
        self.conn.settimeout(timeout)
        data = b""
        while True:
            try:
                chunk = self.conn.recv(65536)
            except ConnectionResetError:
                # The browser closed with commands of ours still unread: everything it wrote
                # has been read by now, the reset only stands for the end.
                return data
            if not chunk:
                return data
            data += chunk

    def ishidden(self):
        self.send("ISHIDDEN;")
        reply = self.read_exact(len("ISHIDDEN 0")).decode()
        assert reply in ("ISHIDDEN 0", "ISHIDDEN 1"), reply
        return reply == "ISHIDDEN 1"

    def geturl(self):
        """GETURL's reply. The URL has no terminator, so ISHIDDEN is sent behind it as a fence:
        its fixed-size reply marks where the URL ends."""
        self.send("GETURL;ISHIDDEN;")
        data = self.read_exact(len("GETURL "))
        assert data == b"GETURL ", data
        while not (data.endswith(b"ISHIDDEN 0") or data.endswith(b"ISHIDDEN 1")):
            data += self.read_exact(1)
        return data[len("GETURL "):-len("ISHIDDEN 0")].decode("utf-8")

    def wait_url(self, predicate, timeout=DEFAULT_TIMEOUT, what="URL", interval=0.1):
        last = [None]

        def check():
            last[0] = self.geturl()
            return predicate(last[0])

        try:
            wait_for(check, timeout=timeout, interval=interval, what=what)
        except AssertionError:
            raise AssertionError("timed out waiting for %s; last URL %r" % (what, last[0]))
        return last[0]

    # -- process

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def stderr(self):
        self.stderr_file.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=10)
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()
        if self.events:
            self.events.close()
        self.stderr_file.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- windows

    def x(self, *args):
        r = subprocess.run(list(args), env=self.display.env(), capture_output=True, text=True)
        return r.stdout

    def windows(self, title=None, visible_only=False):
        """X window ids of this process's top-level windows (by _NET_WM_PID), optionally with
        the given title."""
        cmd = ["xdotool", "search"]
        if visible_only:
            cmd.append("--onlyvisible")
        cmd += ["--pid", str(self.proc.pid)]
        ids = [int(w) for w in self.x(*cmd).split()]
        if title is not None:
            ids = [w for w in ids if self.title(w) == title]
        return ids

    def title(self, wid):
        out = self.x("xprop", "-id", str(wid), "-notype", "_NET_WM_NAME")
        if "=" not in out:
            return None
        value = out.split("=", 1)[1].strip()
        if value.startswith('"') and value.endswith('"'):
            value = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
        return value

    def main_window(self, timeout=DEFAULT_TIMEOUT):
        """The main window: the one with WM_CLASS and a title."""
        def find():
            for wid in self.windows():
                props = self.x("xprop", "-id", str(wid), "WM_CLASS", "_NET_WM_PID")
                if "WM_CLASS" in props and "not found" not in props.split("\n")[0]:
                    return wid
            return None
        return wait_for(find, timeout=timeout, what="main window")

    def wm_state(self, wid):
        return self.x("xprop", "-id", str(wid), "_NET_WM_STATE")

    def size_hints(self, wid):
        return self.x("xprop", "-id", str(wid), "WM_NORMAL_HINTS")

    def wm_close(self, wid):
        self.x("wmctrl", "-i", "-c", hex(wid))

    def wm_close_until(self, window, done, what):
        """Asks the window manager to close `window` (an id, or a function that looks it up
        afresh for each request) until done() holds. The window manager drops a request for
        a window it has not taken on yet, or that is briefly unmapped, so one request is not
        enough on a loaded machine."""
        deadline = time.monotonic() + 90
        while True:
            self.wm_close(window() if callable(window) else window)
            settle = time.monotonic() + 2
            while time.monotonic() < settle:
                if done():
                    return
                time.sleep(0.05)
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)

    def pixel(self, wid, x, y):
        """The colour at (x, y) of the window's contents, as RRGGBB."""
        # Bounded: given a window that has gone, import waits for a click on one.
        shot = subprocess.run(["import", "-window", hex(wid), "png:-"],
                              env=self.display.env(), capture_output=True, timeout=30).stdout
        out = subprocess.run(["convert", "png:-", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8",
                              "txt:-"], input=shot, capture_output=True, timeout=30).stdout.decode()
        match = re.search(r"#([0-9A-Fa-f]{6})\b", out)
        return match.group(1).upper() if match else None


def read_lines(path):
    """The lines of a stub's record; none while it does not exist yet."""
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def make_xdg_open_stub(directory, record_path):
    """An xdg-open stand-in that records its arguments, one per line."""
    bindir = os.path.join(directory, "bin")
    os.makedirs(bindir, exist_ok=True)
    stub = os.path.join(bindir, "xdg-open")
    with open(stub, "w") as f:
        f.write("#!/bin/sh\nfor a in \"$@\"; do printf '%%s\\n' \"$a\"; done >> '%s'\n"
                % record_path)
    os.chmod(stub, 0o755)
    return bindir
