"""Security: a controller socket of another user is refused, the own scheme reaches the
desktop's opener as one argument without a shell, and the engine's sandbox is on for a
browser that does not run as root.
"""

import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import unittest

import stress_support as ss
from stress_support import fixture

display = None
server = None

# Every character a shell would act on; none of them may reach one.
HOSTILE_TAIL = "a;b$(touch${IFS}%s)`touch${IFS}%s`'q'\"dq\"&&|<>*?"


def setUpModule():
    global display, server
    ss.become_subreaper()
    display = fixture.Display().start()
    server = fixture.PageServer()


def tearDownModule():
    if server:
        server.stop()
    if display:
        display.stop()


def nobody():
    return pwd.getpwnam("nobody")


def userns_allowed():
    """Whether an unprivileged user can create a user namespace here."""
    r = subprocess.run(["runuser", "-u", "nobody", "--", "unshare", "-U", "true"],
                       capture_output=True)
    return r.returncode == 0


def make_opener_stub(directory):
    """An xdg-open that records how many arguments it got and the first one, byte for byte.
    Each record is written aside and renamed into place, arg1 last, so that a reader that
    sees arg1 sees both whole."""
    bindir = os.path.join(directory, "bin")
    os.makedirs(bindir)
    stub = os.path.join(bindir, "xdg-open")
    with open(stub, "w") as f:
        f.write("#!/bin/sh\ncd '%s' || exit 1\n"
                "printf '%%s' \"$#\" > count.new && mv count.new count\n"
                "printf '%%s' \"$1\" > arg1.new && mv arg1.new arg1\n" % directory)
    os.chmod(stub, 0o755)
    return bindir


