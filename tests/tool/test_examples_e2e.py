"""The controller examples in docs/examples, run as documented against the real browser."""
import os
import shutil
import subprocess
import unittest

import e2e_support
from e2e_support import GEOMETRY, REPO, browser_path

EXAMPLES = os.path.join(REPO, "docs", "examples")


def setUpModule():
    e2e_support.start()


def tearDownModule():
    e2e_support.stop()


class Examples(unittest.TestCase):
    def run_example(self, interpreter, script):
        if shutil.which(interpreter) is None:
            self.skipTest(interpreter + " is not installed")
        url = e2e_support.server.url("/hello")
        result = subprocess.run(
            [interpreter, os.path.join(EXAMPLES, script), url, browser_path(), "--no-sandbox"],
            capture_output=True, text=True, env=e2e_support.display.env(), timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "GETURL " + url, result.stdout)
        self.assertRegex(lines[1], GEOMETRY)
        self.assertEqual(len(lines), 2, result.stdout)

    def test_python_example(self):
        self.run_example("python3", "controller.py")

    def test_node_example(self):
        self.run_example("node", "controller.js")


if __name__ == "__main__":
    unittest.main()
