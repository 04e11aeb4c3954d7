"""How the real browser starts and ends: its first window, without a display, a controller or
an events reader, signals, another user's controller, the sandbox, and Wayland sessions."""

import glob, os, pwd, re, shutil, signal, subprocess, tempfile, unittest

from fixture import Browser, Display, PageServer, browser_path, descendants, helpers, html, noise
from fixture import page_text, read_lines, wait_for
from fixture import proc_status_field as proc_field, unix_listener
from test_navigation import ICON_SIZES, icon_sizes

display = server = None

def setUpModule():
    global display, server
    display, server = Display().start(), PageServer()
    server.html("/green", html("Green", "", "background:#00ff00"))
    # Thousands of 2 kB titles, far beyond what the browser holds for a stalled reader.
    server.html("/title-flood", html("flood", "<script>let n = 0; const pad = 'x'.repeat(2000);"
                                     "function more() { for (let i = 0; i < 250; i++) document."
                                     "title = (n++) + ' ' + pad; if (n < 4000) setTimeout(more, 0);"
                                     " else document.title = 'flood done'; } more();</script>"))

def tearDownModule():
    server.stop()
    display.stop()

def software_gl(b):  # Mesa's software OpenGL libraries in the browser once it has painted
    b.send("SHOW;LOAD %s;" % server.url("/green"))
    wait_for(lambda: b.pixel(b.main_window(), 300, 300) == "00FF00", what="page painted")
    with open("/proc/%d/maps" % b.proc.pid) as f:
        return sorted({l.split()[-1] for l in f if "swrast_dri" in l or "libLLVM" in l})

def one_line_exit(test, env, args, word):
    r = subprocess.run([browser_path()] + args, env=env, capture_output=True, text=True,
                       timeout=60)
    test.assertEqual((r.returncode, len(r.stderr.strip().splitlines())), (1, 1), r.stderr)
    test.assertIn(word, r.stderr)

