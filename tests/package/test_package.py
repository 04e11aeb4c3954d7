"""The Debian package as a user gets it: built by CPack from the build tree, unpacked into a
scratch root with dpkg -x, its programs run from there (help, version, a controller session
against the installed browser), its manual pages rendered by man, and lintian's verdict.

Environment: TRB_BUILD_DIR (the configured and built tree), TRB_SOURCE_DIR, TRBROWSER_VERSION;
DISPLAY for the session (scripts/with-display.sh provides one).
"""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import sys
import unittest

BUILD = os.environ["TRB_BUILD_DIR"]
SOURCE = os.environ["TRB_SOURCE_DIR"]
VERSION = os.environ["TRBROWSER_VERSION"]

sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from fixture import noise  # noqa: E402

deb = None
root = None
work = None


def setUpModule():
    global deb, root, work
    work = tempfile.mkdtemp(prefix="trb-package-")
    subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", work],
                   check=True, stdout=subprocess.DEVNULL)
    debs = glob.glob(os.path.join(work, "*.deb"))
    assert len(debs) == 1, debs
    deb = debs[0]
    root = os.path.join(work, "root")
    subprocess.run(["dpkg", "-x", deb, root], check=True)


def tearDownModule():
    if work:
        shutil.rmtree(work, ignore_errors=True)


def installed(*path):
    return os.path.join(root, "usr", *path)


def bare_env(**extra):
    """An environment with no display, no toolkit choice and no runtime directory: what the
    programs must cope with when they only print something."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}
    env.update(extra)
    return env


def readme_table_entries(heading):
    """The first cells of the table under a README heading: the documented switches."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = re.split(r"\n#{2,3} ", text.split("\n" + heading + "\n", 1)[1])[0]
    names = set()
    for line in section.splitlines():
        if line.startswith("| `"):
            names.update(re.findall(r"`(-[-\w]+)", line.split("|")[1]))
    return names


def help_switches(text):
    """The switches --help lists: the first word of each indented option line."""
    names = set()
    for line in text.splitlines():
        match = re.match(r"^  (-[-\w]+)(?:=\w+)?(?:, (--[-\w]+))?", line)
        if match:
            names.update(n for n in match.groups() if n)
    return names


class PackageTest(unittest.TestCase):
    def test_name_fields_and_contents(self):
        self.assertEqual(os.path.basename(deb), "trbrowser_%s_amd64.deb" % VERSION)
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Version", "Depends", "Recommends"],
                                capture_output=True, text=True, check=True).stdout
        print("\n" + fields)
        self.assertIn("Version: " + VERSION, fields)
        # dpkg-shlibdeps's list: the engine's widgets library brings the engine's helper
        # process with it.
        self.assertRegex(fields, r"Depends: .*libqt6webenginewidgets6 \(>= ")
        self.assertRegex(fields, r"Recommends: .*qt6-wayland")
        for path in ("bin/trbrowser", "bin/trbrowserctl",
                     "share/man/man1/trbrowser.1.gz", "share/man/man1/trbrowserctl.1.gz",
                     "share/doc/trbrowser/copyright", "share/doc/trbrowser/changelog.gz",
                     "share/doc/trbrowser/protocol.md", "share/doc/trbrowser/README.md",
                     "share/doc/trbrowser/examples/controller.py",
                     "share/icons/hicolor/256x256/apps/trbrowser.png"):
            self.assertTrue(os.path.isfile(installed(*path.split("/"))), path)

    def test_nothing_points_into_the_build_tree(self):
        for program in ("trbrowser", "trbrowserctl"):
            dynamic = subprocess.run(["readelf", "-d", installed("bin", program)],
                                     capture_output=True, text=True, check=True).stdout
            self.assertNotRegex(dynamic, "RPATH|RUNPATH", program)
        build = os.path.realpath(BUILD).encode()
        for directory, _, files in os.walk(root):
            for name in files:
                with open(os.path.join(directory, name), "rb") as f:
                    self.assertNotIn(build, f.read(), os.path.join(directory, name))

    def test_version_and_help_start_nothing(self):
        # No display and an impossible toolkit platform: only a program that starts nothing
        # can answer.
        env = bare_env(QT_QPA_PLATFORM="no-such-platform")
        for program, heading in (("trbrowser", "## Command-line switches of the browser"),
                                 ("trbrowserctl", "### Options")):
            with self.subTest(program=program):
                r = subprocess.run([installed("bin", program), "--version"], env=env,
                                   capture_output=True, text=True, timeout=10)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (0, "%s %s\n" % (program, VERSION), ""))
                r = subprocess.run([installed("bin", program), "--help"], env=env,
                                   capture_output=True, text=True, timeout=10)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.startswith("Usage: " + program + " "), r.stdout)
                self.assertIn("man " + program, r.stdout)
                self.assertLess(len(r.stdout.splitlines()), 25, "--help is meant to be short")
                # Every switch is documented in both places, and nothing else.
                self.assertEqual(help_switches(r.stdout), readme_table_entries(heading))

    def test_manual_pages_render(self):
        for page, sections, switches in (
                ("trbrowser", ("OPTIONS", "ENVIRONMENT", "SOCKET", "PROTOCOL", "EXIT STATUS"),
                 readme_table_entries("## Command-line switches of the browser")),
                ("trbrowserctl", ("OPTIONS", "EXIT STATUS", "EXAMPLES"),
                 readme_table_entries("### Options"))):
            with self.subTest(page=page):
                r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l",
                                    installed("share", "man", "man1", page + ".1.gz")],
                                   env=dict(os.environ, MANWIDTH="80"),
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.startswith(page.upper() + "(1)"), r.stdout[:200])
                self.assertIn("trbrowser " + VERSION, r.stdout)
                for section in sections:
                    self.assertRegex(r.stdout, r"(?m)^ *%s$" % section)
                for switch in switches:
                    self.assertIn(switch, r.stdout)
                self.assertNotRegex(r.stdout, r"@(body|section|lead|VERSION|DOCDIR)")

    def test_a_session_with_the_installed_programs_is_quiet(self):
        self.assertTrue(os.environ.get("DISPLAY"), "run under scripts/with-display.sh")
        page = "data:text/html,installed"
        switches = ["--no-sandbox"] if os.geteuid() == 0 else []
        r = subprocess.run(
            [installed("bin", "trbrowserctl"), "--pipe", os.path.join(work, "ctl.sock"),
             "--timeout", "60", "-c", "LOAD " + page, "--wait-url", page, "-c", "ISHIDDEN",
             "--"] + switches,
            env=bare_env(DISPLAY=os.environ["DISPLAY"]), cwd=work, capture_output=True,
            text=True, timeout=180)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^ISHIDDEN 1\nGEOMETRY -?\d+ -?\d+ -?\d+ -?\d+\n$")
        # The browser's stderr comes through trbrowserctl's: a start without XDG_RUNTIME_DIR
        # says nothing of its own.
        self.assertEqual(noise(r.stderr), [])

    def test_lintian_finds_no_errors(self):
        r = subprocess.run(["lintian", "--fail-on", "error", "--tag-display-limit", "0", deb],
                           capture_output=True, text=True, timeout=600)
        print("\nlintian:\n" + (r.stdout + r.stderr or "(nothing)\n"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
