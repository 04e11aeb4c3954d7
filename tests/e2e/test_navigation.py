"""Every way out of the allow-list a user (real pointer, keys) or a controller can take, and the
pages, events, hand-offs, downloads and windows that follow. 127.0.0.1 is allowed, localhost (the
same server) refused. One browser per mode serves all rows; TRBROWSER_ROWS=REGEX runs some."""

import os, re, shutil, tempfile, threading, unittest, urllib.parse
from fixture import Browser, Display, PageServer, closed_port, html, page_text, read_lines
from fixture import until, wait_for

DENIED = "Tavrin Browser - URL Not Allowed"
# Block i of the exits page: 10 + 60 i to 60 + 60 i from the top, 10 to 510 from the left.
COLOURS = ["C0C0FF", "C0FFC0", "FFC0C0", "FFFFC0", "FFFFFF", "C0FFFF", "E0E0E0"]
ICON_SIZES = [32, 48, 64, 128, 256]
SHELL = "tavrin:a;b$(touch$IFS@W/pwned)`touch$IFS@W/pwned`'q'&&|*?"  # all a shell acts on
popup_may_load = threading.Event()  # holds a popup's page back while its first title shows
display = server = work = None
browsers = {}
def setUpModule():
    global display, server, work
    display, server, work = Display().start(), PageServer(), tempfile.mkdtemp(prefix="trb-nav-")
    os.makedirs(work + "/home/Downloads"), os.makedirs(work + "/bin")
    with open(work + "/bin/xdg-open", "w") as f:  # a line per call: argc, $1
        f.write("#!/bin/sh\nprintf '%%s\\t%%s\\n' \"$#\" \"$1\" >> '%s/opened'\n" % work)
    os.chmod(work + "/bin/xdg-open", 0o755)
    r, p = server.url("", "localhost"), server.pages
    for path in ("refused refused-popup refused-in-popup refused-frame refused-redirect "
                 "refused-history refused-drop allowed titled").split():
        server.html("/" + path, html(path.split("-")[0].title() + " Page" * (path == "titled")))
    a = "<a href='%s/%s?%%(q)s' style='display:block;height:50px;background:#%s'>x</a>"
    p["/exits"] = lambda h: page("<style>a { display: block; height: 50px }</style>" + "".join(
        "<div style='position:absolute;left:10px;top:%dpx;width:500px;height:50px;background:#%s'>"
        "%s</div>" % (10 + 60 * i, c, x) for i, (c, x) in enumerate(zip(COLOURS, [
            "<a href='@R/refused?%(q)s'>refused</a>", "<a href='@A/allowed?%(q)s'>allowed</a>",
            "<a href='@R/refused-popup?%(q)s' target=_blank>refused, new window</a>",
            "<a href='@A/popup?%(q)s' target=_blank>allowed popup</a>",
            "<input style='width:480px;height:40px' oninput=\"fetch('/report?%(q)s&v=' + "
            "encodeURIComponent(this.value))\">",
            "<iframe src='@A/frame?%(q)s' style='border:0;width:500px;height:50px'></iframe>",
            "<a href='@A/to-refused?%(q)s' target=_blank>redirect, new window</a>"]))), "Exits")(h)
    p["/frame"] = page(a % (r, "refused-frame", "C0FFFF"))
    # A popup with a refused link on top and a refused frame, retitled once all has loaded.
    p["/popup"] = page(a % (r, "refused-in-popup", "C0C0FF") + "<iframe src='" + r +
                       "/refused-frame?%(q)s'></iframe><script>onload = () => { document.title ="
                       " 'Popup Loaded' }</script>", "Popup")
    p["/to-refused"] = lambda h: (302, {"Location": r + "/refused-redirect?" + h.path[12:]}, "")
    p["/go"] = lambda h: (200, {}, html("", "<a id=l href='%s'>go</a><script>l.click()</script>" %
                                        query(h, "to").replace("&", "&amp;").replace("'", "&#39;")))
    server.html("/drag-source", html("", (a % (r, "refused-drop", "FFC0C0")) % {"q": ""} +
                                     (a % ("file://", "etc/hostname", "FFF")) % {"q": ""}))
    server.html("/frame-host", html("Frame Host", "<iframe src='%s/inner' style='border:0;width:"
                                    "400px;height:300px'></iframe>" % r, "background:#0f0"))
    server.html("/opener", html("Opener", "<script>window.open('/popup-page')</script>"))
    p["/popup-page"] = lambda h: popup_may_load.wait(120) and (
        200, {}, html("Popup Page", "popup", "background:#00f"))
    p["/file"] = lambda h: (200, {"Content-Type": "application/octet-stream", "Content-Disposition":
                                  'attachment; filename="%s.txt"' % query(h, "name")}, b"saved\n")
    p["/loop"] = (302, {"Location": "/loop"}, "")
