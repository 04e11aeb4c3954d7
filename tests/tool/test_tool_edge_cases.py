"""trbrowserctl as a process, against the fake trbrowser (the real pipe server) over a real socket."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

TOOL, FAKE = os.environ.get("TRBROWSERCTL", ""), os.environ.get("FAKE_TRBROWSER", "")
REPORT = "GEOMETRY 100 200 700 1000"  # the fake's window, never placed
URL = "http://127.0.0.1/p?q=ISHIDDEN%200&r=GEOMETRY"  # holds the text of other replies
MARK = r"#trbrowserctl-\w+;"
SESSION = ["-c", "LOAD " + URL, "-c", "GETURL;ISHIDDEN;SHOW;ISHIDDEN", "-c", "load x", "-c",
           "GEOMETRY 1 2 3", "-c", "", "--", "--no-sandbox", "--url=http://127.0.0.1/"]
SESSION_OUT = ["GETURL " + URL, "ISHIDDEN 1", "ISHIDDEN 0", "ERROR Syntax Error: load x",
               "ERROR Syntax Error: GEOMETRY 1 2 3", "ERROR Syntax Error: ", REPORT]
LOADED = ["-c", "LOAD http://127.0.0.1/done"]
EVENTS = (r'^{"event":"title","title":"fake \\"quoted\\""}\n{"event":"load","url":"http://127.0.0.1/'
          r'done"}\n{"event":"window","state":"hidden"}\n\Z')

# Name, tool arguments (after --pipe, --browser and --timeout), the fake's environment, stdin
# (None: open and silent), setup at the socket path, exit status, stdout lines, the tool's one
# complaint (None: none), what the fake and the events file must show.
CASES = [
    ("replies_cut_apart", SESSION, {}, None, None, 0, SESSION_OUT, None,
     [r"argv --named-pipe=/\S+ --no-sandbox --url=http://127.0.0.1/; socket mode 600$",
      r"received LOAD \S+;GETURL;" + MARK + "ISHIDDEN;SHOW;ISHIDDEN;load x;.*;;QUIT;$"]),
    ("replies_dribbled", SESSION, {"FAKE_DRIBBLE": "1"}, None, None, 0, SESSION_OUT, None, []),
    ("stdin_lines", [], {}, "LOAD http://127.0.0.1/a\r\n\nGETURL\nSHOW;ISHIDDEN\nQUIT\nSHOW\n",
     None, 0, ["GETURL http://127.0.0.1/a", "ISHIDDEN 0", REPORT], None,
     [r"received LOAD http://127.0.0.1/a;GETURL;" + MARK + "SHOW;ISHIDDEN;QUIT;$"]),
    ("stdin_ends_without_newline", [], {}, "SHOW\nISHIDDEN", None, 0, ["ISHIDDEN 0", REPORT], None,
     [r"received SHOW;ISHIDDEN;QUIT;$"]),
    ("stale_socket_replaced", ["-c", "ISHIDDEN"], {}, None, "stale", 0, ["ISHIDDEN 1", REPORT],
     None, []),
    ("live_socket_refused", ["-c", "ISHIDDEN"], {}, None, "live", 3, [], "another controller", []),
    ("file_kept", ["-c", "ISHIDDEN"], {}, None, "file", 3, [], "exists and is not a socket", []),
    ("path_too_long", ["--pipe", "/tmp/" + "x" * 200], {}, None, None, 3, [], "too long", []),
    ("exit_code_passed_on", ["-c", "QUIT"], {"FAKE_EXIT": "1"}, None, None, 1, [REPORT], None, []),
    ("window_closed_by_user", [], {"FAKE_MODE": "window-closed"}, None, None, 0, [REPORT], None,
     [r"received $"]),
    ("connection_lost", ["-c", "SHOW", "-c", "ISHIDDEN"], {"FAKE_ON": "ShowWindowNormal:exit"},
     None, None, 6, [], "closed the connection without the final report$", []),
    ("unexpected_reply", ["-c", "ISHIDDEN"], {"FAKE_SWAP": "ISHIDDEN 1=HELLO"}, None, None, 6, [],
     'unexpected reply to "ISHIDDEN": "HELLO"', []),
    ("malformed_report", ["-c", "SHOW"], {"FAKE_SWAP": REPORT + "=GEOMETRY 1 2 3 99999999999"},
     None, None, 6, [], r'without the final report \(received "GEOMETRY 1 2 3 99999999999"\)', []),
    ("silent_browser", LOADED + ["-c", "ISHIDDEN", "--timeout=2"],
     {"FAKE_ON": "IsWindowHidden:hang"}, None, None, 7, [], 'no reply to "ISHIDDEN" within 2 s',
     ["terminated"]),
    ("browser_stuck_after_session", ["-c", "QUIT", "--timeout=2"], {"FAKE_MODE": "no-exit"},
     None, None, 9, [REPORT], "did not exit within 2 s", ["terminated"]),
    ("browser_never_connects", ["--timeout=0.5"], {"FAKE_MODE": "no-connect"}, None, None, 5, [],
     r"no browser connected .* within 0.5 s; .*raise --timeout", ["terminated"]),
    ("ctrl_c_before_connecting", [], {"FAKE_MODE": "interrupt"}, None, None, 130, [],
     "interrupted while waiting for the browser to connect", ["terminated"]),
    ("browser_exits_early", [], {"FAKE_MODE": "exit-early"}, None, None, 4, [],
     "the browser exited with code 1 before connecting", []),
    ("browser_missing", ["--browser", "/nonexistent/trbrowser"], {}, None, None, 4, [],
     "cannot start the browser /nonexistent/trbrowser", []),
    ("no_launch_nobody_connects", ["--no-launch", "--timeout=0.5"], {}, None, None, 5, [],
     "start the browser with --named-pipe=/", []),
    ("usage_pipe", ["--pipe"], {}, None, None, 2, [], "--pipe needs", []),
    ("usage_timeout", ["--timeout=0"], {}, None, None, 2, [], "--timeout needs", []),
    ("usage_events_file", ["--events="], {}, None, None, 2, [], "--events= needs", []),
    ("usage_option", ["-x"], {}, None, None, 2, [], "unknown option -x", []),
    ("wait_url_polls", LOADED + ["--wait-url", "http://127.0.0.1/do", "-c", "GETURL"],
     {"FAKE_STALE": "3"}, None, None, 0, ["GETURL http://127.0.0.1/done", REPORT], None,
     [r"received LOAD \S+;(GETURL;" + MARK + "){5}QUIT;$"]),
    ("wait_url_timeout", ["--wait-url", "http://127.0.0.1/never", "-c", "SHOW", "--timeout=2"],
     {}, None, None, 8, [REPORT], r'did not start .* \(last: "about:fake"\)$',
     [r"received (GETURL;" + MARK + ")+QUIT;$"]),
    ("wait_load_event", LOADED + ["--wait-load", "http://127.0.0.1/do", "-c", "ISHIDDEN",
                                  "--events={dir}/events"],
     {"FAKE_EVENTS": "1", "FAKE_STALE": "1000"}, None, None, 0, ["ISHIDDEN 1", REPORT], None,
     [r"argv --named-pipe=(\S+) --events-pipe=\1-events;", r"received LOAD \S+;ISHIDDEN;QUIT;$",
      EVENTS]),
    ("wait_load_without_events", LOADED + ["--wait-load", "http://127.0.0.1/do", "-c", "GETURL"],
     {"FAKE_STALE": "3"}, None, None, 0, ["GETURL http://127.0.0.1/done", REPORT], None,
     [r"received LOAD \S+;(GETURL;" + MARK + "){5}QUIT;$"]),
    ("wait_load_timeout", ["--wait-load", "http://127.0.0.1/never", "-c", "SHOW", "--timeout=2"],
     {"FAKE_EVENTS": "1"}, None, None, 8, [REPORT], "finished loading within 2 s",
     [r"received QUIT;$"]),
    ("events_browser_has_none", ["--events", "-c", "SHOW"], {}, None, None, 0, [REPORT],
     "did not connect to the events socket", []),
    # The first Ctrl-C, during a command, ends the session after its reply: no line after it.
    ("ctrl_c_then_sigterm_kills", ["-c", "ISHIDDEN"], {"FAKE_ON": "IsWindowHidden:abort"}, None, None,
     130, [], "interrupted again; killing the browser", []),
    ("first_ctrl_c_quits", [], {"FAKE_ON": "IsWindowHidden:interrupt"}, "ISHIDDEN\nSHOW\0\nSHOW\n",
     None, 0, ["ISHIDDEN 1", REPORT], None, [r"received ISHIDDEN;QUIT;$"]),
]


@unittest.skipUnless(TOOL and FAKE, "TRBROWSERCTL or FAKE_TRBROWSER is not set")
class ToolEdgeCases(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trbctl-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.sock, self.events = os.path.join(self.dir, "s"), os.path.join(self.dir, "events")

    def run_tool(self, args, fake_env, stdin):
        quiet, keep = os.pipe()  # stdin that stays open and silent
        self.addCleanup(lambda: os.close(quiet) or os.close(keep))
        return subprocess.run([TOOL, "--pipe", self.sock, "--browser", FAKE, "--timeout=10",
                               *[a.replace("{dir}", self.dir) for a in args]],
                              input=stdin, stdin=quiet if stdin is None else None,
                              env=dict(os.environ, **fake_env), capture_output=True, text=True,
                              timeout=120)

    def test_cases(self):
        for name, args, fake, stdin, setup, code, out, complaint, shows in CASES:
            with self.subTest(name=name), socket.socket(socket.AF_UNIX) as other:
                if setup in ("stale", "live"):
                    other.bind(self.sock)
                    other.listen() if setup == "live" else other.close()
                elif setup == "file":
                    with open(self.sock, "w") as f:
                        f.write("keep")
                result = self.run_tool(args, fake, stdin)
                self.assertEqual((result.returncode, result.stdout.splitlines()), (code, out),
                                 result.stderr)
                said = re.findall("^trbrowserctl: (.*)$", result.stderr, re.M)
                self.assertEqual(len(said), complaint is not None, result.stderr)
                self.assertRegex(said[0] if said else "-", complaint or "^-$")
                seen = result.stderr
                if os.path.exists(self.events):
                    with open(self.events) as f:
                        seen += f.read()
                    os.unlink(self.events)
                for pattern in shows:
                    self.assertRegex(seen, re.compile(pattern, re.M))
                self.assertEqual(os.path.exists(self.sock), setup in ("live", "file"))
                if setup == "live":
                    with socket.socket(socket.AF_UNIX) as probe:
                        probe.connect(self.sock)  # still the other controller's
                if setup == "file":
                    with open(self.sock) as f:
                        self.assertEqual(f.read(), "keep")
                if setup in ("live", "file"):
                    os.unlink(self.sock)

    def test_help_and_version(self):
        for switch, start in (("--help", "Usage: trbrowserctl "), ("--version", "trbrowserctl ")):
            with self.subTest(switch=switch):
                result = subprocess.run([TOOL, switch], capture_output=True, text=True)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertTrue(result.stdout.startswith(start), result.stdout)

    def test_browser_found_beside_the_tool_else_on_path(self):
        false = shutil.which("false")  # a trbrowser that fails where the wrong one is found
        for case, beside, on_path in (("beside", FAKE, false), ("on_path", None, FAKE)):
            with self.subTest(case), tempfile.TemporaryDirectory() as root:
                os.mkdir(os.path.join(root, "path"))
                if beside:
                    os.symlink(beside, os.path.join(root, "trbrowser"))
                os.symlink(on_path, os.path.join(root, "path", "trbrowser"))
                result = subprocess.run(
                    [shutil.copy(TOOL, root), "--pipe", self.sock, "-c", "ISHIDDEN"],
                    env=dict(os.environ, PATH=os.path.join(root, "path") + ":" + os.environ["PATH"]),
                    capture_output=True, text=True, timeout=120)
                self.assertEqual(result.stdout.splitlines(), ["ISHIDDEN 1", REPORT], result.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to connect as another user")
    def test_another_users_connection_is_refused(self):
        tool = subprocess.Popen([TOOL, "--pipe", self.sock, "--no-launch", "--timeout=5"],
                                stderr=subprocess.PIPE, text=True)
        while not os.path.exists(self.sock) and tool.poll() is None:
            time.sleep(0.01)
        os.chmod(self.dir, 0o777)
        os.chmod(self.sock, 0o777)
        if os.fork() == 0:
            os.setuid(65534)
            socket.socket(socket.AF_UNIX).connect(self.sock)
            os._exit(0)
        os.wait()
        with tool:
            self.assertEqual(tool.wait(timeout=120), 5)
            self.assertIn("refused a connection from another user", tool.stderr.read())


if __name__ == "__main__":
    unittest.main()
