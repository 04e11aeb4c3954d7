"""trbrowserctl driving the real trbrowser under Xvfb + openbox, against loopback pages."""
import json
import os
import signal
import subprocess
import tempfile
import unittest

import e2e_support
from e2e_support import GEOMETRY, TOOL, browser_path


def setUpModule():
    e2e_support.start()


def tearDownModule():
    e2e_support.stop()


class ToolAgainstBrowser(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trbctl-e2e-")
        self.sock = os.path.join(self.dir, "ctl.sock")
        self.env = e2e_support.display.env()

    def tearDown(self):
        os.rmdir(self.dir)  # the tool leaves no socket file behind

    def tool_args(self, *args):
        return [TOOL, "--pipe", self.sock, "--browser", browser_path(), "--timeout", "60", *args,
                "--", "--no-sandbox"]

    def test_scripted_session(self):
        url = e2e_support.server.url("/hello")
        result = subprocess.run(
            self.tool_args("-c", "LOAD " + url, "--wait-url", url, "-c", "GETURL", "-c",
                           "ISHIDDEN", "-c", "SHOW", "-c", "ISHIDDEN", "-c", "load x", "-c",
                           "QUIT"),
            capture_output=True, text=True, env=self.env, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[:4], ["GETURL " + url, "ISHIDDEN 1", "ISHIDDEN 0",
                                     "ERROR Syntax Error: load x"], result.stdout)
        self.assertEqual(len(lines), 5, result.stdout)
        self.assertRegex(lines[4], GEOMETRY)

    def test_stdin_session_ends_at_eof(self):
        url = e2e_support.server.url("/hello")
        stdin = "LOAD %s\nGEOMETRY 100 200 700 1000;ISHIDDEN\n\nbad\n" % url
        result = subprocess.run(self.tool_args(), input=stdin, capture_output=True, text=True,
                                env=self.env, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        # GEOMETRY hides the window, and the final report gives its rectangle back.
        self.assertEqual(result.stdout, "ISHIDDEN 1\nERROR Syntax Error: bad\n"
                         "GEOMETRY 100 200 700 1000\n")

    def test_wait_url_for_the_default_page(self):
        # The browser starts on its generated default page, an HTML data: URL.
        result = subprocess.run(
            self.tool_args("--wait-url", "data:text/html;base64,", "-c", "GETURL"),
            capture_output=True, text=True, env=self.env, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 2, result.stdout)
        self.assertTrue(lines[0].startswith("GETURL data:text/html;base64,"), lines[0])
        self.assertRegex(lines[1], GEOMETRY)

    def test_wait_load_with_the_events_in_a_file(self):
        url = e2e_support.server.url("/hello")
        with tempfile.TemporaryDirectory() as out:
            events = os.path.join(out, "events.jsonl")
            result = subprocess.run(
                self.tool_args("-c", "LOAD " + url, "--wait-load", url, "-c", "GETURL",
                               "--events=" + events),
                capture_output=True, text=True, env=self.env, timeout=300)
            with open(events) as f:
                got = [json.loads(line) for line in f]
        self.assertEqual(result.returncode, 0, result.stderr)
        # Loaded means committed: GETURL already shows the page.
        self.assertEqual(result.stdout.splitlines()[0], "GETURL " + url, result.stdout)
        self.assertIn({"event": "url", "url": url}, got)
        self.assertIn({"event": "load", "url": url}, got)
        self.assertLess(got.index({"event": "url", "url": url}),
                        got.index({"event": "load", "url": url}))

    def test_interrupt_ends_the_session_cleanly(self):
        url = e2e_support.server.url("/hello")
        tool = subprocess.Popen(self.tool_args(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=self.env)
        tool.stdin.write("LOAD %s\nSHOW\nISHIDDEN\n" % url)
        tool.stdin.flush()
        self.assertEqual(tool.stdout.readline(), "ISHIDDEN 0\n")
        tool.send_signal(signal.SIGINT)
        out, err = tool.communicate(timeout=120)
        self.assertEqual(tool.returncode, 0, err)
        self.assertRegex(out.strip(), GEOMETRY)


if __name__ == "__main__":
    unittest.main()
