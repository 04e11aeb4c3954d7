"""The one end-to-end fixture (e2e, stress, tool, bench): display, pages, real trbrowser. Stdlib."""

import base64, ctypes, http.server, json, os, pathlib, re, shutil, signal, socket, subprocess
import tempfile, threading, time, urllib.parse
from contextlib import suppress

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_TIMEOUT = 30.0
GEOMETRY = re.compile(r"GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+")
# The engine's harmless start-up lines: a GPU command buffer asked for early (QTBUG-82423), and
# a widget message rejected when it is stopped while its processes are still starting up.
ENGINE_START_RACE = re.compile(
    r"^\[[\d:/.]+:ERROR:(command_buffer_proxy_impl\.cc\(\d+\)\] ContextResult::kTransientFailure: "
    r"Failed to send GpuControl\.CreateCommandBuffer\.|interface_endpoint_client\.cc\(\d+\)\] "
    r"Message \d+ rejected by interface blink\.mojom\.Widget)$")
def browser_path():
    return os.environ.get("TRBROWSER_BIN") or os.path.join(REPO, "build", "trbrowser")
def wait_for(predicate, timeout=DEFAULT_TIMEOUT, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout  # what: a text, or a function giving one at the end
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + (what() if callable(what) else what))
        time.sleep(interval)
    return value
def until(act, done, what, tries=45):
    """act() until done() within 2 s of it: the window manager drops what it is not ready for."""
    for _ in range(tries):
        act()
        with suppress(AssertionError):
            return wait_for(done, timeout=2, what=what)
    raise AssertionError("timed out waiting for " + what)
def noise(stderr):
    return [line for line in stderr.splitlines() if not ENGINE_START_RACE.match(line)]
def proc_status_field(pid, name):
    with suppress(OSError), open("/proc/%d/status" % pid) as f:
        return next((l.split(":", 1)[1].strip() for l in f if l.startswith(name + ":")), None)
def proc_stat(pid):  # (state, ppid, session id), or None once gone
    with suppress(OSError, IndexError), open("/proc/%d/stat" % pid) as f:
        rest = f.read().rsplit(")", 1)[1].split()
        return rest[0], int(rest[1]), int(rest[3])
def all_stats(): return [(int(p), proc_stat(int(p))) for p in os.listdir("/proc") if p.isdigit()]
def descendants(root, stats=None):
    stats = stats or all_stats()
    kids = [p for p, st in stats if st and st[1] == root and st[0] != "Z"]
    return kids + [d for k in kids for d in descendants(k, stats)]
def helper_kind(pid, browser_pid):
    """browser, renderer, zygote, zygote-unsandboxed, utility:NAME, gpu, other (None: gone)."""
    if pid == browser_pid:
        return "browser"
    try:
        args = pathlib.Path("/proc/%d/cmdline" % pid).read_text("utf-8", "replace").split("\0")
    except OSError:
        return None
    kind = next((a[7:] for a in args if a.startswith("--type=")), "other")
    sub = [a.split(".")[-1] for a in args if a.startswith("--utility-sub-type=")]
    if kind == "zygote" and (proc_stat(pid) or (0, 0))[1] == browser_pid:
        return "zygote-unsandboxed" if "--no-zygote-sandbox" in args else "zygote"
    if kind == "zygote":  # a renderer keeps its zygote's command line; a zygote has one thread
        return "renderer" if int(proc_status_field(pid, "Threads") or 1) > 1 else "zygote"
    return "utility:" + (sub or ["unknown"])[0] if kind == "utility" else kind
def helpers(browser_pid, kind):
    return [p for p in descendants(browser_pid) if helper_kind(p, browser_pid) == kind]
def become_subreaper():  # helpers orphaned by a dead browser come here, so a leftover is seen
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
def page_text(url):  # the text of a generated (base64 data:) page; '' for any other URL
    return base64.b64decode(urllib.parse.unquote(url[22:])).decode("utf-8", "replace") if (
        url.startswith("data:text/html;base64,")) else ""
def html(title, body="", style="margin:0"):
    return "<html><head><title>%s</title></head><body style='%s'>%s</body></html>" % (
        title, style, body)
def read_lines(path):
    return pathlib.Path(path).read_text().splitlines() if os.path.exists(path) else []
