"""What only load finds, in short form: a flood and hostile input from the controller and from
pages, the controller dying at any moment, bursts of window commands while the window closes,
helper processes dying, and a short soak. Every browser ends with exit 0 and leaves no helper
process behind."""

import os, random, re, select, signal, socket, sys, threading, time, unittest

sys.path[:0] = [os.path.join(os.path.dirname(__file__), p) for p in ("../e2e", "../../bench")]
from fixture import GEOMETRY, Browser, Display, PageServer, Reader, become_subreaper, html  # noqa
from fixture import page_text, proc_status_field, wait_for  # noqa: E402

display = server = None
RED = "background:#ff0000"

def setUpModule():
    global display, server
    become_subreaper()
    display, server = Display().start(), PageServer()
    for path in ("/red", "/crashy", "/other", "/ok"):
        server.html(path, html("Red", path, RED))
    server.html("/popups", html("Popups", "<script>setInterval(() => window.open('/ok'), 20)"
                                "</script>"))
    server.html("/big-title", html("T" * (1 << 20)))
    server.html("/sound", html("Sound", "<audio src='/tone.wav' autoplay loop></audio>", RED))
    tone = bytes(int(128 + 20 * ((i // 50) % 2)) for i in range(8000 * 30))
    server.pages["/tone.wav"] = (200, {"Content-Type": "audio/wav"}, b"RIFF" + (36 + len(
        tone)).to_bytes(4, "little") + b"WAVEfmt \x10\0\0\0\x01\0\x01\0@\x1f\0\0@\x1f\0\0\x01\0"
        b"\x08\0data" + len(tone).to_bytes(4, "little") + tone)
    server.html("/opener", html("Opener", "<script>window.open('/blue')</script>", RED))
    server.html("/blue", html("Blue", "", "background:#0000ff"))

def tearDownModule():
    server.stop()
    display.stop()

class Base(unittest.TestCase):
    def start(self, *args, ready=True, **kwargs):
        b = Browser(display, args, **kwargs)
        self.addCleanup(b.close)
        return b.ready() if ready else b.accept()

    def ended_cleanly(self, b, timeout=30):
        self.assertEqual(b.wait_exit(timeout), 0, b.stderr()[-2000:])
        wait_for(lambda: not b.left_behind(), what="no helper left behind")

    def show(self, b, path, host="127.0.0.1"):
        url = server.url(path, host=host)
        b.send("LOAD %s;SHOW;" % url)
        try:
            return b.wait_url(lambda u: u == url, what=path)
        except AssertionError as e:  # what the engine said helps more than where it stayed
            raise AssertionError("%s\nbrowser stderr: %s" % (e, b.stderr()[-3000:])) from None

    def painted(self, b, colour="FF0000", wid=None):
        wait_for(lambda: b.pixel(wid or b.main_window(), 300, 300) == colour, what=colour)

# Anything but ';' and the zero byte (it drops its read's rest); pieces start with '#', no command.
GARBAGE = bytes(b for b in range(1, 256) if b != ord(";"))

def flood(total, rng):
    """(command, the exact reply it must get) pairs."""
    out, size = [], 0
    while size < total:
        kind, n = rng.random(), rng.choice([1, 20, 300, 2046, 2047, 2048, 5000, 30000])
        piece = b"#" + bytes(rng.choice(GARBAGE) for _ in range(min(n, 64))) * max(1, n // 64)
        out.append((piece, b"ERROR Syntax Error: " + piece) if kind < 0.4 else
                   (b"ISHIDDEN", b"ISHIDDEN 1") if kind < 0.85 else
                   (b"show", b"ERROR Syntax Error: show"))  # wrong case: refused
        size += len(out[-1][0]) + 1
    return out

def cuts(commands, body):
    """How many commands a read boundary cut into several syntax errors; raises where the
    stream has anything else."""
    pos = cut = 0
    prefix = b"ERROR Syntax Error: "
    for index, (piece, reply) in enumerate(commands):
        if body.startswith(reply, pos):
            pos += len(reply)
            continue
        cut, rest = cut + 1, piece
        while rest:
            assert body.startswith(prefix, pos), "command %d: %r" % (index, body[pos:pos + 60])
            pos += len(prefix)
            k = 0
            while k < len(rest) and pos + k < len(body) and body[pos + k] == rest[k]:
                k += 1
            assert k, "command %d: quotes something else: %r" % (index, body[pos:pos + 60])
            pos, rest = pos + k, rest[k:]
    assert pos == len(body), "replies left over: %r" % body[pos:pos + 60]
    return cut

class ControllerInput(Base):
    def test_flood_is_answered_in_order_in_bounded_memory(self):
        b = self.start()
        time.sleep(1)  # start-up settles before the baseline
        baseline = peak = int(proc_status_field(b.proc.pid, "VmRSS").split()[0])
        commands = flood(int(os.environ.get("TRBROWSER_STRESS_FLOOD_MB", "12")) << 20,
                         random.Random(6))
        reader = Reader(b.conn)
        sender = threading.Thread(target=lambda: b.send(b"".join(c + b";" for c, _ in commands)
                                                        + b"ISHIDDEN;QUIT;ISHIDDEN;"))
        sender.start()
        while sender.is_alive() or not reader.done.is_set() and b.proc.poll() is None:
            peak = max(peak, int((proc_status_field(b.proc.pid, "VmRSS") or "0 kB").split()[0]))
            time.sleep(0.05)
        self.ended_cleanly(b, timeout=120)
        # Replies are written as they are made and a command's carried tail is capped at 4 MiB;
        # the margin is the engine's own growth while idle.
        self.assertLessEqual(peak, baseline + 96 * 1024)
        self.assertTrue(reader.done.wait(30))
        data = reader.data()
        report = re.compile(GEOMETRY.pattern.encode() + b"$").search(data)
        self.assertTrue(report and data[:report.start()].endswith(b"ISHIDDEN 1"), data[-200:])
        # A command stays whole while its bytes keep coming; a loaded machine may cut one or
        # two at the browser's grace time, a broken join cuts hundreds.
        self.assertLessEqual(cuts(commands, data[:report.start() - 10]), 2)

    def test_hostile_bytes_urls_lists_and_pages(self):
        b = self.start()
        for tail in (b"\xff\xfe\x80", b"\x01\x02\x7f\x1b[2J", b"\xc3\x28\xed\xa0\x80", b"\xf4\x90"):
            b.send(b"LOAD " + server.url("/ok?").encode() + tail + b";")
            self.assertIsInstance(b.geturl(), str)  # answered, whatever the engine made of it
        b.send(b"LOAD \xff\xfe;")
        b.geturl()
        patterns = ["http://host%d\\.example:%d" % (i, i) for i in range(5000)]
        patterns += ["(", "[", "a{2,1}", "\\", "(?<x>a)", "*", "(a*)*\\1b", server.url("/ok")]
        b.send("SET-ALLOWED-ORIGINS %s;LOAD %s;" % ("|".join(patterns), server.url("/ok")))
        b.wait_url(lambda u: u == server.url("/ok"), what="the allowed page")
        b.send("LOAD %s;" % server.url("/elsewhere"))
        b.wait_url(lambda u: "Access Denied" in page_text(u), what="Access Denied")
        b.send("SET-ALLOWED-ORIGINS;")
        self.show(b, "/big-title")
        b.send("LOAD %s;" % server.url("/popups"))
        wait_for(lambda: len(b.windows(title="Red")) > 5, what="popups")
        self.assertIsInstance(b.ishidden(), bool)
        # A LOAD arriving in pieces is partly answered with syntax errors as long as the pieces.
        reader = Reader(b.conn)
        b.send("LOAD %s;ISHIDDEN;" % server.url("/ok?" + "a" * (2 << 20)))
        wait_for(lambda: re.search(rb"ISHIDDEN [01]$", reader.data()), what="an answer after 2 MB")
        b.send("QUIT;")
        self.ended_cleanly(b)
        self.assertTrue(reader.done.wait(30) and GEOMETRY.search(reader.data().decode("latin-1")))

    def test_controller_dies_at_any_moment(self):
        def mid_command(b, i):
            b.send("SHOW;LOAD %s%s" % (server.url("/ok?"), "x" * (5000 if i else 10)))

        def between_commands(b, i):
            b.send("SHOW;")
            self.assertFalse(b.ishidden())

        def while_replies_are_written(b, i):
            # Replies as long as the commands: 1 MB of them read, then no more, while sending
            # until both directions are full: the browser is blocked inside a reply.
            b.conn.setblocking(False)
            payload, sent, got, stalled = (b"#" + b"g" * 60000 + b";") * 400, 0, 0, 0
            while stalled < 20 and sent < len(payload):
                if select.select([], [b.conn], [], 0.05)[1]:
                    sent += b.conn.send(payload[sent:sent + 65536])
                    stalled = 0
                elif got >= 1 << 20:
                    stalled += 1
                while got < 1 << 20 and select.select([b.conn], [], [], 0)[0]:
                    got += len(b.conn.recv(65536) or self.fail("closed by the browser"))
            self.assertGreaterEqual(got, 1 << 20)

        for die in (mid_command, between_commands, while_replies_are_written):
            for i in (0, 1):
                with self.subTest(die.__name__, reset=bool(i)):
                    b = self.start(ready=False)
                    die(b, i)
                    if i:  # dying with data unread: the close is a reset
                        b.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                    b.conn.close()
                    b.conn = None
                    self.ended_cleanly(b)

class WindowBursts(Base):
    def test_bursts_while_the_window_closes(self):
        """Random window commands until the window manager closes the window or QUIT comes:
        the replies to the queries, then one final report, the last thing on the pipe."""
        words = ["SHOW", "HIDE", "GEOMETRY 40 50 400 600", "GEOMETRY 10 20 300 500", "NORESIZE",
                 "ISHIDDEN", "SHOW"]
        for i in range(int(os.environ.get("TRBROWSER_STRESS_BURSTS", "6"))):
            with self.subTest(cycle=i, closed_by="QUIT" if i % 2 else "window manager"):
                b, rng, stop = self.start(ready=False), random.Random(i), threading.Event()
                closing = threading.Event()
                wid = b.main_window()
                b.send("SHOW;")
                reader = Reader(b.conn)

                def burst():
                    # Calm once closing: a loaded window manager drops a close for a window an
                    # unmap has just taken from it, and may never reach one behind a flood.
                    calm = False
                    try:
                        while not stop.is_set():
                            if closing.is_set() and not calm:
                                calm = True
                                b.send("SHOW;")
                            pool = ["ISHIDDEN"] * 9 + ["NORESIZE"] if calm else words
                            b.send(";".join(rng.choices(pool, k=rng.randint(1, 40))) + ";")
                            time.sleep(rng.random() * 0.01)
                    except OSError:
                        pass  # the browser has gone
                sender = threading.Thread(target=burst)
                sender.start()
                time.sleep(0.05 + 0.05 * i)
                if i % 2:
                    stop.set()
                    sender.join()
                    b.send("QUIT;SHOW;ISHIDDEN;")
                else:  # the commands keep coming while the window manager closes the window
                    closing.set()
                    b.wm_close_until(wid, lambda: b.proc.poll() is not None, what="closed")
                self.ended_cleanly(b)
                stop.set()
                self.assertTrue(reader.done.wait(30))
                self.assertRegex(reader.data().decode(), r"^(ISHIDDEN [01])*GEOMETRY -?\d+ -?\d+ "
                                 r"-?\d+ -?\d+$")

class HelperDeath(Base):
    def kill(self, b, kind, flowing=True):
        """Kills the helpers of a kind, while commands keep flowing and being answered."""
        pids = wait_for(lambda: b.helpers(kind), what="a " + kind)
        for i in range(20 if flowing else 1):
            if i == 5 or not flowing:
                for pid in pids:
                    os.kill(pid, signal.SIGKILL)
            if flowing:
                b.send("HIDE;" if i % 2 else "SHOW;")
                self.assertEqual(b.ishidden(), bool(i % 2))
        b.send("SHOW;")

    def test_each_kind_of_helper_dies(self):
        b = self.start()
        b.send("SET-ALLOWED-ORIGINS http://127.0.0.1:%d;" % server.port)
        self.show(b, "/red")
        self.kill(b, "renderer")
        url = b.wait_url(lambda u: "Failed to Load URL" in page_text(u), what="Load Error")
        self.assertIn("net::ERR_FAILED (the page&#39;s renderer process", page_text(url))
        b.send("LOAD %s;" % server.url("/other", host="localhost"))  # the list still holds
        b.wait_url(lambda u: "Access Denied" in page_text(u), what="Access Denied")
        b.send("SET-ALLOWED-ORIGINS;")
        self.show(b, "/sound")
        self.kill(b, "utility:AudioService")
        b.send("RELOAD;")
        wait_for(lambda: b.helpers("utility:AudioService"), what="a new audio service")
        self.show(b, "/other", host="localhost")
        self.painted(b)
        # Without the sandbox, as here, the zygotes' renderers live on; the unsandboxed zygote
        # gone, another site still gets a renderer; the zygote gone, none can start.
        self.kill(b, "zygote-unsandboxed")
        self.show(b, "/opener")
        popup = wait_for(lambda: b.windows(title="Blue"), what="popup")[0]
        self.painted(b, "0000FF", popup)
        b.wm_close_until(popup, lambda: not b.windows(title="Blue"), what="popup closed")
        self.show(b, "/red")
        self.kill(b, "zygote")
        self.show(b, "/ok")
        self.painted(b)
        b.quit()
        self.ended_cleanly(b)

    def test_network_service_and_reload_after_crash(self):
        # The network service runs out of process only under an engine switch.
        b = self.start("--reload-after-crash=2", "--disable-features=NetworkServiceInProcess,"
                       "NetworkServiceInProcess2", events=True)
        b.events.read()
        url = self.show(b, "/red")
        self.kill(b, "utility:NetworkService")
        self.show(b, "/other")
        self.painted(b)
        url = self.show(b, "/red")
        b.events.wait({"event": "load", "url": url})
        self.kill(b, "renderer", flowing=False)
        b.events.wait({"event": "renderer-gone", "status": "killed"})
        b.events.wait({"event": "load", "url": url}, what="the page reloaded")
        self.painted(b)
        self.show(b, "/ok")
        ok = server.requests.count("/ok")
        self.kill(b, "renderer", flowing=False)
        b.wait_url(lambda u: "Failed to Load URL" in page_text(u), what="Load Error")
        self.show(b, "/other")  # cancels the reload that was waiting
        url, crashy = self.show(b, "/crashy"), server.requests.count("/crashy")
        for _ in range(3):  # two more reloads make three in the window, then no more
            b.wait_url(lambda u: u == url, what="the page")
            self.kill(b, "renderer", flowing=False)
            b.wait_url(lambda u: "Failed to Load URL" in page_text(u), what="Load Error")
        time.sleep(4)  # twice the reload delay: a reload would have come by now
        self.assertIn("Failed to Load URL", page_text(b.geturl()))
        self.assertEqual((server.requests.count("/crashy") - crashy, server.requests.count("/ok")),
                         (2, ok))
        b.quit()
        self.ended_cleanly(b)

class Soak(unittest.TestCase):
    def test_counts_stay_flat_once_warm(self):
        # bench/soak.py's mix, short: descriptors, helpers and X windows stay flat once warm.
        import soak
        lines = []
        samples, _ = soak.run(display, steps=int(os.environ.get("TRBROWSER_SOAK_STEPS", "100")),
                              sample_every=25, seed=7, warmup=25, idle=0, out=lines.append)
        first, *rest = [s for step, s in samples if step >= 25]
        for s in rest:
            self.assertLessEqual(s["fds"], first["fds"] + 6, lines)
            self.assertLessEqual((s["procs"], s["xwindows"]), (first["procs"], first["xwindows"]),
                                 lines)