def tearDownModule():
    popup_may_load.set()
    [b.close() for b in browsers.values()]
    server.stop(), display.stop(), shutil.rmtree(work, ignore_errors=True)
def query(handler, name): return urllib.parse.parse_qs(handler.path.partition("?")[2])[name][0]
def page(body, title=""):  # %(q)s stands for the request's query
    return lambda h: (200, {}, html(title, spell(body, None) % {"q": h.path.partition("?")[2]}))
def spell(text, ctx):  # @R and @A: the two origins, @P the port, @C the case, @W the work dir
    for token, value in (("@R", server.url("", "localhost")), ("@A", server.url("")),
                         ("@P", str(server.port)), ("@C", ctx and ctx.case), ("@W", work)):
        text = text.replace(token, value or "")
    return text
def browser(mode):  # once: free, restricted (--restrict-popups), source (to drag from)
    if mode not in browsers or browsers[mode].proc.poll() is not None:
        b = browsers[mode] = Browser(display, ["--restrict-popups"] * (mode == "restricted"),
                                     env=dict(PATH=work + "/bin:" + os.environ["PATH"], HOME=work
                                              + "/home", TRBROWSER_DEBUG_CONTEXT_MENU="1"),
                                     events=True).ready()
        b.events.read()
        b.wid, b.case = b.main_window(), ""  # the window found while it is the only one
        b.send("GEOMETRY %s;SHOW;" % ("10 1050 410 1550" if mode == "source" else "10 10 810 1010"))
        if mode == "source":
            load("@A/drag-source")(b)
            b.wait_url(lambda u: u.endswith("/drag-source"), what="drag source")
    return browsers[mode]
def later(f):  # later(f)(args) is what a row keeps: f(browser[, test], args) when it runs
    return lambda *args, **kw: lambda *row: f(*row, *args, **kw)

# -- What a row does, given the browser (its case in b.case, its URL before in b.before).
def xdo(b, *args): b.x("xdotool", *args)
@later
def click(b, x, y, button=1, keys=(), wid=None):  # with `keys` held down
    for args in [("mousemove", "--window", wid or b.wid, x, y)] + [("keydown", k) for k in keys] + [
            ("click", button)] + [("keyup", k) for k in reversed(keys)]:
        xdo(b, *args)
def block(i, button=1, *keys): return click(260, 35 + 60 * i, button, keys)
# Focus on the page, then the keys (Tab first reaches the refused link).
keys = later(lambda b, combos: click(800, 700)(b) or xdo(b, "key", *combos.split()))
@later
def then_allowed_link(b, first):  # then what came first has had its turn (drags hold on a bit)
    first(b)
    until(lambda: block(1)(b), lambda: b.wait_url(lambda u: "/exits?" not in u, timeout=3),
          "the allowed link taken", tries=10)
