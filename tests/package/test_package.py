"""The Debian package as a user gets it: built by CPack, unpacked with dpkg -x, its programs
run from there, its manual pages read with man, lintian's verdict. Needs TRB_BUILD_DIR, TRB_SOURCE_DIR,
TRBROWSER_VERSION and a DISPLAY (scripts/with-display.sh)."""
import glob, os, re, shutil, subprocess, sys, tempfile, unittest

BUILD, SOURCE, VERSION = (os.environ[k]
                          for k in ("TRB_BUILD_DIR", "TRB_SOURCE_DIR", "TRBROWSER_VERSION"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from fixture import noise  # noqa: E402

work = tempfile.mkdtemp(prefix="trb-package-")
BARE = {k: v for k, v in os.environ.items()
        if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kw)


def usr(path):
    return os.path.join(work, "root", "usr", path)


def documented(heading):  # the switches in the README's table under `heading`
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        section = f.read().split(heading + "\n", 1)[1]
    return set(re.findall(r"^\| `(--?[-\w]+)", re.split(r"\n##", section)[0], re.M))


def setUpModule():
    global deb
    subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", work],
                   check=True, stdout=subprocess.DEVNULL)
    [deb] = glob.glob(os.path.join(work, "*.deb"))
    subprocess.run(["dpkg", "-x", deb, os.path.join(work, "root")], check=True)


def tearDownModule():
    shutil.rmtree(work, ignore_errors=True)


PROGRAMS = {"trbrowser": "## Command-line switches of the browser", "trbrowserctl": "### Options"}


class PackageTest(unittest.TestCase):
    def test_fields_and_files(self):
        self.assertEqual(os.path.basename(deb), "trbrowser_%s_amd64.deb" % VERSION)
        fields = run("dpkg-deb", "-f", deb, "Version", "Depends", "Recommends").stdout
        self.assertRegex(fields, r"Version: %s\nDepends: .*libqt6webenginewidgets6 \(>= .*\n"
                         r"Recommends: .*qt6-wayland" % re.escape(VERSION))
        for path in ("bin/trbrowser", "bin/trbrowserctl", "share/doc/trbrowser/copyright",
                     "share/doc/trbrowser/changelog.gz", "share/doc/trbrowser/protocol.md",
                     "share/doc/trbrowser/examples/controller.py",
                     "share/icons/hicolor/256x256/apps/trbrowser.png"):
            self.assertTrue(os.path.isfile(usr(path)), path)
        for program in PROGRAMS:  # runs from /usr, not from the build tree
            self.assertNotRegex(run("readelf", "-d", usr("bin/" + program)).stdout, "R(UN)?PATH")

    def test_version_help_and_manual_page(self):
        for program, heading in PROGRAMS.items():
            with self.subTest(program=program):
                # No display and no toolkit platform: only a program that starts nothing answers.
                env = dict(BARE, QT_QPA_PLATFORM="no-such-platform")
                r = run(usr("bin/" + program), "--version", env=env)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (0, "%s %s\n" % (program, VERSION), ""))
                r = run(usr("bin/" + program), "--help", env=env)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertIn("man " + program, r.stdout)
                man = run("man", "--warnings", "-E", "UTF-8", "-l",
                          usr("share/man/man1/%s.1.gz" % program),
                          env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual((man.returncode, man.stderr), (0, ""))
                self.assertTrue(man.stdout.startswith(program.upper() + "(1)"))
                self.assertIn("trbrowser " + VERSION, man.stdout)
                self.assertNotRegex(man.stdout, r"@(body|section|lead|VERSION|DOCDIR)")
                for switch in documented(heading):  # every documented switch in both
                    self.assertIn(switch, r.stdout)
                    self.assertIn(switch, man.stdout)

    def test_a_session_with_the_installed_programs_is_quiet(self):
        page = "data:text/html,installed"
        r = run(usr("bin/trbrowserctl"), "--pipe", os.path.join(work, "ctl"), "--timeout", "60",
                "-c", "LOAD " + page, "--wait-url", page, "-c", "ISHIDDEN", "--",
                *(["--no-sandbox"] if os.geteuid() == 0 else []),
                env=dict(BARE, DISPLAY=os.environ["DISPLAY"]), cwd=work)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^ISHIDDEN 1\nGEOMETRY -?\d+ -?\d+ -?\d+ -?\d+\n$")
        self.assertEqual(noise(r.stderr), [])  # no complaint about a missing XDG_RUNTIME_DIR

    def test_lintian_finds_no_errors(self):
        r = run("lintian", "--fail-on", "error", "--tag-display-limit", "0", deb)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
