"""Navigation and the allow-list in the real browser: every way out of the list that a user
(real pointer and keys through xdotool) or a controller can take, and the pages and events
that follow. 127.0.0.1 is allowed, "localhost" (the same server) refused, so a refused fetch
shows in the server's log. One table; one browser per mode serves all its rows."""

import collections
import os
import re
import shutil
import tempfile
import threading
import time
import unittest
import urllib.parse

from fixture import Browser, Display, PageServer, closed_port, html, page_text, query, read_lines
from fixture import wait_for, xdg_open_stub

DENIED_TITLE = "Tavrin Browser - URL Not Allowed"
# Block i of the exits page spans 10 + 60 i to 60 + 60 i from the top, 10 to 510 from the left.
COLOURS = ["C0C0FF", "C0FFC0", "FFC0C0", "FFFFC0", "FFFFFF", "C0FFFF", "E0E0E0"]
ICON_SIZES = [32, 48, 64, 128, 256]
SHELL = "a;b$(touch${IFS}%s)`touch${IFS}%s`'q'\"dq\"&&|<>*?"  # all a shell would act on
popup_may_load = threading.Event()  # holds a popup's page back while its first title shows
display = server = work = None
browsers = {}


def allowed(path):
    return server.url(path)


def refused(path):
    return server.url(path, host="localhost")


def exits_page(h):
    q = "?case=" + urllib.parse.quote(query(h)["case"])
    inner = ["<a href='%s'>refused</a>" % refused("/refused" + q),
             "<a href='%s'>allowed</a>" % allowed("/allowed" + q),
             "<a href='%s' target=_blank>refused, new window</a>" % refused("/refused-popup" + q),
             "<a href='%s' target=_blank>allowed popup</a>" % allowed("/popup" + q),
             "<input id=t style='width:480px;height:40px' oninput=\"fetch('/report%s&v=' + "
             "encodeURIComponent(this.value))\">" % q,
             "<iframe src='%s' style='border:0;width:500px;height:50px'></iframe>"
             % allowed("/frame" + q),
             "<a href='%s' target=_blank>redirect, new window</a>" % allowed("/to-refused" + q)]
    return 200, {}, html("Exits", "<style>a { display: block; height: 50px }</style>" + "".join(
        "<div style='position:absolute;left:10px;top:%dpx;width:500px;height:50px;background:#%s'>"
        "%s</div>" % (10 + 60 * i, c, x) for i, (c, x) in enumerate(zip(COLOURS, inner))))


def page(body, title="", style="margin:0"):
    """A page of the request: %(q)s in body stands for its query."""
    return lambda h: (200, {}, html(title, body % {"q": h.path.partition("?")[2]}, style))


def setUpModule():
    global display, server, work
    display, server, work = Display().start(), PageServer(), tempfile.mkdtemp(prefix="trb-nav-")
    os.makedirs(os.path.join(work, "home", "Downloads"))
    r, p = refused(""), server.pages
    for path in ("/refused", "/refused-popup", "/refused-in-popup", "/refused-frame",
                 "/refused-redirect", "/refused-history", "/refused-drop", "/allowed", "/titled"):
        server.html(path, html({"/allowed": "Allowed", "/titled": "Titled Page"}.get(path, "Refused")))
    p["/exits"] = exits_page
    link = "<a id=l href='%s' style='display:block;height:50px;background:#%s'>x</a>"
    p["/frame"] = page(link % (r + "/refused-frame?%(q)s", "C0FFFF"))
    # A popup with a refused link on top and a refused frame, retitled once all has loaded.
    p["/popup"] = page(link % (r + "/refused-in-popup?%(q)s", "C0C0FF") + "<iframe src='" + r +
                       "/refused-frame?%(q)s'></iframe><script>onload = () => { document.title ="
                       " 'Popup Loaded' }</script>", "Popup")
    p["/to-refused"] = lambda h: (302, {"Location": r + "/refused-redirect?" + h.path[12:]}, "")
    p["/go"] = lambda h: (200, {}, html("", "<a id=l href='%s'>go</a><script>l.click()</script>"
                                        % query(h)["to"].replace("&", "&amp;").replace("'", "&#39;")))
    server.html("/drag-source", html("", link % (r + "/refused-drop", "FFC0C0") +
                                     "<a href='file:///etc/hostname'>file</a>"))
    server.html("/frame-host", html("Frame Host", "<iframe src='%s/inner' style='border:0;width:"
                                    "400px;height:300px'></iframe>" % r, "margin:0;background:#0f0"))
    server.html("/inner", html("", "inner", "background:#f00"))
    server.html("/opener", html("Opener", "<script>window.open('/popup-page')</script>"))
    p["/popup-page"] = lambda h: popup_may_load.wait(120) and (
        200, {}, html("Popup Page", "popup", "background:#00f"))
    p["/file"] = lambda h: (200, {"Content-Type": "application/octet-stream", "Content-Disposition":
                                  'attachment; filename="%s.txt"' % query(h)["name"]}, b"download\n")
    p["/loop"] = (302, {"Location": "/loop"}, "")


