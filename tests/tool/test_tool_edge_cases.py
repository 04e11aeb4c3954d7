"""trbrowserctl as a process against the fake trbrowser (the real pipe server) on a real socket."""
import collections, os, pathlib, re, shlex, shutil, socket, subprocess, tempfile, unittest

TOOL, FAKE = os.environ.get("TRBROWSERCTL", ""), os.environ.get("FAKE_TRBROWSER", "")
REPORT = "GEOMETRY 100 200 700 1000"  # the fake's window, never placed
URL = "http://127.0.0.1/p?q=ISHIDDEN%200&r=GEOMETRY"  # holds the text of other replies
MARK = r"#trbrowserctl-\w+;"
SESSION = ("-c 'LOAD %s' -c 'GETURL;ISHIDDEN;SHOW;ISHIDDEN' -c 'load x' -c 'GEOMETRY 1 2 3' -c ''"
           " -- --no-sandbox --url=http://127.0.0.1/" % URL)
SESSION_OUT = ["GETURL " + URL, "ISHIDDEN 1", "ISHIDDEN 0", "ERROR Syntax Error: load x",
               "ERROR Syntax Error: GEOMETRY 1 2 3", "ERROR Syntax Error: ", REPORT]
LOADED = "-c 'LOAD http://127.0.0.1/done' "
POLLED = [r"received LOAD \S+;(GETURL;" + MARK + "){5}QUIT;$"]
EVENTS = (r'^{"event":"title","title":"fake \\"quoted\\""}\n{"event":"load","url":"%s"}\n'
          r'{"event":"window","state":"hidden"}\n\Z' % "http://127.0.0.1/done")

# Name, tool arguments (after --pipe, --browser and --timeout), the fake's FAKE_ settings with
# the test's own "stdin" (else open and silent) and "socket" (what is at the path before), exit
# status, stdout lines, the tool's one complaint ("": none), what its stderr and events show.
Case = collections.namedtuple("Case", "name args fake code out complaint shows", defaults=("", []))
CASES = [
    Case("replies_cut_apart", SESSION, {}, 0, SESSION_OUT, "",
         [r"argv --named-pipe=/\S+ --no-sandbox --url=http://127.0.0.1/; socket mode 600$",
          r"received LOAD \S+;GETURL;" + MARK + "ISHIDDEN;SHOW;ISHIDDEN;load x;.*;;QUIT;$"]),
    Case("replies_dribbled", SESSION, {"dribble": "1"}, 0, SESSION_OUT),
    Case("stdin_lines", "", {"stdin": "LOAD http://h/a\r\n\nGETURL\nSHOW;ISHIDDEN\nQUIT\nSHOW\n"},
         0, ["GETURL http://h/a", "ISHIDDEN 0", REPORT], "",
         [r"received LOAD http://h/a;GETURL;" + MARK + "SHOW;ISHIDDEN;QUIT;$"]),
    Case("stdin_ends_without_newline", "", {"stdin": "SHOW\nISHIDDEN"}, 0, ["ISHIDDEN 0", REPORT],
         "", [r"received SHOW;ISHIDDEN;QUIT;$"]),
    Case("stale_socket_replaced", "-c ISHIDDEN", {"socket": "stale"}, 0, ["ISHIDDEN 1", REPORT]),
    Case("live_socket_refused", "-c ISHIDDEN", {"socket": "live"}, 3, [], "another controller"),
    Case("file_kept", "-c ISHIDDEN", {"socket": "file"}, 3, [], "exists and is not a socket"),
    Case("path_too_long", "--pipe /tmp/" + "x" * 200, {}, 3, [], "too long"),
    Case("exit_code_passed_on", "-c QUIT", {"exit": "1"}, 1, [REPORT]),
    Case("window_closed_by_user", "", {"mode": "window-closed"}, 0, [REPORT], "", [r"received $"]),
    Case("connection_lost", "-c SHOW -c ISHIDDEN", {"on": "ShowWindowNormal:exit"}, 6, [],
         "closed the connection without the final report$"),
    Case("unexpected_reply", "-c ISHIDDEN", {"swap": "ISHIDDEN 1=HELLO"}, 6, [],
         'unexpected reply to "ISHIDDEN": "HELLO"'),
    Case("malformed_report", "-c SHOW", {"swap": REPORT + "=GEOMETRY 1 2 3 99999999999"}, 6, [],
         r'without the final report \(received "GEOMETRY 1 2 3 99999999999"\)'),
    Case("silent_browser", LOADED + "-c ISHIDDEN --timeout=2", {"on": "IsWindowHidden:hang"}, 7, [],
         'no reply to "ISHIDDEN" within 2 s', ["terminated"]),
    Case("browser_stuck_after_session", "-c QUIT --timeout=2", {"mode": "no-exit"}, 9, [REPORT],
         "did not exit within 2 s", ["terminated"]),
    Case("browser_never_connects", "--timeout=0.5", {"mode": "no-connect"}, 5, [],
         r"no browser connected .* within 0.5 s; .*raise --timeout", ["terminated"]),
    Case("ctrl_c_before_connecting", "", {"mode": "interrupt"}, 130, [],
         "interrupted while waiting for the browser to connect", ["terminated"]),
    Case("browser_exits_early", "", {"mode": "exit-early"}, 4, [],
         "the browser exited with code 1 before connecting"),
    Case("browser_missing", "--browser /nonexistent/trbrowser", {}, 4, [],
         "cannot start the browser /nonexistent/trbrowser"),
    Case("no_launch_nobody_connects", "--no-launch --timeout=0.5", {}, 5, [],
         "start the browser with --named-pipe=/"),
    Case("usage_pipe", "--pipe", {}, 2, [], "--pipe needs"),
    Case("usage_timeout", "--timeout=0", {}, 2, [], "--timeout needs"),
    Case("usage_option", "-x", {}, 2, [], "unknown option -x"),
    Case("wait_url_polls", LOADED + "--wait-url http://127.0.0.1/do -c GETURL", {"stale": "3"}, 0,
         ["GETURL http://127.0.0.1/done", REPORT], "", POLLED),
    Case("wait_url_timeout", "--wait-url http://127.0.0.1/never -c SHOW --timeout=2", {}, 8,
         [REPORT], r'did not start .* \(last: "about:fake"\)$',
         [r"received (GETURL;" + MARK + ")+QUIT;$"]),
    Case("wait_load_event", LOADED + "--wait-load http://127.0.0.1/do -c ISHIDDEN --events={d}/ev",
         {"events": "1", "stale": "1000"}, 0, ["ISHIDDEN 1", REPORT], "",
         [r"argv --named-pipe=(\S+) --events-pipe=\1-events;", r"received LOAD \S+;ISHIDDEN;QUIT;$",
          EVENTS]),
    Case("wait_load_without_events", LOADED + "--wait-load http://127.0.0.1/do -c GETURL",
         {"stale": "3"}, 0, ["GETURL http://127.0.0.1/done", REPORT], "", POLLED),
    Case("wait_load_timeout", "--wait-load http://127.0.0.1/never -c SHOW --timeout=2",
         {"events": "1"}, 8, [REPORT], "finished loading within 2 s", [r"received QUIT;$"]),
    Case("events_browser_has_none", "--events -c SHOW", {}, 0, [REPORT],
         "did not connect to the events socket"),
    # The first Ctrl-C, during a command, ends the session after its reply: no line after it.
    Case("ctrl_c_then_sigterm_kills", "-c ISHIDDEN", {"on": "IsWindowHidden:abort"}, 130, [],
         "interrupted again; killing the browser"),
    Case("first_ctrl_c_quits", "",
         {"on": "IsWindowHidden:interrupt", "stdin": "ISHIDDEN\nSHOW\0\nSHOW\n"}, 0,
         ["ISHIDDEN 1", REPORT], "", [r"received ISHIDDEN;QUIT;$"]),
] + [Case("other_user_refused", "-c ISHIDDEN", {"mode": "other-user"}, 0, ["ISHIDDEN 1", REPORT],
          "refused a connection from another user")] * (os.geteuid() == 0)  # only root can