class LifecycleTest(unittest.TestCase):
    def browser(self, *args, **kwargs):
        b = Browser(display, args, **kwargs)
        self.addCleanup(b.close)
        return b

    def open_dir(self):  # one that the user nobody may use too
        work = tempfile.mkdtemp(prefix="trb-nobody-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o777)
        return work

    def test_starts_hidden_on_the_default_page_and_ends_on_sigterm(self):
        b = self.browser("--url=" + server.url("/green"), events=True).ready()
        b.events.conn.close()  # an events reader that leaves ends nothing
        self.assertIn("<title>Tavrin WebBrowser</title>", page_text(b.geturl()))  # not --url
        self.assertTrue(b.ishidden())
        wid = b.main_window()
        self.assertEqual((b.title(wid), b.windows(visible_only=True)), ("Tavrin WebBrowser", []))
        self.assertIn(str(b.proc.pid), b.x("xprop", "-id", wid, "_NET_WM_PID"))
        self.assertEqual(icon_sizes(b, wid), ICON_SIZES)
        gpu = glob.glob("/dev/dri/renderD*")
        if not gpu:  # software compositing without GL, pages still painted
            self.assertEqual(software_gl(b), [])
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual(b.wait_exit(), 0)
        self.assertEqual(noise(b.stderr()), [])
        if not gpu and glob.glob("/usr/lib/*/dri/swrast_dri.so"):  # the user's own setting wins
            other = self.browser(env={"QT_XCB_GL_INTEGRATION": "xcb_glx"}).ready()
            self.assertNotEqual(software_gl(other), [])

    def test_views_mode_without_an_events_reader(self):
        b = self.browser("--use-views", "--events-pipe=/nonexistent/events.sock").ready()
        wait_for(lambda: not b.ishidden(), what="visible at once")
        b.send("LOAD %s;" % server.url("/green"))
        wid = wait_for(lambda: b.windows(title="Green"), what="page title on the window")[0]
        self.assertEqual(b.stderr().count("nothing listens on the events pipe"), 1, b.stderr())
        b.wm_close_until(wid, lambda: b.proc.poll() is not None, what="exit on close")
        self.assertRegex(b.read_to_eof().decode(), "^GEOMETRY -?\\d+ -?\\d+ -?\\d+ -?\\d+$")
        self.assertEqual(b.wait_exit(), 0)

    def test_without_a_controller_runs_until_closed(self):
        b = self.browser("--use-views", listen=False)
        wait_for(lambda: b.windows(visible_only=True), what="views window")
        b.wm_close_until(b.main_window, lambda: b.proc.poll() is not None, what="exit on close")
        self.assertEqual(b.proc.returncode, 0)

    def test_sigterm_during_start_up_exits_0(self):
        b = self.browser(listen=False)
        # As soon as the process catches it, long before the toolkit, engine or pipe are up.
        wait_for(lambda: int(proc_field(b.proc.pid, "SigCgt") or "0", 16) & (1 << 14),
                 interval=0.001, what="SIGTERM caught")
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual(b.wait_exit(), 0, b.stderr())

    def test_no_display_or_root_without_no_sandbox_is_one_line(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY",
                                                                  "QT_QPA_PLATFORM")}
        one_line_exit(self, env, ["--no-sandbox"], "DISPLAY")
        if os.geteuid() == 0:
            env = {k: v for k, v in display.env().items() if "CHROMIUM" not in k and
                   "SANDBOX" not in k}
            one_line_exit(self, env, [], "--no-sandbox")

    def test_stalled_events_reader_stalls_nothing(self):
        b = self.browser(events=True).accept()  # and nothing read, for now
        b.send("SHOW;LOAD %s;" % server.url("/title-flood"))
        wait_for(lambda: b.windows(title="flood done"), timeout=120, what="the flood to end")
        self.assertFalse(b.ishidden())
        b.send("LOAD %s;" % server.url("/green"))
        b.wait_url(lambda u: u == server.url("/green"), what="a load while stalled")
        b.events.read()
        self.assertGreater(b.events.wait({"event": "dropped"})["count"], 0)
        b.events.wait({"event": "load", "url": server.url("/green")})
        numbers = [int(e["title"].split()[0]) for e in b.events.events
                   if e["event"] == "title" and re.match(r"\d+ x", e["title"])]
        self.assertTrue(numbers and numbers == sorted(numbers))  # what came, came in order
        b.quit()

    @unittest.skipUnless(os.geteuid() == 0, "needs root to be another user")
    def test_another_users_controller_is_refused(self):
        work = self.open_dir()
        path, record = os.path.join(work, "ctl.sock"), os.path.join(work, "record")
        listener = subprocess.Popen(["runuser", "-u", "nobody", "--", "python3", "-c",
                                     "import socket,sys\ns=socket.socket(socket.AF_UNIX)\n"
                                     "s.bind(sys.argv[1]);s.listen(1);c=s.accept()[0]\nd=b''\n"
                                     "try:\n c.settimeout(10);c.sendall(b'SHOW;ISHIDDEN;GETURL;')\n"
                                     " while x:=c.recv(4096): d+=x\nexcept OSError: pass\n"
                                     "open(sys.argv[2],'wb').write(d)", path, record])
        self.addCleanup(listener.kill)
        wait_for(lambda: os.path.exists(path), what="the listener")
        b = self.browser("--named-pipe=" + path, listen=False)
        wait_for(lambda: "not connecting" in b.stderr(), what="the refusal")
        self.assertEqual(listener.wait(30), 0)
        self.assertEqual(read_lines(record), [], "answered a foreign controller")
        self.assertIn("uid %d" % pwd.getpwnam("nobody").pw_uid, b.stderr())
        b.main_window()
        self.assertEqual(b.windows(visible_only=True), [])  # SHOW not obeyed
        self.assertIsNone(b.proc.poll())

    @unittest.skipUnless(os.geteuid() == 0, "runs the browser as nobody, which needs root")
    def test_sandbox_is_on_for_an_unprivileged_user(self):
        if subprocess.run(["runuser", "-u", "nobody", "--", "unshare", "-U", "true"]).returncode:
            self.skipTest("unprivileged user namespaces are refused here")
        work = self.open_dir()
        listener = unix_listener(work + "/ctl.sock")
        self.addCleanup(listener.close)
        os.chmod(work + "/ctl.sock", 0o777)
        env = dict(display.env(), HOME=work, XDG_RUNTIME_DIR=work, XDG_CACHE_HOME=work)
        proc = subprocess.Popen(["runuser", "-u", "nobody", "--", "env"] + [
            "%s=%s" % kv for kv in env.items()] + [browser_path(), "--named-pipe=" + work +
                                                 "/ctl.sock"], stderr=subprocess.DEVNULL,
                                start_new_session=True)
        self.addCleanup(lambda: proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL))
        listener.settimeout(60)
        conn = listener.accept()[0]
        self.addCleanup(conn.close)
        conn.sendall(("LOAD %s;" % server.url("/green")).encode())
        real = os.path.realpath(browser_path())
        pid = wait_for(lambda: next((p for p in [proc.pid] + descendants(proc.pid) if
                                     os.path.realpath("/proc/%d/exe" % p) == real), None))
        found = wait_for(lambda: [p for p in helpers(pid, "renderer")
                                  if proc_field(p, "Seccomp") == "2"], what="a seccomp renderer")
        self.assertNotEqual(os.readlink("/proc/%d/ns/user" % found[0]),
                            os.readlink("/proc/%d/ns/user" % pid))
        conn.sendall(b"QUIT;")
        self.assertEqual(proc.wait(30), 0)

    @unittest.skipUnless(shutil.which("weston") and shutil.which("Xwayland"), "needs weston")
    def test_wayland_session_with_and_without_xwayland(self):
        """weston's headless compositor with XWayland, as GNOME and KDE run them: with DISPLAY
        too the browser runs on XWayland (window commands reach a window manager), with
        WAYLAND_DISPLAY alone on Wayland. weston places windows itself: only sizes are checked."""
        work = tempfile.mkdtemp(prefix="trb-weston-")
        os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)  # where XWayland listens
        weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--xwayland",
                                   "--idle-time=0", "--socket=wl-trb", "--log=" + work + "/log"],
                                  env=dict(os.environ, XDG_RUNTIME_DIR=work),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(shutil.rmtree, work, True)
        self.addCleanup(lambda: weston.kill() or weston.wait())
        x_env = dict(os.environ, DISPLAY=wait_for(lambda: re.findall(
            r"xserver listening on display (:\d+)", "".join(read_lines(work + "/log"))),
            what="XWayland")[0])
        for with_x in (True, False):
            with self.subTest(xwayland=with_x):
                b = self.browser(env=dict(XDG_RUNTIME_DIR=work, WAYLAND_DISPLAY="wl-trb",
                                          QT_QPA_PLATFORM=None,
                                          DISPLAY=x_env["DISPLAY"] if with_x else None)).ready()
                b.send("GEOMETRY 100 150 500 750;SHOW;")
                wait_for(lambda: not b.ishidden(), what="shown")
                x = lambda *a: subprocess.run(a, env=x_env, capture_output=True, text=True).stdout
                wids = x("xdotool", "search", "--pid", str(b.proc.pid)).split()
                if with_x:
                    wait_for(lambda: re.search(r"Width: 600\n.*Height: 400\n(.*\n)*.*IsViewable",
                                               x("xwininfo", "-id", wids[0])), what="600x400")
                else:
                    self.assertEqual(wids, [])  # a Wayland surface, nothing on XWayland
                b.send("HIDE;")
                wait_for(b.ishidden, what="hidden")
                b.send("QUIT;")
                t, l, bottom, r = map(int, re.findall(r"-?\d+", b.read_to_eof().decode()))
                self.assertEqual((bottom - t, r - l), (400, 600))
                self.assertEqual(b.wait_exit(), 0)
                self.assertEqual(noise(b.stderr()), [])
        env = dict(os.environ, XDG_RUNTIME_DIR=work, WAYLAND_DISPLAY="wl-absent")
        one_line_exit(self, {k: v for k, v in env.items() if k != "DISPLAY"}, ["--no-sandbox"],
                      "WAYLAND_DISPLAY")

if __name__ == "__main__":
    unittest.main()