def tearDownModule():
    popup_may_load.set()
    for b in browsers.values():
        b.close()
    server.stop()
    display.stop()
    shutil.rmtree(work, ignore_errors=True)


def pattern():
    return r"http://127\.0\.0\.1:%d/" % server.port


def browser(mode):
    """The browser of a mode, started once: 'free' (popups as they come), 'restricted'
    (--restrict-popups) or 'source' (another program to drag from)."""
    if mode in browsers and browsers[mode].proc.poll() is None:
        return browsers[mode]
    env, _ = xdg_open_stub(work)
    env.update(TRBROWSER_DEBUG_CONTEXT_MENU="1", HOME=os.path.join(work, "home"))
    b = browsers[mode] = Browser(display, ["--restrict-popups"] * (mode == "restricted"), env=env,
                                 events=True)
    b.ready().events.read()
    b.main_wid = b.main_window()  # found while it is the only window
    b.send("GEOMETRY %s;SHOW;" % ("10 1050 410 1550" if mode == "source" else "10 10 810 1010"))
    if mode == "source":
        b.send("LOAD %s;" % allowed("/drag-source"))
        b.wait_url(lambda u: u == allowed("/drag-source"), what="drag source")
    return b


Ctx = collections.namedtuple("Ctx", "b wid case before")


def spell(text, ctx):
    """@R and @A stand for the two origins, @P for the port, @C the case, @W the work dir."""
    for token, value in (("@R", refused("")), ("@A", allowed("")), ("@P", str(server.port)),
                         ("@C", ctx.case), ("@W", work)):
        text = text.replace(token, value)
    return text


def xdo(ctx, *args):
    ctx.b.x("xdotool", *args)


def click(x, y, button=1, keys=()):
    def act(ctx):
        xdo(ctx, "mousemove", "--window", ctx.wid, x, y)
        for key in keys:
            xdo(ctx, "keydown", key)
        xdo(ctx, "click", button)
        for key in reversed(keys):
            xdo(ctx, "keyup", key)
    return act


def on_block(i, button=1, keys=()):
    return click(260, 35 + 60 * i, button, keys)


def keys(*combos):
    """Focus on the page, then the keys (Tab first reaches the refused link)."""
    return lambda ctx: click(800, 700)(ctx) or xdo(ctx, "key", *combos)


def then_allowed_link(first):
    """`first`, then clicks on the allowed link until it is taken: its arrival shows that
    what came before has had its turn (a drag may hold the pointer a moment longer)."""
    def act(ctx):
        first(ctx)
        page = allowed("/exits?case=" + ctx.case)
        for _ in range(10):
            on_block(1)(ctx)
            try:
                return ctx.b.wait_url(lambda u: u != page, timeout=3, what="a click taken")
            except AssertionError:
                pass
    return act