@later
def drag(b, link):  # link `link` of another program's window onto the main window, step by step
    sid, y = browser("source").wid, 25 + 50 * link
    xdo(b, "mousemove", "--window", sid, 60, y, "mousedown", 1)
    for step in range(1, 31):
        xdo(b, "mousemove", "--window", sid, 60 - 560 * step // 30, y + 10 * step)
    xdo(b, "mousemove", "--window", b.wid, 600, 330, "mouseup", 1)
def menus(b): return re.findall(r"context menu: *(.*?) *$", b.stderr(), re.M)
@later
def context_menu(b, i, *then):
    shown = len(menus(b))
    (block(i, 3) if i is not None else click(800, 700, 3))(b)
    wait_for(lambda: len(menus(b)) > shown, what="context menu")
    xdo(b, "key", *(then or ["Escape"]))
send = later(lambda b, text: b.send(spell(text, b)))
def load(text): return send("LOAD %s;" % text)
@later
def link(b, text):  # the same text as the href of a link that a page clicks
    load("@A/go?to=" + urllib.parse.quote(spell(text, b), safe=""))(b)
def back_button_after_the_list_changed(b):
    for text in ("SET-ALLOWED-ORIGINS;LOAD @R/refused-history?case=@C;",
                 "LOAD @A/allowed?case=@C;"):
        send(text)(b)
        b.wait_url(lambda u: u == spell(text, b).split()[-1][:-1], what=text)
    send("SET-ALLOWED-ORIGINS http://127\\.0\\.0\\.1:@P/;")(b)
    click(800, 700, 8)(b)
@later
def download(b, name, key, hide=False):
    send("HIDE;" * hide + "LOAD @A/file?name=%s;" % name)(b)
    b.dialog = wait_for(lambda: set(b.windows(visible_only=True)) - {b.wid}, what="dialog").pop()
    key and xdo(b, "windowactivate", "--sync", b.dialog, "key", key)
def fetched(path, b): return server.requests.count("%s?case=%s" % (path, b.case))

# -- What must follow, given the test and the browser.
@later
def denied(t, b, path, before=0):  # heard of, not fetched (again), Access Denied, no window
    url = spell("@R/%s?case=@C" % path, b)
    b.events.wait({"event": "denied", "url": url})
    t.assertIn("Access Denied", page_text(b.wait_url(lambda u: url in page_text(u))))
    t.assertEqual(server.requests.count(url[url.index("/", 8):]), before)
    t.assertEqual(b.windows(visible_only=True), [b.wid])
@later
def shows(t, b, target, title=None, *events):
    for e in events:
        b.events.wait({k: spell(v, b) if isinstance(v, str) else v for k, v in e.items()})
    b.wait_url(lambda u: u == spell(target, b), what=target)
    t.assertEqual(b.windows(visible_only=True), [b.wid])
    title and wait_for(lambda: b.windows(title=title), what="title " + title)
ALLOWED, REFUSED = shows("@A/allowed?case=@C"), denied("refused")
@later
def popup(t, b, title, path, fetched_too):  # a window of its own shows `title`
    wait_for(lambda: b.windows(title=title, visible_only=True), what="popup " + title)
    t.assertEqual(fetched(path, b), int(fetched_too))
    t.assertEqual(b.geturl(), b.before, "main window moved")
def refused_link_in_a_popup(t, b):
    wid = wait_for(lambda: b.windows(title="Popup Loaded", visible_only=True), what="popup")[0]
    t.assertEqual(fetched("/refused-frame", b), 0)
    click(100, 25, wid=wid)(b)
    wait_for(lambda: b.windows(title=DENIED, visible_only=True), what="denied in the popup")
    t.assertEqual(fetched("/refused-in-popup", b), 0)
def window_open_popup(t, b):  # titled as new, then by its page; closing it leaves the rest
    b.events.wait({"event": "popup", "url": server.url("/popup-page")})
    wait_for(lambda: b.windows(title="New Browser Window", visible_only=True), what="popup")
    popup_may_load.set()
    wid = wait_for(lambda: b.windows(title="Popup Page", visible_only=True), what="its page")[0]
    t.assertEqual(icon_sizes(b, wid), ICON_SIZES)
    wait_for(lambda: b.pixel(wid, 300, 300) == "0000FF", what="popup painted")
    b.wm_close_until(wid, lambda: not b.windows(title="Popup Page"), what="popup gone")
    t.assertFalse(b.ishidden())
@later
def menu(t, b, expected):
    t.assertEqual((menus(b)[-1], b.geturl()), (expected, b.before))
    wait_for(lambda: b.windows(visible_only=True) == [b.wid], what="menu closed")
def pasted_link_address(t, b):
    wait_for(lambda: "/report?case=%s&v=%s" % (b.case, urllib.parse.quote(spell(
        "@R/refused?case=@C", b), safe="")) in server.requests, what="pasted link address")
    t.assertEqual(fetched("/refused", b), 0)
def only_the_click(t, b):
    ALLOWED(t, b)
    t.assertEqual(sorted(r.split("?")[0] for r in server.requests if r.endswith("case=" + b.case)),
                  ["/allowed", "/exits", "/frame"])
    t.assertFalse([r for r in server.requests if r.startswith("/refused-drop")])
@later
def handed_off(t, b, text, stays=True):  # the one argument of the desktop's opener; no shell
    b.events.wait({"event": "handoff", "url": spell(text, b)})
    wait_for(lambda: "1\t" + spell(text, b) in read_lines(work + "/opened"), what=text)
    t.assertFalse(os.path.exists(work + "/pwned"), "a shell ran the URL")
    t.assertTrue(not stays or b.geturl() == b.before or "/go?" in b.geturl())
    t.assertFalse(not stays and [l for l in read_lines(work + "/opened") if "nope" in l])
@later
def error_page(t, b, *texts, event=None):
    event and b.events.wait(event)
    b.wait_url(lambda u: all(spell(x, b) in page_text(u) for x in texts), what=texts)
def refused_frame_only(t, b):
    b.events.wait({"event": "denied", "url": server.url("/inner", "localhost"), "main": False})
    wait_for(lambda: b.pixel(b.wid, 600, 450) == "00FF00", what="host page painted")
    wait_for(lambda: b.pixel(b.wid, 200, 280) == "404040", what="Access Denied in the frame")
    t.assertEqual(b.geturl(), server.url("/frame-host"))
    t.assertNotIn("/inner", server.requests)
@later
def saved(t, b, *names):  # the downloads hold just these, each saved whole, and the page stays
    path = work + "/home/Downloads"
    wait_for(lambda: read_lines("%s/%s.txt" % (path, names[-1])) == ["saved"], what="saved")
    wait_for(lambda: b.dialog not in b.windows(visible_only=True), what="dialog closed")
    t.assertEqual(sorted(os.listdir(path)), [n + ".txt" for n in names])
    t.assertEqual(b.geturl(), b.before)
@later
def window(t, b, *steps):  # window events from commands (str) and the user's actions (W: window)
    for step, state, hidden in steps:
        want = {"event": "window", "state": state}
        if isinstance(step, str):
            b.send(step), b.events.wait(want)
        else:  # asked again until it shows: the window manager drops what it is not ready for
            until(lambda: b.x(*[b.wid if a == "W" else a for a in step]),
                  lambda: b.events.wait(want, timeout=2), state, tries=30)
        t.assertTrue(hidden is None or b.ishidden() == hidden)
def icon_sizes(b, wid):  # the square sizes of _NET_WM_ICON: a run of width, height, pixels
    v = [int(n) for n in re.findall(r"\d+", b.x("xprop", "-id", wid, "-len", "100000000", "-f",
                                                 "_NET_WM_ICON", "32c", " $0+", "_NET_WM_ICON"))]
    sizes = []
    while len(v) > 2 and v[0] == v[1]:
        sizes, v = sizes + [v[0]], v[2 + v[0] * v[1]:]
    return sorted(sizes) if not v else "not a run of square images"

X3, ERR, FAILED = "@A/titled?q=" + "x" * 3000, "ERR_CONNECTION_REFUSED", "Failed to Load URL"
FREE, PAGE, RESTRICTED = ("free", False), ("free", True), ("restricted", True)
ROWS = [  # (name, (browser, on the exits page), what is done, what must follow)
    # Link gestures: another tab or window means this page, under the list.
    ("click refused link", PAGE, block(0), REFUSED),
    ("middle-click refused link", PAGE, block(0, 2), REFUSED),
    ("ctrl-click refused link", PAGE, block(0, 1, "ctrl"), REFUSED),
    ("shift-click refused link", PAGE, block(0, 1, "shift"), REFUSED),
    ("ctrl+shift-click refused link", PAGE, block(0, 1, "ctrl", "shift"), REFUSED),
    ("shift+middle-click refused link", PAGE, block(0, 2, "shift"), REFUSED),
    ("ctrl+Enter on refused link", PAGE, keys("Tab ctrl+Return"), REFUSED),
    ("ctrl+shift+Enter on refused link", PAGE, keys("Tab ctrl+shift+Return"), REFUSED),
    ("ctrl-click refused link in a frame", PAGE, block(5, 1, "ctrl"), denied("refused-frame")),
    ("ctrl+shift-click refused _blank link", PAGE, block(2, 1, "ctrl", "shift"),
     denied("refused-popup")),
    ("click allowed link", PAGE, block(1), ALLOWED),
    ("middle-click allowed link", PAGE, block(1, 2), ALLOWED),
    ("ctrl+shift-click allowed link", PAGE, block(1, 1, "ctrl", "shift"), ALLOWED),
    # Drops from another program, the engine's own shortcuts and buttons do nothing.
    ("drop a refused link", PAGE, then_allowed_link(drag(0)), only_the_click),
    ("drop a file", PAGE, then_allowed_link(drag(1)), only_the_click),
    ("browser shortcuts", PAGE, then_allowed_link(keys(
        "F5 ctrl+r alt+Left ctrl+s ctrl+p ctrl+u F12 ctrl+shift+i ctrl+n ctrl+t")), only_the_click),
    ("mouse back button to a now refused page", FREE, back_button_after_the_list_changed,
     denied("refused-history", before=1)),
    ("context menu on a link", PAGE, context_menu(0), menu("back forward reload | copy-link-"
                                                           "address")),
    ("context menu in a text field", PAGE, context_menu(4),
     menu("undo redo | cut copy paste paste-and-match-style select-all")),
    ("context menu on the page", PAGE, context_menu(None), menu("back forward reload")),
    # The link's menu ends with "copy link address": Up picks the last item.
    ("copy link address, paste in a field", PAGE, lambda b: [context_menu(0, "Up", "Return")(b),
     block(4)(b), xdo(b, "key", "ctrl+v")], pasted_link_address),
    # Popups: free by default, under the main list with --restrict-popups.
    ("window.open popup", FREE, load("@A/opener"), window_open_popup),
    ("target=_blank to refused, free", PAGE, block(2), popup("Refused", "/refused-popup", 1)),
    ("target=_blank to refused, restricted", RESTRICTED, block(2),
     popup(DENIED, "/refused-popup", 0)),
    ("popup redirected to refused, restricted", RESTRICTED, block(6),
     popup(DENIED, "/refused-redirect", 0)),
    ("refused frame and link in a restricted popup", RESTRICTED, block(3), refused_link_in_a_popup),
    # LOAD decides on the URL the engine loads, and a page's link with the same text agrees.
    ("LOAD allowed, a lookahead in the list, a 3 kB URL", FREE, send(
        "SET-ALLOWED-ORIGINS http://(?!evil)127\\.0\\.0\\.1:@P/;LOAD %s;" % X3), shows(
        X3, "Titled Page", {"event": "url", "url": X3},
        {"event": "title", "title": "Titled Page"}, {"event": "load", "url": X3})),
    ("LOAD without a scheme, allowed", FREE, load("127.0.0.1:@P/allowed?case=@C"), ALLOWED),
    ("LOAD without a scheme, refused", FREE, load("localhost:@P/refused?case=@C"), REFUSED),
    *[(kind + what, FREE, act(url), want) for kind, act in (("LOAD ", load), ("link ", link))
      for what, url, want in [
          ("to 127.1", "http://127.1:@P/allowed?case=@C", ALLOWED),
          ("with dot segments", "@A/x/../allowed?case=@C", ALLOWED),
          ("upper case refused", "HTTP://LOCALHOST:@P/refused?case=@C", REFUSED),
          ("redirected to refused", "@A/to-refused?case=@C", denied("refused-redirect"))]],
    ("LOAD a download of a refused origin", FREE, load("@R/file?case=@C"), denied("file")),
    ("LOAD about:blank with a list", FREE, load("about:blank"), error_page("Access Denied",
                                                                          "about:blank")),
    ("LOAD about:blank without a list", FREE, send("SET-ALLOWED-ORIGINS;LOAD about:blank;"),
     shows("about:blank")),
    ("refused frame: Access Denied in the frame only", FREE, load("@A/frame-host"),
     refused_frame_only),
    ("HTTP 404 is a page", FREE, load("@A/missing"), shows("@A/missing", "Not here")),
    ("connection refused: Load Error page", FREE, send("SET-ALLOWED-ORIGINS;LOAD http://127.0.0.1"
     ":%d/;" % closed_port()), error_page(FAILED, "(-102)", ERR, event={
         "event": "load-error", "code": -102, "text": "net::" + ERR, "main": True})),
    ("endless redirect: Load Error page", FREE, load("@A/loop"), error_page(FAILED, "(-310)")),
    ("LOAD of no URL", FREE, load("http://["), error_page(FAILED, "net::ERR_INVALID_URL (-300)")),
    ("renderer crash: error page", FREE, load("chrome://crash"), error_page(
        "renderer process crashed", event={"event": "renderer-gone", "status": "crashed"})),
    # The own scheme goes to the desktop as one argument, only the scheme lower-cased; the
    # engine percent-encodes { } " < > ` | in a link, the rest stays raw.
    ("LOAD TAVRIN:", FREE, load("TAVRIN:load-@C?a={B}"), handed_off("tavrin:load-@C?a={B}")),
    ("link to TAVRIN:", FREE, link("TAVRIN:link-@C"), handed_off("tavrin:link-@C")),
    ("LOAD tavrin: with shell characters", FREE, load(SHELL.replace(";", ",")),
     handed_off(SHELL.replace(";", ","))),
    ("link to tavrin: with shell characters", FREE, link(SHELL),
     handed_off(SHELL.replace("`", "%60").replace("|", "%7C"))),
    ("other schemes are not handed on", FREE, send(
        "LOAD tavrinx:nope;LOAD mailto:nope@b.test;LOAD tavrin:yes-@C;"),
     handed_off("tavrin:yes-@C", stays=False)),
    # Downloads ask where to save, offering the server's name, and save nothing unless told.
    ("download while hidden, accepted", FREE, download("hidden", "Return", 1), saved("hidden")),
    ("download while shown, accepted", FREE, download("shown", "Return"), saved("hidden", "shown")),
    ("download cancelled", FREE, download("cancel", "Escape"), saved("hidden", "shown")),
    # Window events and states (the first step is one no earlier row brings: no stale event).
    ("window by commands", FREE, lambda b: None, window(
        ("MINIMIZE;", "minimized", False), ("SHOW;", "shown", False), ("HIDE;", "hidden", True),
        ("SHOWTOPMOST;", "shown", None), ("HIDE;", "hidden", True),
        ("SHOW;GEOMETRY 10 10 810 1010;", "shown", None), ("", "hidden", True))),
    ("window by the user, hidden on close, back on the default page", FREE,
     send("SET-HIDE-ON-CLOSE 1;"), lambda t, b: window(
         ("xdotool windowminimize W".split(), "minimized", False),
         ("wmctrl -i -a W".split(), "shown", None), ("wmctrl -i -c W".split(), "hidden", True))(
         t, b) or b.wait_url(lambda u: "<title>Tavrin WebBrowser<" in page_text(u))),
]

class NavigationTest(unittest.TestCase):
    def test_table(self):
        for name, (mode, on_exits), act, expect in ROWS:
            if re.search(os.environ.get("TRBROWSER_ROWS", ""), name):
                with self.subTest(name):
                    self.run_row(re.sub(r"[^a-z0-9]+", "-", name.lower()), browser(mode),
                                 on_exits, act, expect)
        # QUIT while a save dialog is open: a clean end, nothing saved, nothing left behind.
        b = browser("free")
        download("quit", None)(b)
        b.quit()
        self.assertNotIn("quit.txt", os.listdir(work + "/home/Downloads"))
        wait_for(lambda: not b.left_behind(), what="helpers gone")
    def run_row(self, case, b, on_exits, act, expect):
        b.case = case
        b.send("SET-ALLOWED-ORIGINS http://127\\.0\\.0\\.1:%d/;SHOW;" % server.port)
        if on_exits:
            load("@A/exits?case=@C")(b)
            b.wait_url(lambda u: "/exits?" in u and u.endswith(case), what="exits page")
            wait_for(lambda: b.pixel(b.wid, 460, 410) == COLOURS[6], what="exits page painted")
        b.before = b.geturl()
        act(b)
        try:
            expect(self, b)
        finally:
            for wid in set(b.windows(visible_only=True)) - {b.wid}:
                b.wm_close_until(wid, lambda: wid not in b.windows(visible_only=True),
                                 what="extra window closed")
