"""How the real browser starts and ends: first window, no display/controller, signals, sandbox."""

import glob, os, re, shutil, signal, subprocess, tempfile, unittest
from fixture import GEOMETRY, Browser, Display, PageServer, browser_path, descendants, helpers
from fixture import html, noise, page_text, read_lines, wait_for
from fixture import proc_status_field as proc_field, unix_listener
from test_navigation import ICON_SIZES, icon_sizes

display = server = None
def setUpModule():
    global display, server
    display, server = Display().start(), PageServer()
    server.html("/green", html("Green", "", "background:#00ff00"))
def tearDownModule(): server.stop(), display.stop()
def software_gl(b):  # Mesa's software OpenGL libraries in the browser once it has painted
    b.send("SHOW;LOAD %s;" % server.url("/green"))
    wait_for(lambda: b.pixel(b.main_window(), 300, 300) == "00FF00", what="page painted")
    with open("/proc/%d/maps" % b.proc.pid) as f:
        return sorted({l.split()[-1] for l in f if "swrast_dri" in l or "libLLVM" in l})
def one_line_exit(test, env, args, word):
    r = subprocess.run([browser_path()] + args, env=env, capture_output=True, text=True, timeout=60)
    test.assertEqual((r.returncode, len(r.stderr.strip().splitlines()), word in r.stderr),
                     (1, 1, True), r.stderr)