@unittest.skipUnless(TOOL and FAKE, "TRBROWSERCTL or FAKE_TRBROWSER is not set")
class ToolEdgeCases(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trbctl-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.sock, self.events = os.path.join(self.dir, "s"), pathlib.Path(self.dir, "ev")

    def test_cases(self):
        quiet, keep = os.pipe()  # stdin that stays open and silent
        self.addCleanup(lambda: os.close(quiet) or os.close(keep))
        for name, args, fake, code, out, complaint, shows in CASES:
            with self.subTest(name=name), socket.socket(socket.AF_UNIX) as other:
                fake = dict(fake)
                stdin, setup = fake.pop("stdin", None), fake.pop("socket", None)
                if setup in ("stale", "live"):
                    other.bind(self.sock)
                    other.listen() if setup == "live" else other.close()
                if setup == "file":
                    pathlib.Path(self.sock).write_text("keep")
                env = dict(os.environ, **{"FAKE_" + k.upper(): v for k, v in fake.items()})
                r = subprocess.run([TOOL, "--pipe", self.sock, "--browser", FAKE, "--timeout=10",
                                    *shlex.split(args.replace("{d}", self.dir))], input=stdin,
                                   stdin=quiet if stdin is None else None, env=env,
                                   capture_output=True, text=True, timeout=120)
                self.assertEqual((r.returncode, r.stdout.splitlines()), (code, out), r.stderr)
                said = re.findall("^trbrowserctl: (.*)$", r.stderr, re.M)
                self.assertEqual(len(said), bool(complaint), r.stderr)
                self.assertRegex(said[0] if said else "", complaint or "^$")
                seen = r.stderr + (self.events.read_text() if self.events.exists() else "")
                self.events.unlink(missing_ok=True)
                for pattern in shows:
                    self.assertRegex(seen, re.compile(pattern, re.M))
                self.assertEqual(os.path.exists(self.sock), setup in ("live", "file"))
                if setup == "file":
                    self.assertEqual(pathlib.Path(self.sock).read_text(), "keep")
                pathlib.Path(self.sock).unlink(missing_ok=True)

    def test_browser_found_beside_the_tool_else_on_path(self):
        for case, beside, on_path in (("beside", FAKE, "/bin/false"), ("on_path", None, FAKE)):
            with self.subTest(case), tempfile.TemporaryDirectory() as root:
                os.mkdir(root + "/path")
                os.symlink(on_path, root + "/path/trbrowser")  # where it fails, the wrong one ran
                if beside:
                    os.symlink(beside, root + "/trbrowser")
                r = subprocess.run([shutil.copy(TOOL, root), "--pipe", self.sock, "-c", "ISHIDDEN"],
                                   env=dict(os.environ, PATH=root + "/path:" + os.environ["PATH"]),
                                   capture_output=True, text=True, timeout=120)
                self.assertEqual(r.stdout.splitlines(), ["ISHIDDEN 1", REPORT], r.stderr)
