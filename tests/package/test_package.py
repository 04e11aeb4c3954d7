"""The Debian package as a user gets it: built by CPack, unpacked with dpkg -x, its programs and
examples run from there, its manual pages read with man, lintian's verdict (which also holds the
copyright, the changelog and no RPATH)."""
import functools, glob, json, os, pathlib, re, shutil, subprocess, sys, tempfile, unittest

BUILD, SOURCE, VERSION = (os.environ[k]
                          for k in ("TRB_BUILD_DIR", "TRB_SOURCE_DIR", "TRBROWSER_VERSION"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from fixture import GEOMETRY, PageServer, noise  # noqa: E402

work = tempfile.mkdtemp(prefix="trb-package-")
usr = functools.partial(os.path.join, work, "root", "usr")
BARE = {k: v for k, v in os.environ.items()
        if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}
PROGRAMS = {"trbrowser": "## Command-line switches of the browser", "trbrowserctl": "### Options"}
SANDBOX = ["--no-sandbox"] if os.geteuid() == 0 else []

def run(*args, env=BARE):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, env=env, cwd=work)

def setUpModule():
    global deb
    unittest.addModuleCleanup(shutil.rmtree, work, ignore_errors=True)
    subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", work],
                   check=True, stdout=subprocess.DEVNULL)
    [deb] = glob.glob(os.path.join(work, "*.deb"))
    subprocess.run(["dpkg", "-x", deb, os.path.join(work, "root")], check=True)

class PackageTest(unittest.TestCase):
    def test_version_help_and_manual_page(self):
        readme = pathlib.Path(SOURCE, "README.md").read_text(encoding="utf-8")
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
                          usr("share/man/man1/%s.1.gz" % program), env=dict(BARE, MANWIDTH="80"))
                self.assertEqual((man.returncode, man.stderr), (0, ""))
                self.assertTrue(man.stdout.startswith(program.upper() + "(1)"))
                self.assertIn("trbrowser " + VERSION, man.stdout)
                self.assertNotRegex(man.stdout, r"@(body|section|lead|VERSION|DOCDIR)")
                table = re.split(r"\n##", readme.split(heading + "\n", 1)[1])[0]
                for switch in re.findall(r"^\| `(--?[-\w]+)", table, re.M):  # documented: in both
                    self.assertIn(switch, r.stdout)
                    self.assertIn(switch, man.stdout)

    # A session and the examples, quiet without XDG_RUNTIME_DIR. Loaded means committed: GETURL
    # already shows the page. GEOMETRY hides the window; the final report gives it back.
    def test_sessions_with_the_installed_programs_and_examples(self):
        server = PageServer()
        self.addCleanup(server.stop)
        server.html("/hello", "<title>Hello</title>hello")
        url, env = server.url("/hello"), dict(BARE, DISPLAY=os.environ["DISPLAY"])
        ctl, events = os.path.join(work, "ctl"), os.path.join(work, "events")
        r = run(usr("bin/trbrowserctl"), "--pipe", ctl, "--timeout", "60", "-c", "LOAD " + url,
                "--wait-load", url, "-c", "GETURL;ISHIDDEN;SHOW;ISHIDDEN", "-c", "load x", "-c",
                "GEOMETRY 100 200 700 1000;ISHIDDEN", "--events=" + events, "--", *SANDBOX, env=env)
        self.assertEqual((r.returncode, noise(r.stderr)), (0, []), r.stderr)
        self.assertEqual(r.stdout.splitlines(), ["GETURL " + url, "ISHIDDEN 1", "ISHIDDEN 0",
                                                 "ERROR Syntax Error: load x", "ISHIDDEN 1",
                                                 "GEOMETRY 100 200 700 1000"])
        with open(events) as f:
            got = [json.loads(line) for line in f]
        self.assertLess(got.index({"event": "url", "url": url}),
                        got.index({"event": "load", "url": url}))
        self.assertFalse(os.path.exists(ctl))  # no socket left behind
        for interpreter, script in (("python3", "controller.py"), ("node", "controller.js")):
            with self.subTest(script):
                if shutil.which(interpreter) is None:
                    self.skipTest(interpreter + " is not installed")
                r = run(interpreter, usr("share/doc/trbrowser/examples/" + script), url,
                        usr("bin/trbrowser"), *SANDBOX, env=env)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertRegex(r.stdout, "^GETURL %s\n%s\n$" % (re.escape(url), GEOMETRY.pattern))

    def test_fields_files_and_lintian(self):
        self.assertEqual(os.path.basename(deb), "trbrowser_%s_amd64.deb" % VERSION)
        fields = run("dpkg-deb", "-f", deb, "Version", "Depends", "Recommends").stdout
        self.assertRegex(fields, r"Version: %s\nDepends: .*libqt6webenginewidgets6 \(>= .*\n"
                         r"Recommends: .*qt6-wayland" % re.escape(VERSION))
        for path in ("doc/trbrowser/protocol.md", "icons/hicolor/256x256/apps/trbrowser.png"):
            self.assertTrue(os.path.isfile(usr("share/" + path)), path)
        r = run("lintian", "--fail-on", "error", "--tag-display-limit", "0", deb)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