class LifecycleTest(unittest.TestCase):
    def browser(self, *args, **kwargs):
        b = Browser(display, args, **kwargs)
        self.addCleanup(b.close)
        return b
    def test_starts_hidden_on_the_default_page_and_ends_on_sigterm_even_while_starting(self):
        b = self.browser("--url=" + server.url("/green"), events=True).ready()
        b.events.conn.close()  # an events reader that leaves ends nothing
        self.assertIn("<title>Tavrin WebBrowser</title>", page_text(b.geturl()))  # not --url
        wid = b.main_window()
        self.assertEqual((b.ishidden(), b.title(wid), b.windows(visible_only=True)),
                         (True, "Tavrin WebBrowser", []))
        self.assertIn(str(b.proc.pid), b.x("xprop", "-id", wid, "_NET_WM_PID"))
        self.assertEqual(icon_sizes(b, wid), ICON_SIZES)
        if not glob.glob("/dev/dri/renderD*"):  # software compositing without GL, still painted
            self.assertEqual(software_gl(b), [])
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual((b.wait_exit(), noise(b.stderr())), (0, []))
        b = self.browser(listen=False)  # as soon as it is caught, long before all else is up
        wait_for(lambda: int(proc_field(b.proc.pid, "SigCgt") or "0", 16) & (1 << 14),
                 interval=0.001, what="SIGTERM caught")
        b.proc.send_signal(signal.SIGTERM)
        self.assertEqual(b.wait_exit(), 0, b.stderr())
    def test_views_mode_without_an_events_reader_or_a_controller(self):
        b = self.browser("--use-views", "--events-pipe=/nonexistent/events.sock").ready()
        wait_for(lambda: not b.ishidden(), what="visible at once")
        b.send("LOAD %s;" % server.url("/green"))
        wid = wait_for(lambda: b.windows(title="Green"), what="page title on the window")[0]
        self.assertEqual(b.stderr().count("nothing listens on the events pipe"), 1, b.stderr())
        b.wm_close_until(wid, lambda: b.proc.poll() is not None, what="exit on close")
        self.assertTrue(GEOMETRY.fullmatch(b.read_to_eof().decode()))
        self.assertEqual(b.wait_exit(), 0)
        b = self.browser("--use-views", listen=False)  # runs until closed
        wait_for(lambda: b.windows(visible_only=True), what="views window")
        b.wm_close_until(b.main_window, lambda: b.proc.poll() is not None, what="exit on close")
        self.assertEqual(b.proc.returncode, 0)
    def test_no_display_or_root_without_no_sandbox_is_one_line(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY",
                                                                  "QT_QPA_PLATFORM")}
        one_line_exit(self, env, ["--no-sandbox"], "DISPLAY")
        if os.geteuid() == 0:
            env = {k: v for k, v in display.env().items() if "CHROMIUM" not in k and
                   "SANDBOX" not in k}
            one_line_exit(self, env, [], "--no-sandbox")
    @unittest.skipUnless(os.geteuid() == 0, "runs the browser as nobody, which needs root")
    def test_sandbox_is_on_for_an_unprivileged_user(self):
        if subprocess.run(["runuser", "-u", "nobody", "--", "unshare", "-U", "true"]).returncode:
            self.skipTest("unprivileged user namespaces are refused here")
        work = tempfile.mkdtemp(prefix="trb-sandbox-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o777)  # nobody's too
        listener = unix_listener(work + "/ctl.sock")
        self.addCleanup(listener.close)
        os.chmod(work + "/ctl.sock", 0o777)
        env = dict(display.env(), HOME=work, XDG_RUNTIME_DIR=work, XDG_CACHE_HOME=work)
        proc = subprocess.Popen(["runuser", "-u", "nobody", "--", "env"] + [
            "%s=%s" % kv for kv in env.items()] + [browser_path(), "--named-pipe=" + work +
            "/ctl.sock"], stderr=subprocess.DEVNULL, start_new_session=True)
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

    # weston's headless compositor with XWayland, as GNOME and KDE run them: with DISPLAY too the
    # browser runs on XWayland (window commands reach a window manager), with WAYLAND_DISPLAY
    # alone on Wayland. weston places windows itself: only sizes are checked.
    @unittest.skipUnless(shutil.which("weston") and shutil.which("Xwayland"), "needs weston")
    def test_wayland_session_with_and_without_xwayland(self):
        work = tempfile.mkdtemp(prefix="trb-weston-")
        self.addCleanup(shutil.rmtree, work, True)
        os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)  # where XWayland listens
        weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--xwayland",
                                   "--idle-time=0", "--socket=wl-trb", "--log=" + work + "/log"],
                                  env=dict(os.environ, XDG_RUNTIME_DIR=work),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: weston.kill() or weston.wait())
        x_env = dict(os.environ, DISPLAY=wait_for(lambda: re.findall(
            r"xserver listening on display (:\d+)", "".join(read_lines(work + "/log"))),
            what="XWayland")[0])
        x = lambda *a: subprocess.run(a, env=x_env, capture_output=True, text=True).stdout
        for with_x in (True, False):
            with self.subTest(xwayland=with_x):
                b = self.browser(env=dict(XDG_RUNTIME_DIR=work, WAYLAND_DISPLAY="wl-trb",
                                          QT_QPA_PLATFORM=None,
                                          DISPLAY=x_env["DISPLAY"] if with_x else None)).ready()
                b.send("GEOMETRY 100 150 500 750;SHOW;")
                wait_for(lambda: not b.ishidden(), what="shown")
                wids = x("xdotool", "search", "--pid", str(b.proc.pid)).split()
                self.assertEqual(bool(wids), with_x)  # on Wayland a surface, nothing on XWayland
                with_x and wait_for(lambda: re.search(r"Width: 600\n.*Height: 400\n(.*\n)*.*IsV"
                                                      "iewable", x("xwininfo", "-id", wids[0])))
                b.send("HIDE;")
                wait_for(b.ishidden, what="hidden")
                b.send("QUIT;")
                t, l, bottom, r = map(int, re.findall(r"-?\d+", b.read_to_eof().decode()))
                self.assertEqual((bottom - t, r - l, b.wait_exit(), noise(b.stderr())),
                                 (400, 600, 0, []))
        env = dict(os.environ, XDG_RUNTIME_DIR=work, WAYLAND_DISPLAY="wl-absent")
        one_line_exit(self, {k: v for k, v in env.items() if k != "DISPLAY"}, ["--no-sandbox"],
                      "WAYLAND_DISPLAY")