def unix_listener(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(path), s.listen(1)
    return s
def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

class Display:  # a private Xvfb with openbox, or DISPLAY when not empty (ctest empties it)
    def __init__(self): self.procs, self.name = [], os.environ.get("DISPLAY")
    def start(self):
        if self.name:
            return self
        read_fd, write_fd = os.pipe()  # Xvfb picks a free number and writes it here
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                            "1600x1200x24", "-nolisten", "tcp"],
                                           pass_fds=(write_fd,), **quiet))
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            self.name = ":" + f.readline().strip()
        for _ in range(5):  # openbox now and then exits at start-up without a word
            wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env(), **quiet)
            wait_for(lambda: wm.poll() is not None or "window id" in subprocess.run(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env(),
                capture_output=True, text=True).stdout, what="openbox")
            if wm.poll() is None:
                self.procs.append(wm)
                return self
        raise RuntimeError("openbox did not start")
    def env(self): return dict(os.environ, DISPLAY=self.name)
    def stop(self): [(proc.kill(), proc.wait()) for proc in reversed(self.procs)]

class PageServer:  # pages: path to (status, headers, body) or a function of the request to one
    def __init__(self):
        self.pages, self.requests, server = {}, [], self
        class Handler(http.server.BaseHTTPRequestHandler):
            log_message = lambda self, *args: None  # noqa: E731
            def do_GET(self):  # noqa: N802
                server.requests.append(self.path)
                page = server.pages.get(self.path.split("?")[0],
                                        (404, {}, "<title>Not here</title>"))
                status, headers, body = page(self) if callable(page) else page
                body = body.encode() if isinstance(body, str) else body
                self.send_response(status)
                for item in dict({"Content-Type": "text/html", "Content-Length": len(body)},
                                 **headers).items():
                    self.send_header(*item)
                self.end_headers()
                self.wfile.write(body)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.handle_error = lambda *args: None  # a browser that went away mid-reply
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
    def url(self, path="/", host="127.0.0.1"): return "http://%s:%d%s" % (host, self.port, path)
    def html(self, path, body): self.pages[path] = (200, {}, body)
    def stop(self): self.httpd.shutdown(), self.httpd.server_close()

class Reader(threading.Thread):  # reads a connection to its end in the background
    def __init__(self, conn):
        super().__init__(daemon=True)
        self.conn, self.chunks, self.done = conn, [], threading.Event()
        conn.settimeout(None)  # here, not in run(): a send of ours may be under way then
        self.start()
    def run(self):
        with suppress(OSError):
            self.chunks += iter(lambda: self.conn.recv(1 << 16), b"")
        self.done.set()
    def data(self): return b"".join(self.chunks)

class Events:  # the events socket, controller side; nobody reads it before read()
    def __init__(self, directory):
        self.path = os.path.join(directory, "events.sock")
        self.listener = unix_listener(self.path)
        self.conn, self.events, self.arrivals, self.cursor = None, [], [], 0
        self.ended, self.changed = False, threading.Condition()
    def read(self):
        threading.Thread(target=self._run, daemon=True).start()
        return self
    def _run(self):
        buf, chunk = b"", True
        while chunk:
            chunk = b""
            with suppress(OSError):
                chunk = self.conn.recv(1 << 16)
            *lines, buf = (buf + chunk).split(b"\n")
            with self.changed:
                self.events += [json.loads(line) for line in lines]  # each line is JSON
                self.arrivals += [time.perf_counter()] * len(lines)
                self.ended = not chunk
                self.changed.notify_all()
    def wait(self, match, timeout=DEFAULT_TIMEOUT, what=None):
        """The first event past the cursor with match's items (or match(e)); moves past it."""
        test = match if callable(match) else lambda e: all(e.get(k) == v for k, v in match.items())
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(self.cursor, len(self.events)):
                    if test(self.events[i]):
                        self.cursor = i + 1
                        return self.events[i]
                if deadline < time.monotonic() or self.ended:
                    raise AssertionError("no event %s; since the last one taken: %r"
                                         % (what or match, self.events[self.cursor:]))
                self.changed.wait(deadline - time.monotonic())

