"""trbrowserctl and the examples in docs/examples driving the real trbrowser under a display."""
import json, os, shutil, signal, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from fixture import GEOMETRY, REPO, Display, PageServer, browser_path, html  # noqa: E402

TOOL = os.environ.get("TRBROWSERCTL", os.path.join(REPO, "build", "trbrowserctl"))
display = server = None

def setUpModule():
    global display, server
    display, server = Display().start(), PageServer()
    server.html("/hello", html("Hello", "hello"))

def tearDownModule():
    server.stop()
    display.stop()

class ToolAgainstBrowser(unittest.TestCase):
    def run_tool(self, *args, stdin=None, popen=False):
        work = tempfile.mkdtemp(prefix="trbctl-e2e-")
        self.addCleanup(shutil.rmtree, work)
        # The tool leaves no socket file behind.
        self.addCleanup(lambda: self.assertEqual(os.listdir(work), []))
        cmd = [TOOL, "--pipe", os.path.join(work, "ctl.sock"), "--browser", browser_path(),
               "--timeout", "60", *args, "--", "--no-sandbox"]
        if popen:
            return subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True, env=display.env())
        r = subprocess.run(cmd, input=stdin, capture_output=True, text=True, env=display.env(),
                           timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.splitlines()

    def test_scripted_session_with_waits_and_events(self):
        url, events = server.url("/hello"), os.path.join(tempfile.mkdtemp(), "events.jsonl")
        self.addCleanup(shutil.rmtree, os.path.dirname(events))
        lines = self.run_tool("--wait-url", "data:text/html;base64,", "-c", "GETURL",
                              "-c", "LOAD " + url, "--wait-load", url, "-c", "GETURL",
                              "-c", "ISHIDDEN", "-c", "SHOW", "-c", "ISHIDDEN", "-c", "load x",
                              "-c", "QUIT", "--events=" + events)
        self.assertTrue(lines[0].startswith("GETURL data:text/html;base64,"), lines)
        # Loaded means committed: GETURL already shows the page.
        self.assertEqual(lines[1:5], ["GETURL " + url, "ISHIDDEN 1", "ISHIDDEN 0",
                                      "ERROR Syntax Error: load x"])
        self.assertRegex(lines[5], GEOMETRY)
        self.assertEqual(len(lines), 6, lines)
        with open(events) as f:
            got = [json.loads(line) for line in f]
        self.assertLess(got.index({"event": "url", "url": url}),
                        got.index({"event": "load", "url": url}))

    def test_stdin_session_ends_at_eof(self):
        # GEOMETRY hides the window, and the final report gives its rectangle back.
        lines = self.run_tool(stdin="LOAD %s\nGEOMETRY 100 200 700 1000;ISHIDDEN\n\nbad\n"
                              % server.url("/hello"))
        self.assertEqual(lines, ["ISHIDDEN 1", "ERROR Syntax Error: bad",
                                 "GEOMETRY 100 200 700 1000"])

    def test_interrupt_ends_the_session_cleanly(self):
        tool = self.run_tool(popen=True)
        tool.stdin.write("LOAD %s\nSHOW\nISHIDDEN\n" % server.url("/hello"))
        tool.stdin.flush()
        self.assertEqual(tool.stdout.readline(), "ISHIDDEN 0\n")
        tool.send_signal(signal.SIGINT)
        out, err = tool.communicate(timeout=120)
        self.assertEqual(tool.returncode, 0, err)
        self.assertRegex(out.strip(), GEOMETRY)

    def test_examples(self):
        for interpreter, script in (("python3", "controller.py"), ("node", "controller.js")):
            with self.subTest(script):
                if shutil.which(interpreter) is None:
                    self.skipTest(interpreter + " is not installed")
                url = server.url("/hello")
                r = subprocess.run([interpreter, os.path.join(REPO, "docs", "examples", script),
                                    url, browser_path(), "--no-sandbox"], capture_output=True,
                                   text=True, env=display.env(), timeout=300)
                self.assertEqual(r.returncode, 0, r.stderr)
                lines = r.stdout.splitlines()
                self.assertEqual((lines[0], len(lines)), ("GETURL " + url, 2), r.stdout)
                self.assertRegex(lines[1], GEOMETRY)

if __name__ == "__main__":
    unittest.main()
