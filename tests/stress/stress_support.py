"""Shared pieces of the stress, fault and security tests: the end-to-end fixture (imported,
not copied), process-tree inspection through /proc, and the cycle counts.

Counts: the defaults keep the whole suite within about five minutes on two cores: 50
controller deaths of each kind, 100 window-burst cycles, a 50 MB flood. Set
TRBROWSER_STRESS_FULL=1 for 500 window-burst cycles, or a single count with the variables
named in each test.
"""

import ctypes
import os
import re
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

import fixture  # noqa: E402  (the end-to-end fixture, reused as it is)

FULL = os.environ.get("TRBROWSER_STRESS_FULL") == "1"
EXIT_TIMEOUT = 30.0  # the bounded wait for any exit or answer


def count(name, default, full):
    """A cycle count: $name, else the full count with TRBROWSER_STRESS_FULL=1, else default."""
    value = os.environ.get(name)
    if value:
        return int(value)
    return full if FULL else default


def become_subreaper():
    """Orphaned helpers of a browser that died are re-parented to this process instead of
    init, so that a helper left behind is seen here, and its zombie reaped here."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def proc_stat(pid):
    """(state, ppid, session id) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            data = f.read().decode("latin-1")
    except OSError:
        return None
    rest = data[data.rindex(")") + 2:].split()
    return rest[0], int(rest[1]), int(rest[3])


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return ""


def all_pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def session_members(sid):
    """Processes (zombies included) of a session; each browser runs in a session of its own."""
    members = []
    for pid in all_pids():
        st = proc_stat(pid)
        if st is not None and st[2] == sid:
            members.append((pid, st[0]))
    return members


def descendants(root):
    children = {}
    for pid in all_pids():
        st = proc_stat(pid)
        if st is not None:
            children.setdefault(st[1], []).append(pid)
    out, todo = [], [root]
    while todo:
        for c in children.get(todo.pop(), []):
            out.append(c)
            todo.append(c)
    return out


def helpers(browser_pid, kind):
    """The browser's helper processes of one kind (fixture.helper_kind)."""
    return [p for p in descendants(browser_pid) if fixture.helper_kind(p, browser_pid) == kind]


def renderers(browser_pid):
    return helpers(browser_pid, "renderer")


def reap_orphans(exclude=()):
    """Reaps zombies re-parented to this process (see become_subreaper)."""
    me = os.getpid()
    for pid in all_pids():
        st = proc_stat(pid)
        if st is not None and st[1] == me and st[0] == "Z" and pid not in exclude:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass


def assert_session_gone(test, sid, timeout=EXIT_TIMEOUT):
    """Every process of the browser's session ends (bounded wait): no helper outlives it."""
    deadline = time.monotonic() + timeout
    while True:
        reap_orphans(exclude=(sid,))
        left = [(p, s) for p, s in session_members(sid) if s != "Z"]
        if not left:
            return
        if time.monotonic() > deadline:
            test.fail("processes left behind by the browser: %r" %
                      [(p, s, cmdline(p)[:120]) for p, s in left])
        time.sleep(0.05)


proc_status_field = fixture.proc_status_field


def decoded(url):
    """The text a data: URL carries."""
    return fixture.decode_data_url(url).decode("utf-8", "replace")


def rss_kib(pid):
    value = proc_status_field(pid, "VmRSS")  # "<n> kB"
    return int(value.split()[0]) if value else None


GEOMETRY_RE = re.compile(rb"GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+")


Reader = fixture.Reader


class Session:
    """One browser under the shared display, with bounded waits and cleanup."""

    def __init__(self, test, display, **kwargs):
        self.test = test
        self.browser = fixture.Browser(display, **kwargs)
        test.addCleanup(self.browser.close)

    def connect(self):
        self.browser.accept()
        return self.browser

    def assert_exit0(self, timeout=EXIT_TIMEOUT):
        try:
            code = self.browser.wait_exit(timeout)
        except Exception:
            self.test.fail("browser did not exit within %.0f s; stderr:\n%s" %
                           (timeout, self.browser.stderr()[-2000:]))
        self.test.assertEqual(code, 0, self.browser.stderr()[-2000:])
        assert_session_gone(self.test, self.browser.proc.pid)


def hard_close(conn, reset):
    """The controller process dying: its socket closes, with a reset when data was unread."""
    if reset:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()
