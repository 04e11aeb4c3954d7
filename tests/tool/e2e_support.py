"""Shared set-up of the tool's end-to-end tests: the e2e fixture's display and loopback page
server, and the paths of the programs under test."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from fixture import Display, PageServer, browser_path  # noqa: E402

TOOL = os.environ.get("TRBROWSERCTL", os.path.join(REPO, "build", "trbrowserctl"))
GEOMETRY = r"^GEOMETRY -?\d+ -?\d+ -?\d+ -?\d+$"

display = None
server = None


def start():
    global display, server
    display = Display().start()
    server = PageServer()
    server.html("/hello", "<html><head><title>Hello</title></head><body>hello</body></html>")
    server.html("/second", "<html><head><title>Second</title></head><body>second</body></html>")
    return display, server


def stop():
    if server:
        server.stop()
    if display:
        display.stop()
