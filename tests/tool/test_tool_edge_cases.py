"""trbrowserctl as a process, against a fake browser over a real socket (no display)."""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = os.environ.get("TRBROWSERCTL", "")
HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fake_browser.py")

EXIT_USAGE, EXIT_SOCKET, EXIT_START, EXIT_NO_CONNECTION = 2, 3, 4, 5
EXIT_LOST, EXIT_REPLY_TIMEOUT, EXIT_WAIT_URL, EXIT_STUCK = 6, 7, 8, 9


@unittest.skipUnless(TOOL, "TRBROWSERCTL is not set")
class ToolEdgeCases(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trbctl-")
        self.sock = os.path.join(self.dir, "s")
        self.log = os.path.join(self.dir, "fake.json")

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    # The time-out covers the fake browser's start too, which a busy machine can stretch
    # past a second.
    def run_tool(self, *args, mode="protocol", stdin=None, env=None, timeout=3, browser=FAKE):
        full_env = dict(os.environ, FAKE_MODE=mode, FAKE_LOG=self.log, **(env or {}))
        cmd = [TOOL, "--pipe", self.sock, "--browser", browser, "--timeout", str(timeout),
               *args]
        return subprocess.run(cmd, input=stdin, capture_output=True, text=True, env=full_env,
                              timeout=120)

    def fake_log(self):
        with open(self.log) as f:
            return json.load(f)

    def assert_one_line_error(self, result):
        lines = result.stderr.splitlines()
        ours = [line for line in lines if line.startswith("trbrowserctl: ")]
        self.assertEqual(len(ours), 1, result.stderr)

    # --- socket set-up -------------------------------------------------------------------

    def test_stale_socket_is_removed_and_replaced(self):
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(self.sock)
        stale.close()  # the file stays behind, nobody listens
        result = self.run_tool("-c", "ISHIDDEN")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "ISHIDDEN 1\nGEOMETRY 10 20 610 820\n")
        self.assertFalse(os.path.exists(self.sock), "the socket file must not stay behind")

    def test_live_socket_is_refused_and_left_alone(self):
        live = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        live.bind(self.sock)
        live.listen(4)
        try:
            result = self.run_tool("-c", "ISHIDDEN")
            self.assertEqual(result.returncode, EXIT_SOCKET, result.stderr)
            self.assertEqual(result.stdout, "")
            self.assert_one_line_error(result)
            self.assertIn("another controller", result.stderr)
            # The other controller still has its socket.
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            probe.connect(self.sock)
            probe.close()
        finally:
            live.close()

    def test_the_browser_sees_an_owner_only_socket_and_its_switches(self):
        result = self.run_tool("-c", "SHOW", "--", "--no-sandbox", "--url=http://127.0.0.1/")
        self.assertEqual(result.returncode, 0, result.stderr)
        log = self.fake_log()
        self.assertEqual(log["mode"], "0o600")
        self.assertEqual(log["argv"],
                         ["--named-pipe=" + self.sock, "--no-sandbox", "--url=http://127.0.0.1/"])
        self.assertEqual(log["received"], "SHOW;QUIT;")

    def test_no_connection_with_no_launch_times_out(self):
        result = self.run_tool("--no-launch", "-c", "ISHIDDEN", timeout=0.5)
        self.assertEqual(result.returncode, EXIT_NO_CONNECTION, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assert_one_line_error(result)
        self.assertIn("--named-pipe=" + self.sock, result.stderr)
        self.assertFalse(os.path.exists(self.sock))

    def test_browser_that_cannot_start(self):
        result = self.run_tool("-c", "ISHIDDEN", browser=os.path.join(self.dir, "missing"))
        self.assertEqual(result.returncode, EXIT_START, result.stderr)
        self.assert_one_line_error(result)
        self.assertFalse(os.path.exists(self.sock))

    def test_browser_found_without_the_browser_switch(self):
        # Without --browser the tool starts the trbrowser beside itself, else the one on PATH.
        # A trbrowser that exits at once stands where the wrong one would be found.
        for case, beside, on_path in (("beside the tool", FAKE, "failing"),
                                      ("on PATH", None, FAKE)):
            with self.subTest(case), tempfile.TemporaryDirectory() as root:
                tool_dir, path_dir = os.path.join(root, "bin"), os.path.join(root, "path")
                os.mkdir(tool_dir)
                os.mkdir(path_dir)
                tool = os.path.join(tool_dir, "trbrowserctl")
                subprocess.run(["cp", TOOL, tool], check=True)
                failing = os.path.join(root, "failing")
                with open(failing, "w") as f:
                    f.write("#!/bin/sh\nexit 1\n")
                os.chmod(failing, 0o755)
                pick = {FAKE: FAKE, "failing": failing}
                if beside:
                    os.symlink(pick[beside], os.path.join(tool_dir, "trbrowser"))
                os.symlink(pick[on_path], os.path.join(path_dir, "trbrowser"))
                env = dict(os.environ, FAKE_MODE="protocol", FAKE_LOG=self.log,
                           PATH=path_dir + os.pathsep + os.environ.get("PATH", ""))
                result = subprocess.run([tool, "--pipe", self.sock, "--timeout", "30", "-c",
                                         "ISHIDDEN"], capture_output=True, text=True, env=env,
                                        timeout=120)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, "ISHIDDEN 1\nGEOMETRY 10 20 610 820\n")

    def test_browser_that_exits_before_connecting(self):
        result = self.run_tool("-c", "ISHIDDEN", mode="exit-early", timeout=30)
        self.assertEqual(result.returncode, EXIT_START, result.stderr)
        self.assertIn("exited with code 1 before connecting", result.stderr)
        self.assertEqual(result.stdout, "")

    def test_usage_error(self):
        result = subprocess.run([TOOL, "--timeout", "soon"], capture_output=True, text=True)
        self.assertEqual(result.returncode, EXIT_USAGE)
        self.assertEqual(result.stdout, "")

    # --- replies -------------------------------------------------------------------------

    def test_silent_browser_gives_a_reply_timeout(self):
        result = self.run_tool("-c", "LOAD http://127.0.0.1/", "-c", "ISHIDDEN", mode="silent")
        self.assertEqual(result.returncode, EXIT_REPLY_TIMEOUT, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assert_one_line_error(result)
        self.assertIn('no reply to "ISHIDDEN"', result.stderr)

    def test_replies_are_cut_apart_exactly(self):
        # A URL that contains the text of other replies must not confuse the reader.
        url = "http://127.0.0.1/p?q=ISHIDDEN%200&r=GEOMETRY"
        for mode in ("protocol", "dribble"):
            with self.subTest(mode=mode):
                result = self.run_tool("-c", "LOAD " + url, "-c", "GETURL;ISHIDDEN;SHOW;ISHIDDEN",
                                       "-c", "load x", "-c", "GEOMETRY 1 2 3", "-c", "",
                                       mode=mode)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.splitlines(), [
                    "GETURL " + url,
                    "ISHIDDEN 1",
                    "ISHIDDEN 0",
                    "ERROR Syntax Error: load x",
                    "ERROR Syntax Error: GEOMETRY 1 2 3",
                    "ERROR Syntax Error: ",
                    "GEOMETRY 10 20 610 820",
                ])
                received = self.fake_log()["received"]
                self.assertTrue(received.startswith("LOAD " + url + ";GETURL;#trbrowserctl-"))
                self.assertTrue(received.endswith(";QUIT;"))

    def test_commands_from_stdin(self):
        stdin = "LOAD http://127.0.0.1/a\r\n\nGETURL\nSHOW;ISHIDDEN\nQUIT\nSHOW\n"
        result = self.run_tool(stdin=stdin)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout,
                         "GETURL http://127.0.0.1/a\nISHIDDEN 0\nGEOMETRY 10 20 610 820\n")
        # Nothing is sent after QUIT.
        self.assertTrue(self.fake_log()["received"].endswith("ISHIDDEN;QUIT;"))

    def test_end_of_stdin_quits_cleanly(self):
        result = self.run_tool(stdin="")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "GEOMETRY 10 20 610 820\n")
        self.assertEqual(self.fake_log()["received"], "QUIT;")

    def test_browser_exit_code_is_passed_through(self):
        result = self.run_tool("-c", "QUIT", env={"FAKE_EXIT": "1"})
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "GEOMETRY 10 20 610 820\n")

    def test_window_closed_by_the_user(self):
        # The browser reports unasked and closes: that ends the session normally.
        # stdin stays open, so the report is the only thing that can end the session.
        env = dict(os.environ, FAKE_MODE="window-closed", FAKE_LOG=self.log)
        tool = subprocess.Popen([TOOL, "--pipe", self.sock, "--browser", FAKE, "--timeout", "5"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        out = tool.stdout.read()
        err = tool.stderr.read()
        tool.wait(timeout=60)
        tool.stdin.close()
        self.assertEqual(tool.returncode, 0, err)
        self.assertEqual(out, "GEOMETRY 5 6 7 8\n")
        self.assertEqual(self.fake_log()["received"], "")

    def test_connection_lost(self):
        result = self.run_tool("-c", "SHOW", "-c", "ISHIDDEN", mode="close-early")
        self.assertEqual(result.returncode, EXIT_LOST, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assert_one_line_error(result)

    def test_unexpected_reply(self):
        result = self.run_tool("-c", "ISHIDDEN", mode="garbage")
        self.assertEqual(result.returncode, EXIT_LOST, result.stderr)
        self.assertIn("unexpected reply", result.stderr)

    def test_browser_that_does_not_exit_is_killed(self):
        result = self.run_tool("-c", "QUIT", mode="no-exit", timeout=1)
        self.assertEqual(result.returncode, EXIT_STUCK, result.stderr)
        self.assertEqual(result.stdout, "GEOMETRY 10 20 610 820\n")

    # --- --wait-url ----------------------------------------------------------------------

    def test_wait_url_polls_until_the_prefix_matches(self):
        result = self.run_tool("-c", "LOAD http://127.0.0.1/done", "--wait-url",
                               "http://127.0.0.1/do", "-c", "GETURL",
                               env={"FAKE_STALE_GETURLS": "3", "FAKE_START_URL": "data:x"})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "GETURL http://127.0.0.1/done\nGEOMETRY 10 20 610 820\n")
        self.assertGreaterEqual(self.fake_log()["received"].count("GETURL;"), 5)

    def test_wait_url_timeout(self):
        result = self.run_tool("--wait-url", "http://127.0.0.1/never", "-c", "SHOW",
                               env={"FAKE_START_URL": "data:x"})
        self.assertEqual(result.returncode, EXIT_WAIT_URL, result.stderr)
        self.assertIn('(last: "data:x")', result.stderr)
        self.assertEqual(result.stdout, "GEOMETRY 10 20 610 820\n")
        self.assertNotIn("SHOW;", self.fake_log()["received"])

    # --- --wait-load and --events ---------------------------------------------------------

    def test_wait_load_takes_the_load_event_and_prints_events(self):
        # GETURL never shows the page here: only the event can end the wait.
        events = os.path.join(self.dir, "events.jsonl")
        result = self.run_tool("-c", "LOAD http://127.0.0.1/done", "--wait-load",
                               "http://127.0.0.1/do", "-c", "ISHIDDEN", "--events=" + events,
                               env={"FAKE_EVENTS": "1", "FAKE_STALE_GETURLS": "1000"})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "ISHIDDEN 1\nGEOMETRY 10 20 610 820\n")
        self.assertEqual(self.fake_log()["received"],
                         "LOAD http://127.0.0.1/done;ISHIDDEN;QUIT;")
        self.assertIn("--events-pipe=" + self.sock + "-events", self.fake_log()["argv"])
        with open(events) as f:
            self.assertEqual([json.loads(line) for line in f],
                             [{"event": "title", "title": 'fake "quoted"'},
                              {"event": "load", "url": "http://127.0.0.1/done"}])

    def test_wait_load_polls_a_browser_without_events(self):
        result = self.run_tool("-c", "LOAD http://127.0.0.1/done", "--wait-load",
                               "http://127.0.0.1/do", "-c", "GETURL",
                               env={"FAKE_STALE_GETURLS": "3", "FAKE_START_URL": "data:x"})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "GETURL http://127.0.0.1/done\nGEOMETRY 10 20 610 820\n")
        self.assertGreaterEqual(self.fake_log()["received"].count("GETURL;"), 5)

    def test_wait_load_timeout(self):
        result = self.run_tool("--wait-load", "http://127.0.0.1/never", "-c", "SHOW",
                               env={"FAKE_EVENTS": "1"})
        self.assertEqual(result.returncode, EXIT_WAIT_URL, result.stderr)
        self.assert_one_line_error(result)
        self.assertEqual(result.stdout, "GEOMETRY 10 20 610 820\n")
        self.assertEqual(self.fake_log()["received"], "QUIT;")

    # --- signals -------------------------------------------------------------------------

    def test_sigint_ends_the_session_with_quit(self):
        env = dict(os.environ, FAKE_MODE="protocol", FAKE_LOG=self.log)
        tool = subprocess.Popen([TOOL, "--pipe", self.sock, "--browser", FAKE, "--timeout", "5"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        tool.stdin.write("ISHIDDEN\n")
        tool.stdin.flush()
        self.assertEqual(tool.stdout.readline(), "ISHIDDEN 1\n")  # the session is up
        tool.send_signal(signal.SIGINT)
        out, err = tool.communicate(timeout=60)
        self.assertEqual(tool.returncode, 0, err)
        self.assertEqual(out, "GEOMETRY 10 20 610 820\n")
        self.assertEqual(self.fake_log()["received"], "ISHIDDEN;QUIT;")


if __name__ == "__main__":
    unittest.main()