def drag_from_source(link):
    """Drags link `link` of another program's window onto the main window, step by step."""
    def act(ctx):
        sid, sy = browser("source").main_wid, 25 + 50 * link
        xdo(ctx, "mousemove", "--window", sid, 60, sy, "mousedown", 1)
        for step in range(1, 31):
            xdo(ctx, "mousemove", "--window", sid, 60 - 560 * step // 30, sy + 10 * step)
        xdo(ctx, "mousemove", "--window", ctx.wid, 600, 330)
        xdo(ctx, "mouseup", 1)
    return act


def menus(b):
    return [l.split("context menu:", 1)[1].strip() for l in b.stderr().splitlines()
            if "context menu:" in l]


def context_menu(i, then=("Escape",)):
    def act(ctx):
        shown = len(menus(ctx.b))
        (on_block(i, 3) if i is not None else click(800, 700, 3))(ctx)
        wait_for(lambda: len(menus(ctx.b)) > shown, what="context menu")
        xdo(ctx, "key", *then)
    return act


def back_button_after_the_list_changed(ctx):
    page, nxt = refused("/refused-history?case=" + ctx.case), allowed("/allowed?case=" + ctx.case)
    ctx.b.send("SET-ALLOWED-ORIGINS;LOAD %s;" % page)
    ctx.b.wait_url(lambda u: u == page, what="page of an origin allowed at the time")
    ctx.b.send("LOAD %s;" % nxt)
    ctx.b.wait_url(lambda u: u == nxt, what="next page")
    ctx.b.send("SET-ALLOWED-ORIGINS %s;" % pattern())
    click(800, 700, 8)(ctx)


def load(text):
    return lambda ctx: ctx.b.send("LOAD %s;" % spell(text, ctx))


def page_link(text):
    """The same text as the href of a link that a page clicks."""
    return lambda ctx: ctx.b.send("LOAD %s;" % allowed(
        "/go?to=" + urllib.parse.quote(spell(text, ctx), safe="")))


def send(text):
    return lambda ctx: ctx.b.send(spell(text, ctx))


def download(name, hide=False):
    def act(ctx):
        ctx.b.send("HIDE;" * hide + "LOAD %s;" % allowed("/file?name=" + name))
        ctx.b.dialog = wait_for(lambda: [w for w in ctx.b.windows(visible_only=True)
                                         if w != ctx.wid], what="save dialog")[0]
    return act


def in_dialog(first, key):
    def act(ctx):
        first(ctx)
        xdo(ctx, "windowactivate", "--sync", ctx.b.dialog, "key", key)
    return act


def fetched(path, ctx):
    return server.requests.count("%s?case=%s" % (path, ctx.case))


# -- What must follow: each takes the test and the context.

def denied_in_place(target, fetched_before=0):
    """The main frame shows Access Denied for `target`, which was not fetched (again), and
    the controller heard of it; no window opened."""
    def expect(t, ctx):
        url = spell(target, ctx)
        ctx.b.events.wait({"event": "denied", "url": url})
        page = page_text(ctx.b.wait_url(lambda u: url in page_text(u), what="Access Denied"))
        t.assertIn("Access Denied", page)
        parts = urllib.parse.urlsplit(url)
        t.assertEqual(server.requests.count(parts.path + "?" + parts.query), fetched_before)
        t.assertEqual(ctx.b.windows(visible_only=True), [ctx.wid])
    return expect


def shows(target, title=None):
    def expect(t, ctx):
        url = spell(target, ctx)
        ctx.b.wait_url(lambda u: u == url, what=url)
        t.assertEqual(ctx.b.windows(visible_only=True), [ctx.wid])
        if title:
            wait_for(lambda: ctx.b.windows(title=title), what="title " + title)
    return expect


ALLOWED = shows("@A/allowed?case=@C")
REFUSED = denied_in_place("@R/refused?case=@C")


def popup(title, path, fetched_too):
    """A window of its own shows `title`; `path` was fetched only if `fetched_too`."""
    def expect(t, ctx):
        wait_for(lambda: ctx.b.windows(title=title, visible_only=True), what="popup " + title)
        t.assertEqual(fetched(path, ctx), int(fetched_too))
        t.assertEqual(ctx.b.geturl(), allowed("/exits?case=" + ctx.case), "main window moved")
    return expect


def popup_navigates_to_refused_link(t, ctx):
    pid = wait_for(lambda: ctx.b.windows(title="Popup Loaded", visible_only=True), what="popup")[0]
    t.assertEqual(fetched("/refused-frame", ctx), 0)
    click(100, 25)(ctx._replace(wid=pid))
    wait_for(lambda: ctx.b.windows(title=DENIED_TITLE, visible_only=True), what="denied in popup")
    t.assertEqual(fetched("/refused-in-popup", ctx), 0)


def window_open_popup(t, ctx):
    """First titled as a new window, then its page; icons; painted; closing it leaves the
    main window and the pipe alone."""
    ctx.b.events.wait({"event": "popup", "url": allowed("/popup-page")})
    wait_for(lambda: ctx.b.windows(title="New Browser Window", visible_only=True), what="popup")
    popup_may_load.set()
    wid = wait_for(lambda: ctx.b.windows(title="Popup Page", visible_only=True), what="page")[0]
    t.assertEqual(icon_sizes(ctx.b, wid), ICON_SIZES)
    wait_for(lambda: ctx.b.pixel(wid, 300, 300) == "0000FF", what="popup painted")
    ctx.b.wm_close_until(wid, lambda: not ctx.b.windows(title="Popup Page"), what="popup gone")
    t.assertFalse(ctx.b.ishidden())


def menu_lists(expected):
    def expect(t, ctx):
        t.assertEqual(menus(ctx.b)[-1], expected)
        t.assertEqual(ctx.b.geturl(), allowed("/exits?case=" + ctx.case))
        wait_for(lambda: ctx.b.windows(visible_only=True) == [ctx.wid], what="menu closed")
    return expect


def pasted_link_address(t, ctx):
    report = "/report?case=%s&v=%s" % (ctx.case, urllib.parse.quote(
        refused("/refused?case=" + ctx.case), safe=""))
    wait_for(lambda: report in server.requests, what="pasted link address")
    t.assertEqual(fetched("/refused", ctx), 0)


def only_the_click_happened(t, ctx):
    ALLOWED(t, ctx)
    ours = sorted(r for r in server.requests if r.endswith("?case=" + ctx.case))
    t.assertEqual(ours, sorted(p + "?case=" + ctx.case for p in ("/exits", "/frame", "/allowed")))
    t.assertNotIn("/refused-drop", server.requests)


def handed_off(text, stays=True):
    """The desktop's opener got `text` as its one argument, no shell ran it, the controller
    heard of it, and the page stayed."""
    def expect(t, ctx):
        want = spell(text, ctx)
        ctx.b.events.wait({"event": "handoff", "url": want})
        wait_for(lambda: "1\t" + want in read_lines(os.path.join(work, "opened")),
                 what="xdg-open " + want)
        t.assertFalse(os.path.exists(os.path.join(work, "pwned")), "a shell ran the URL")
        url = ctx.b.geturl()
        t.assertTrue(not stays or url == ctx.before or url.startswith(allowed("/go?")), url)
    return expect


def nothing_handed_but(text):
    def expect(t, ctx):
        handed_off(text, stays=False)(t, ctx)
        t.assertFalse([l for l in read_lines(os.path.join(work, "opened"))
                       if "tavrinx" in l or "mailto" in l])
    return expect


def error_page(*texts, event=None):
    def expect(t, ctx):
        if event:
            ctx.b.events.wait(event)
        ctx.b.wait_url(lambda u: all(spell(x, ctx) in page_text(u) for x in texts), what=texts)
    return expect


def events(*wanted, then=None):
    def expect(t, ctx):
        for e in wanted:
            ctx.b.events.wait({k: spell(v, ctx) if isinstance(v, str) else v for k, v in e.items()})
        if then:
            then(t, ctx)
    return expect


def refused_frame_only(t, ctx):
    ctx.b.events.wait({"event": "denied", "url": refused("/inner"), "main": False})
    wait_for(lambda: ctx.b.pixel(ctx.wid, 600, 450) == "00FF00", what="host page painted")
    wait_for(lambda: ctx.b.pixel(ctx.wid, 200, 280) == "404040", what="Access Denied in the frame")
    t.assertEqual(ctx.b.geturl(), allowed("/frame-host"))
    t.assertNotIn("/inner", server.requests)


def saved(name):
    def expect(t, ctx):
        path = os.path.join(work, "home", "Downloads", name + ".txt")
        wait_for(lambda: read_lines(path) == ["download"], what="file saved")
        t.assertEqual(len(os.listdir(os.path.dirname(path))), 1 + (name == "shown"))
    return expect


def cancelled(t, ctx):
    wait_for(lambda: ctx.b.dialog not in ctx.b.windows(visible_only=True), what="dialog closed")
    t.assertFalse(ctx.b.ishidden())
    t.assertEqual(ctx.b.geturl(), ctx.before)
    t.assertNotIn("cancel.txt", os.listdir(os.path.join(work, "home", "Downloads")))


def state(*steps, then=lambda t, ctx: None):
    """Window events from commands (str) and user actions (list of arguments, W for the
    window, repeated until the event: the window manager drops what it is not ready for)."""
    def expect(t, ctx):
        for step, event, hidden in steps:
            for _ in range(1 if isinstance(step, str) else 30):
                ctx.b.send(step) if isinstance(step, str) else ctx.b.x(
                    *[ctx.wid if a == "W" else a for a in step])
                try:
                    ctx.b.events.wait({"event": "window", "state": event},
                                      timeout=30 if isinstance(step, str) else 2)
                    break
                except AssertionError:
                    if isinstance(step, str):
                        raise
            if hidden is not None:
                t.assertEqual(ctx.b.ishidden(), hidden)
        then(t, ctx)
    return expect


def default_page(t, ctx):
    ctx.b.wait_url(lambda u: "<title>Tavrin WebBrowser</title>" in page_text(u), what="default")


def icon_sizes(b, wid):
    """The sizes of the window's _NET_WM_ICON images: a run of width, height, pixels."""
    values = [int(v) for v in re.findall(r"\d+", b.x(
        "xprop", "-id", wid, "-len", "100000000", "-notype", "-f", "_NET_WM_ICON", "32c", " $0+",
        "_NET_WM_ICON").partition(" ")[2])]
    sizes, at = [], 0
    while at + 2 <= len(values):
        sizes.append(values[at] if values[at] == values[at + 1] else None)
        at += 2 + values[at] * values[at + 1]
    return sorted(sizes) if at == len(values) else "truncated"


Case = collections.namedtuple("Case", "name mode page act expect")
ERR = "ERR_CONNECTION_REFUSED"
CASES = [
    # Link gestures: another tab or window means this page, under the list.
    Case("click refused link", "free", True, on_block(0), REFUSED),
    Case("middle-click refused link", "free", True, on_block(0, 2), REFUSED),
    Case("ctrl-click refused link", "free", True, on_block(0, 1, ["ctrl"]), REFUSED),
    Case("shift-click refused link", "free", True, on_block(0, 1, ["shift"]), REFUSED),
    Case("ctrl+shift-click refused link", "free", True, on_block(0, 1, ["ctrl", "shift"]), REFUSED),
    Case("shift+middle-click refused link", "free", True, on_block(0, 2, ["shift"]), REFUSED),
    Case("ctrl+Enter on refused link", "free", True, keys("Tab", "ctrl+Return"), REFUSED),
    Case("ctrl+shift+Enter on refused link", "free", True, keys("Tab", "ctrl+shift+Return"),
         REFUSED),
    Case("ctrl-click refused link in a frame", "free", True, on_block(5, 1, ["ctrl"]),
         denied_in_place("@R/refused-frame?case=@C")),
    Case("ctrl+shift-click refused target=_blank link", "free", True,
         on_block(2, 1, ["ctrl", "shift"]), denied_in_place("@R/refused-popup?case=@C")),
    Case("click allowed link", "free", True, on_block(1), ALLOWED),
    Case("middle-click allowed link", "free", True, on_block(1, 2), ALLOWED),
    Case("ctrl+shift-click allowed link", "free", True, on_block(1, 1, ["ctrl", "shift"]), ALLOWED),
    # Drops from another program, the engine's own shortcuts and buttons: nothing.
    Case("drop a refused link", "free", True, then_allowed_link(drag_from_source(0)),
         only_the_click_happened),
    Case("drop a file", "free", True, then_allowed_link(drag_from_source(1)),
         only_the_click_happened),
    Case("browser shortcuts do nothing", "free", True, then_allowed_link(keys(
        "F5", "ctrl+r", "alt+Left", "ctrl+s", "ctrl+p", "ctrl+u", "F12", "ctrl+shift+i", "ctrl+n",
        "ctrl+t")), only_the_click_happened),
    Case("mouse back button to a now refused page", "free", False,
         back_button_after_the_list_changed,
         denied_in_place("@R/refused-history?case=@C", fetched_before=1)),
    Case("context menu on a link", "free", True, context_menu(0),
         menu_lists("back forward reload | copy-link-address")),
    Case("context menu in a text field", "free", True, context_menu(4),
         menu_lists("undo redo | cut copy paste paste-and-match-style select-all")),
    Case("context menu on the page", "free", True, context_menu(None),
         menu_lists("back forward reload")),
    # The link's menu ends with "copy link address": Up picks the last item.
    Case("copy link address, paste in a field", "free", True, lambda ctx: [
        context_menu(0, ("Up", "Return"))(ctx), on_block(4)(ctx), xdo(ctx, "key", "ctrl+v")],
        pasted_link_address),
    # Popups: free by default, under the main list with --restrict-popups.
    Case("window.open popup", "free", False, load("@A/opener"), window_open_popup),
    Case("target=_blank to refused, free popups", "free", True, on_block(2),
         popup("Refused", "/refused-popup", True)),
    Case("target=_blank to refused, restricted popups", "restricted", True, on_block(2),
         popup(DENIED_TITLE, "/refused-popup", False)),
    Case("popup redirected to refused, restricted popups", "restricted", True, on_block(6),
         popup(DENIED_TITLE, "/refused-redirect", False)),
    Case("refused frame and link in a restricted popup", "restricted", True, on_block(3),
         popup_navigates_to_refused_link),
    # LOAD decides on the URL the engine loads, and a page's link with the same text agrees.
    Case("LOAD allowed, a lookahead in the list, a 3 kB URL", "free", False,
         send("SET-ALLOWED-ORIGINS http://(?!evil)127\\.0\\.0\\.1:@P/;LOAD @A/titled?q="
              + "x" * 3000 + ";"), events(
             {"event": "url", "url": "@A/titled?q=" + "x" * 3000},
             {"event": "title", "title": "Titled Page"},
             {"event": "load", "url": "@A/titled?q=" + "x" * 3000},
             then=shows("@A/titled?q=" + "x" * 3000, "Titled Page"))),
    Case("LOAD without a scheme, allowed", "free", False,
         load("127.0.0.1:@P/allowed?case=@C"), ALLOWED),
    Case("LOAD without a scheme, refused", "free", False,
         load("localhost:@P/refused?case=@C"), REFUSED),
    Case("LOAD 127.1", "free", False, load("http://127.1:@P/allowed?case=@C"), ALLOWED),
    Case("link to 127.1", "free", False, page_link("http://127.1:@P/allowed?case=@C"), ALLOWED),
    Case("LOAD dot segments", "free", False,
         load("http://127.0.0.1:@P/x/../allowed?case=@C"), ALLOWED),
    Case("link with dot segments", "free", False,
         page_link("http://127.0.0.1:@P/x/../allowed?case=@C"), ALLOWED),
    Case("LOAD upper case refused", "free", False,
         load("HTTP://LOCALHOST:@P/refused?case=@C"), REFUSED),
    Case("link upper case refused", "free", False,
         page_link("HTTP://LOCALHOST:@P/refused?case=@C"), REFUSED),
    Case("LOAD redirected to refused", "free", False, load("@A/to-refused?case=@C"),
         denied_in_place("@R/refused-redirect?case=@C")),
    Case("link redirected to refused", "free", False, page_link("@A/to-refused?case=@C"),
         denied_in_place("@R/refused-redirect?case=@C")),
    Case("LOAD a download of a refused origin", "free", False, load("@R/file?case=@C"),
         denied_in_place("@R/file?case=@C")),
    Case("LOAD about:blank with a list", "free", False, load("about:blank"),
         error_page("Access Denied", "about:blank")),
    Case("LOAD about:blank without a list", "free", False, send("SET-ALLOWED-ORIGINS;LOAD about:"
                                                                 "blank;"), shows("about:blank")),
    Case("refused frame: Access Denied in the frame only", "free", False, load("@A/frame-host"),
         refused_frame_only),
    Case("HTTP 404 is a page", "free", False, load("@A/missing"),
         shows("@A/missing", "Not here")),
    Case("connection refused: Load Error page", "free", False,
         send("SET-ALLOWED-ORIGINS;LOAD http://127.0.0.1:%d/;" % closed_port()),
         error_page("Failed to Load URL", "(-102)", ERR, event={
             "event": "load-error", "code": -102, "text": "net::" + ERR, "main": True})),
    Case("endless redirect: Load Error page", "free", False, load("@A/loop"),
         error_page("Failed to Load URL", "(-310)")),
    Case("LOAD of no URL at all", "free", False, load("http://["),
         error_page("Failed to Load URL", "net::ERR_INVALID_URL (-300)")),
    Case("renderer crash: error page", "free", False, load("chrome://crash"), error_page(
        "renderer process crashed", event={"event": "renderer-gone", "status": "crashed"})),
    # The own scheme goes to the desktop as one argument, only the scheme lower-cased.
    Case("LOAD TAVRIN:", "free", False, load("TAVRIN:load-@C?a={B}"),
         handed_off("tavrin:load-@C?a={B}")),
    Case("link to TAVRIN:", "free", False, page_link("TAVRIN:link-@C"),
         handed_off("tavrin:link-@C")),
    Case("LOAD tavrin: with shell characters", "free", False,
         load("tavrin:" + SHELL.replace(";", ",") % ("@W/pwned", "@W/pwned")),
         handed_off("tavrin:" + SHELL.replace(";", ",") % ("@W/pwned", "@W/pwned"))),
    # The engine percent-encodes { } " < > ` | in a link; the rest stays raw.
    Case("link to tavrin: with shell characters", "free", False,
         page_link("tavrin:a;b$(touch$IFS@W/pwned)`touch$IFS@W/pwned`'q'&&|*?"),
         handed_off("tavrin:a;b$(touch$IFS@W/pwned)%60touch$IFS@W/pwned%60'q'&&%7C*?")),
    Case("other schemes are not handed on", "free", False,
         send("LOAD tavrinx:nope;LOAD mailto:a@b.test;LOAD tavrin:yes-@C;"),
         nothing_handed_but("tavrin:yes-@C")),
    # Downloads ask where to save, offering the server's name, and save nothing unless told.
    Case("download while hidden, accepted", "free", False,
         in_dialog(download("hidden", hide=True), "Return"), saved("hidden")),
    Case("download while shown, accepted", "free", False, in_dialog(download("shown"), "Return"),
         saved("shown")),
    Case("download cancelled", "free", False, in_dialog(download("cancel"), "Escape"), cancelled),
    # Window events and states, by commands and by the user (the first step is one that no
    # earlier row brings, so no stale event is taken for it).
    Case("window by commands", "free", False, lambda ctx: None, state(
        ("MINIMIZE;", "minimized", False), ("SHOW;", "shown", False), ("HIDE;", "hidden", True),
        ("SHOWTOPMOST;", "shown", None), ("HIDE;", "hidden", True),
        ("SHOW;GEOMETRY 10 10 810 1010;", "shown", None), ("", "hidden", True))),
    Case("window by the user, hidden on close, back on the default page", "free", False,
         send("SET-HIDE-ON-CLOSE 1;"), state(
             (["xdotool", "windowminimize", "W"], "minimized", False),
             (["wmctrl", "-i", "-a", "W"], "shown", None),
             (["wmctrl", "-i", "-c", "W"], "hidden", True), then=default_page)),
]


class NavigationTest(unittest.TestCase):
    def test_table(self):
        for c in [c for c in CASES if re.search(os.environ.get("TRBROWSER_ROWS", ""), c.name)]:
            with self.subTest(c.name):
                t0 = time.time()
                self.run_case(c)
                print("ROW %.1f %s" % (time.time() - t0, c.name))
        # QUIT while a save dialog is open: a clean end, nothing saved, nothing left behind.
        b = browser("free")
        download("quit")(Ctx(b, b.main_wid, "quit", None))
        b.quit()
        self.assertNotIn("quit.txt", os.listdir(os.path.join(work, "home", "Downloads")))
        wait_for(lambda: not b.left_behind(), what="helpers gone")

    def run_case(self, c):
        b = browser(c.mode)
        case = re.sub(r"[^a-z0-9]+", "-", c.name.lower())
        b.send("SET-ALLOWED-ORIGINS %s;SHOW;" % pattern())
        if c.page:
            page = allowed("/exits?case=" + case)
            b.send("LOAD %s;" % page)
            b.wait_url(lambda u: u == page, what="exits page")
            wait_for(lambda: b.pixel(b.main_wid, 460, 410) == COLOURS[6], what="exits page painted")
        ctx = Ctx(b, b.main_wid, case, b.geturl())
        c.act(ctx)
        try:
            c.expect(self, ctx)
        finally:
            for wid in b.windows(visible_only=True):
                if wid != ctx.wid:
                    b.wm_close_until(wid, lambda: wid not in b.windows(visible_only=True),
                                     what="extra window closed")


if __name__ == "__main__":
    unittest.main()