class Browser:  # trbrowser on our controller socket (or none), events socket; env: None removes
    def __init__(self, display, extra_args=(), listen=True, env=None, events=False):
        self.display, self.conn, self.dir = display, None, tempfile.mkdtemp(prefix="trb-e2e-")
        self.sock_path, self.stderr_path = self.dir + "/ctl.sock", self.dir + "/stderr"
        self.events = events and Events(self.dir)
        self.listener = listen and unix_listener(self.sock_path)
        args = [browser_path(), "--no-sandbox", "--named-pipe=" + self.sock_path] + (
            ["--events-pipe=" + self.events.path] if events else []) + list(extra_args)
        env = {k: v for k, v in dict(display.env(), **(env or {})).items() if v is not None}
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(args, env=env, stderr=err, stdout=subprocess.DEVNULL,
                                         start_new_session=True)
    def accept(self, timeout=60):
        for side in [self.events, self] if self.events else [self]:
            side.listener.settimeout(timeout)
            try:
                side.conn = side.listener.accept()[0]
            except socket.timeout:
                raise AssertionError("browser did not connect; stderr:\n" + self.stderr())
        self.conn.settimeout(DEFAULT_TIMEOUT)
        return self
    def ready(self):  # connected and on the default page: commands act on the main browser
        self.accept().wait_url(lambda u: u.startswith("data:text/html"), what="default page")
        return self
    def send(self, text): self.conn.sendall(text.encode() if isinstance(text, str) else text)
    def read_exact(self, n, timeout=DEFAULT_TIMEOUT):
        self.conn.settimeout(timeout)
        data = b""
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            assert chunk, "closed after %r" % data
            data += chunk
        return data
    def read_to_eof(self, timeout=DEFAULT_TIMEOUT):
        self.conn.settimeout(timeout)
        data = []
        with suppress(ConnectionResetError):  # closed with commands of ours unread
            data += iter(lambda: self.conn.recv(1 << 16), b"")
        return b"".join(data)
    def ishidden(self):
        self.send("ISHIDDEN;")
        reply = self.read_exact(10)
        assert reply in (b"ISHIDDEN 0", b"ISHIDDEN 1"), reply
        return reply == b"ISHIDDEN 1"
    def geturl(self):
        self.send("GETURL;ISHIDDEN;")  # the URL has no terminator: ISHIDDEN's reply ends it
        data = self.read_exact(7)
        while not re.search(rb"^GETURL .*ISHIDDEN [01]$", data, re.S):
            data += self.read_exact(1)
        return data[7:-10].decode("utf-8")
    def wait_url(self, predicate, timeout=DEFAULT_TIMEOUT, what="URL", interval=0.1):
        last = []
        return wait_for(lambda: last.append(self.geturl()) or predicate(last[-1]) and last[-1],
                        timeout, interval, lambda: "%s; last URL %r" % (what, last[-1:]))
    def quit(self):  # QUIT: the final report is the last thing on the pipe; exit 0
        self.send("QUIT;")
        data = self.read_to_eof().decode()
        assert GEOMETRY.fullmatch(re.sub(r"^(ISHIDDEN [01])*", "", data)), data
        assert self.wait_exit() == 0, self.stderr()[-2000:]
    def wait_exit(self, timeout=DEFAULT_TIMEOUT): return self.proc.wait(timeout)
    def stderr(self): return pathlib.Path(self.stderr_path).read_bytes().decode("utf-8", "replace")
    def helpers(self, kind): return helpers(self.proc.pid, kind)
    def left_behind(self):  # live processes of the browser's session; our orphans are reaped
        stats = all_stats()
        [os.waitpid(p, os.WNOHANG) for p, st in stats if st == ("Z", os.getpid(), self.proc.pid)]
        return [p for p, st in stats if st and st[0] != "Z" and st[2] == self.proc.pid]
    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL), self.proc.wait()
        for s in [self.conn, self.listener] + [self.events and self.events.conn,
                                               self.events and self.events.listener]:
            s and s.close()
        shutil.rmtree(self.dir, ignore_errors=True)
    def x(self, *args):
        return subprocess.run([str(a) for a in args], env=self.display.env(),
                              capture_output=True, text=True).stdout
    def windows(self, title=None, visible_only=False):  # top-level, by _NET_WM_PID
        ids = self.x("xdotool", "search", *["--onlyvisible"] * visible_only, "--pid", self.proc.pid)
        return [int(w) for w in ids.split() if title is None or self.title(w) == title]
    def title(self, wid):
        value = self.x("xprop", "-id", wid, "-notype", "_NET_WM_NAME").partition("=")[2].strip()
        return value[1:-1].replace('\\"', '"').replace("\\\\", "\\") if value else None
    def main_window(self, timeout=DEFAULT_TIMEOUT):  # the one with WM_CLASS
        return wait_for(lambda: next((w for w in self.windows() if "WM_CLASS(" in self.x(
            "xprop", "-id", w, "WM_CLASS")), None), timeout=timeout, what="main window")
    def wm_close_until(self, window, done, what):  # window: an id, or a function giving one
        return until(lambda: self.x("wmctrl", "-i", "-c", hex(
            window() if callable(window) else window)), done, what)
    def pixel(self, wid, x, y):  # as RRGGBB
        shot = subprocess.run(["import", "-window", hex(wid), "png:-"], env=self.display.env(),
                              capture_output=True, timeout=30).stdout  # bounded: it can hang
        out = subprocess.run(["convert", "png:-", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8",
                              "txt:-"], input=shot, capture_output=True, timeout=30).stdout
        match = re.search(r"#([0-9A-F]{6})\b", out.decode().upper())
        return match and match.group(1)