@unittest.skipUnless(os.geteuid() == 0, "needs root to run a listener as another user")
class ForeignController(unittest.TestCase):
    def test_socket_of_another_user_is_refused(self):
        work = tempfile.mkdtemp(prefix="trb-foreign-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o777)
        path = os.path.join(work, "ctl.sock")
        record = os.path.join(work, "record")
        # The listener runs as nobody, offers commands to whoever connects and records what
        # comes back.
        listener = subprocess.Popen(
            ["runuser", "-u", "nobody", "--", "python3", "-c", (
                "import socket,sys\n"
                "s=socket.socket(socket.AF_UNIX);s.bind(sys.argv[1]);s.listen(1)\n"
                "open(sys.argv[2]+'.ready','w').close()\n"
                "c,_=s.accept();c.settimeout(10)\n"
                "d=b''\n"
                "try:\n"
                "  c.sendall(b'SHOW;ISHIDDEN;GETURL;')\n"
                "  while True:\n"
                "    x=c.recv(4096)\n"
                "    if not x: break\n"
                "    d+=x\n"
                "except Exception: pass\n"
                "open(sys.argv[2],'wb').write(d)\n"), path, record])
        self.addCleanup(listener.kill)
        fixture.wait_for(lambda: os.path.exists(record + ".ready"), what="the listener")
        self.assertEqual(os.stat(path).st_uid, nobody().pw_uid)

        session = ss.Session(self, display, listen=False, extra_args=["--named-pipe=" + path])
        browser = session.browser
        fixture.wait_for(lambda: "not connecting" in browser.stderr(), what="the refusal")
        self.assertEqual(listener.wait(ss.EXIT_TIMEOUT), 0)
        with open(record, "rb") as f:
            self.assertEqual(f.read(), b"", "the browser answered a foreign controller")
        line = [l for l in browser.stderr().splitlines() if "not connecting" in l]
        self.assertEqual(len(line), 1, browser.stderr())
        self.assertIn("uid %d" % nobody().pw_uid, line[0])
        # Never shown: SHOW was not obeyed.
        browser.main_window()
        self.assertEqual(browser.windows(visible_only=True), [])
        self.assertIsNone(browser.proc.poll())


class OwnSchemeHandOff(unittest.TestCase):
    def test_url_reaches_the_opener_as_one_argument(self):
        work = tempfile.mkdtemp(prefix="trb-opener-")
        self.addCleanup(shutil.rmtree, work, True)
        bindir = make_opener_stub(work)
        marker = os.path.join(work, "pwned")
        env = {"PATH": bindir + os.pathsep + os.environ.get("PATH", "")}
        # By LOAD (no ';' or blanks can travel in a command) and by a link on a page.
        loaded = "tavrin:" + HOSTILE_TAIL.replace(";", ",") % (marker, marker)
        # The engine's URL parser percent-encodes { } " < > in a link; the rest stays raw.
        clicked = "tavrin:a;b$(touch$IFS%s)`touch$IFS%s`'q'&&|*?" % (marker, marker)
        server.html("/link", "<html><body><a id=l href='%s'>x</a><script>"
                    "document.getElementById('l').click();</script></body></html>"
                    % clicked.replace("'", "&#39;").replace("&&", "&amp;&amp;"))
        # The engine hands over its own form of a link's URL, with ` and | percent-encoded.
        clicked_as_parsed = clicked.replace("`", "%60").replace("|", "%7C")
        for how, url in (("LOAD", loaded), ("link", clicked_as_parsed)):
            with self.subTest(how=how):
                for name in ("count", "arg1"):
                    if os.path.exists(os.path.join(work, name)):
                        os.remove(os.path.join(work, name))
                session = ss.Session(self, display, env=env)
                browser = session.connect()
                if how == "LOAD":
                    browser.send("LOAD %s;" % url)
                else:
                    browser.send("LOAD %s;" % server.url("/link"))
                fixture.wait_for(lambda: os.path.exists(os.path.join(work, "arg1")),
                                 what="the opener stub")
                with open(os.path.join(work, "count")) as f:
                    self.assertEqual(f.read(), "1")
                with open(os.path.join(work, "arg1"), "rb") as f:
                    self.assertEqual(f.read(), url.encode())
                self.assertFalse(os.path.exists(marker), "a shell ran the URL")
                browser.send("QUIT;")
                session.assert_exit0()


class Sandbox(unittest.TestCase):
    def test_root_needs_no_sandbox_switch(self):
        if os.geteuid() != 0:
            self.skipTest("not root")
        proc = subprocess.run([fixture.browser_path()], env=display.env(), capture_output=True,
                              timeout=ss.EXIT_TIMEOUT)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"--no-sandbox", proc.stderr)

    def test_sandbox_is_on_for_an_unprivileged_user(self):
        if os.geteuid() != 0:
            self.skipTest("runs the browser as nobody, which needs root")
        if not userns_allowed():
            self.skipTest("this machine refuses unprivileged user namespaces: Chromium's "
                          "sandbox cannot start for an ordinary user here")
        work = tempfile.mkdtemp(prefix="trb-sandbox-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o755)
        home = os.path.join(work, "home")
        os.makedirs(home)
        os.chown(home, nobody().pw_uid, nobody().pw_gid)
        os.chmod(home, 0o700)
        path = os.path.join(work, "ctl.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        os.chmod(path, 0o777)
        listener.listen(1)
        self.addCleanup(listener.close)
        env = dict(display.env(), HOME=home, XDG_RUNTIME_DIR=home, XDG_CACHE_HOME=home)
        proc = subprocess.Popen(
            ["runuser", "-u", "nobody", "--", "env"] + ["%s=%s" % kv for kv in env.items()] +
            [fixture.browser_path(), "--named-pipe=" + path],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)

        def kill():
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait(10)
        self.addCleanup(kill)
        listener.settimeout(60)
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        conn.sendall(("LOAD %s;" % server.url("/")).encode())
        browser_pid = proc.pid
        fixture.wait_for(lambda: ss.descendants(proc.pid), what="the browser process")
        for pid in [proc.pid] + ss.descendants(proc.pid):
            if os.path.realpath("/proc/%d/exe" % pid) == os.path.realpath(fixture.browser_path()):
                browser_pid = pid
        found = fixture.wait_for(lambda: [p for p in ss.renderers(browser_pid)
                                          if ss.proc_status_field(p, "Seccomp") == "2"],
                                 what="a renderer under seccomp")
        for pid in found:
            own_ns = os.readlink("/proc/%d/ns/user" % pid) != os.readlink(
                "/proc/%d/ns/user" % browser_pid)
            print("\nsandbox: renderer %d runs with Seccomp=%s, in its own user namespace: %s" %
                  (pid, ss.proc_status_field(pid, "Seccomp"), own_ns))
            self.assertTrue(own_ns)
        conn.sendall(b"QUIT;")
        self.assertEqual(proc.wait(ss.EXIT_TIMEOUT), 0, proc.stderr.read()[-2000:])


if __name__ == "__main__":
    unittest.main()
