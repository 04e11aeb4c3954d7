"""Every way out of the allow-list, tried the way a user or a controller would: real pointer and
keyboard input (xdotool) on the real browser under Xvfb + openbox, against two loopback origins.
127.0.0.1 is allowed; "localhost" (the same server) is refused, so a fetch of a refused page
shows in the server's request log.

One table: each case is a gesture (or a LOAD) and what must follow from it."""

import collections
import os
import re
import shutil
import tempfile
import unittest
import urllib.parse

from fixture import (Browser, Display, PageServer, decode_data_url, make_xdg_open_stub,
                     read_lines, wait_for)

display = None
server = None
stub_dir = None
browsers = {}

DENIED_TITLE = "Tavrin Browser - URL Not Allowed"
# The page's blocks: block i spans 10 + 60 i to 60 + 60 i from the top, 10 to 510 from the left.
BLOCK_COLOURS = ["C0C0FF", "C0FFC0", "FFC0C0", "FFFFC0", "FFFFFF", "C0FFFF", "E0E0E0"]


def allowed(path):
    return server.url(path)


def refused(path):
    return server.url(path, host="localhost")


def block_centre(i):
    return 260, 35 + 60 * i


def exits_page(handler):
    """The page the gestures act on, its links carrying the case's name so that each case has
    requests of its own."""
    case = urllib.parse.parse_qs(urllib.parse.urlsplit(handler.path).query)["case"][0]
    q = "?case=" + urllib.parse.quote(case)
    inner = [
        "<a href='%s'>refused link</a>" % refused("/refused" + q),
        "<a href='%s'>allowed link</a>" % allowed("/allowed" + q),
        "<a href='%s' target=_blank>refused, new window</a>" % refused("/refused-popup" + q),
        "<a href='%s' target=_blank>allowed popup</a>" % allowed("/popup" + q),
        "<input id=t style='width:480px;height:40px' oninput=\"fetch('/report%s&v=' + "
        "encodeURIComponent(this.value))\">" % q,
        "<iframe src='%s' style='border:0;width:500px;height:50px'></iframe>"
        % allowed("/frame" + q),
        "<a href='%s' target=_blank>redirect, new window</a>" % allowed("/to-refused" + q),
    ]
    blocks = "".join(
        "<div style='position:absolute;left:10px;top:%dpx;width:500px;height:50px;"
        "background:#%s'>%s</div>" % (10 + 60 * i, colour, html)
        for i, (colour, html) in enumerate(zip(BLOCK_COLOURS, inner)))
    return (200, {"Content-Type": "text/html"},
            "<html><head><title>Exits</title><style>a { display: block; height: 50px }</style>"
            "</head><body style='margin:0'>%s</body></html>"
            % blocks)


def query_of(handler):
    return urllib.parse.urlsplit(handler.path).query


def titled(title, body=""):
    return lambda handler: (200, {"Content-Type": "text/html"},
                            "<html><head><title>%s</title></head><body>%s</body></html>"
                            % (title, body))


def setUpModule():
    global display, server, stub_dir
    display = Display().start()
    server = PageServer()
    server.pages["/exits"] = exits_page
    for path in ("/refused", "/refused-popup", "/refused-in-popup", "/refused-frame",
                 "/refused-redirect", "/refused-history", "/refused-drop"):
        server.pages[path] = titled("Refused")
    server.pages["/allowed"] = titled("Allowed")
    server.pages["/frame"] = lambda h: (
        200, {"Content-Type": "text/html"},
        "<html><body style='margin:0'><a href='%s' style='display:block;height:50px;"
        "background:#C0FFFF'>link in a frame</a></body></html>"
        % refused("/refused-frame?" + query_of(h)))
    # A popup page with a refused link filling its top and a refused frame; its title changes
    # once everything in it has loaded, frames included.
    server.pages["/popup"] = lambda h: (
        200, {"Content-Type": "text/html"},
        "<html><head><title>Popup</title></head><body style='margin:0'>"
        "<a href='%s' style='display:block;height:100px;background:#C0C0FF'>out</a>"
        "<iframe src='%s'></iframe>"
        "<script>onload = () => { document.title = 'Popup Loaded' }</script></body></html>"
        % (refused("/refused-in-popup?" + query_of(h)),
           refused("/refused-frame?" + query_of(h))))
    server.pages["/to-refused"] = lambda h: (
        302, {"Location": refused("/refused-redirect?" + query_of(h))}, b"")
    # A page's own navigation to ?to=URL, through a link it clicks itself.
    server.pages["/go"] = lambda h: (
        200, {"Content-Type": "text/html"},
        "<html><body><a id=l href='%s'>go</a><script>document.getElementById('l').click()"
        "</script></body></html>" % urllib.parse.parse_qs(query_of(h))["to"][0])
    # What another program offers to be dragged.
    server.html("/drag-source",
                "<html><body style='margin:0'>"
                "<a href='%s' style='display:block;height:50px;background:#FFC0C0'>drag</a>"
                "<a href='file:///etc/hostname' style='display:block;height:50px'>file</a>"
                "</body></html>" % refused("/refused-drop"))
    stub_dir = tempfile.mkdtemp(prefix="trb-e2e-exits-")


def tearDownModule():
    for b in browsers.values():
        b.close()
    if server:
        server.stop()
    if display:
        display.stop()
    if stub_dir:
        shutil.rmtree(stub_dir, ignore_errors=True)


def record_path():
    return os.path.join(stub_dir, "opened.txt")


def browser(mode):
    """The browser for a mode, started once: 'free' (popups as specified), 'restricted'
    (--restrict-popups) or 'source' (another program to drag from)."""
    if mode in browsers and browsers[mode].proc.poll() is None:
        return browsers[mode]
    args = {"free": (), "restricted": ("--restrict-popups",), "source": ()}[mode]
    env = {"TRBROWSER_DEBUG_CONTEXT_MENU": "1",
           "PATH": make_xdg_open_stub(stub_dir, record_path()) + os.pathsep + os.environ["PATH"]}
    b = Browser(display, extra_args=args, env=env)
    browsers[mode] = b
    b.accept()
    b.wait_url(lambda u: u.startswith("data:text/html"), what="default page")
    b.main_wid = b.main_window()  # found while it is the only window
    if mode == "source":
        b.send("GEOMETRY 10 1050 410 1550;SHOW;LOAD %s;" % allowed("/drag-source"))
        b.wait_url(lambda u: u == allowed("/drag-source"), what="drag source")
    else:
        b.send("SET-ALLOWED-ORIGINS %s;GEOMETRY 10 10 810 1010;SHOW;" % allowed_pattern())
        b.ishidden()
    return b


def allowed_pattern():
    return r"http://127\.0\.0\.1:%d/" % server.port


# ---------------------------------------------------------------------------------------------
# What a case does: each takes the context (browser, main window, case name).

Ctx = collections.namedtuple("Ctx", "b wid case")


def xdo(ctx, *args):
    ctx.b.x("xdotool", *[str(a) for a in args])


def on_block(i, button=1, keys=()):
    """A click on block i with `keys` held."""
    def act(ctx):
        x, y = block_centre(i)
        xdo(ctx, "mousemove", "--window", ctx.wid, x, y)
        for key in keys:
            xdo(ctx, "keydown", key)
        xdo(ctx, "click", button)
        for key in reversed(keys):
            xdo(ctx, "keyup", key)
    return act


def keys_on_first_link(combo):
    """Focus on the page, Tab to its first link (the refused one), then `combo`."""
    def act(ctx):
        xdo(ctx, "mousemove", "--window", ctx.wid, 800, 700, "click", 1)
        xdo(ctx, "key", "Tab", combo)
    return act


def then_allowed_link(first):
    """`first`, then a plain click on the allowed link, whose arrival shows that what came
    before has had its turn. The click is repeated while the page stays: a drag's source may
    still hold the pointer a moment after the button is up, and a click then goes to it."""
    def act(ctx):
        first(ctx)
        page = allowed("/exits?case=" + ctx.case)
        for _ in range(10):
            on_block(1)(ctx)
            try:
                ctx.b.wait_url(lambda u: u != page, timeout=3, what="a click taken")
                return
            except AssertionError:
                pass
        raise AssertionError("the allowed link was never taken")
    return act


def browser_shortcuts(ctx):
    # Reload, back, save, print, view source and developer tools as a desktop browser binds
    # them.
    xdo(ctx, "mousemove", "--window", ctx.wid, 800, 700, "click", 1)
    xdo(ctx, "key", "F5", "ctrl+r", "alt+Left", "ctrl+s", "ctrl+p", "ctrl+u", "F12",
        "ctrl+shift+i", "ctrl+n", "ctrl+t")


def drag_from_source(link):
    """Drags link `link` of another program's window onto the middle of the main window."""
    def act(ctx):
        source = browser("source")
        sid = source.main_wid
        sx, sy = 60, 25 + 50 * link
        xdo(ctx, "mousemove", "--window", sid, sx, sy, "mousedown", 1)
        # Gradually, so that the drag starts and both windows see it pass.
        for step in range(1, 31):
            xdo(ctx, "mousemove", "--window", sid, sx - (sx + 500) * step // 30, sy + 300 * step // 30)
        xdo(ctx, "mousemove", "--window", ctx.wid, 600, 330)
        xdo(ctx, "mouseup", 1)
    return act


def context_menu(i, then=()):
    def act(ctx):
        x, y = block_centre(i) if i is not None else (800, 700)
        shown = len(menu_listings(ctx.b))
        xdo(ctx, "mousemove", "--window", ctx.wid, x, y, "click", 3)
        wait_for(lambda: len(menu_listings(ctx.b)) > shown, what="context menu")
        xdo(ctx, "key", *(then or ("Escape",)))
    return act


def copy_link_and_paste(ctx):
    # The link's menu ends with "copy link address": Up picks the last item.
    context_menu(0, then=("Up", "Return"))(ctx)
    on_block(4)(ctx)
    xdo(ctx, "key", "ctrl+v")


def back_button_after_the_list_changed(ctx):
    b = ctx.b
    page = refused("/refused-history?case=" + ctx.case)
    b.send("SET-ALLOWED-ORIGINS;LOAD %s;" % page)
    b.wait_url(lambda u: u == page, what="page of an origin allowed at the time")
    b.send("LOAD %s;" % allowed("/allowed?case=" + ctx.case))
    b.wait_url(lambda u: u == allowed("/allowed?case=" + ctx.case), what="next page")
    b.send("SET-ALLOWED-ORIGINS %s;" % allowed_pattern())
    xdo(ctx, "mousemove", "--window", ctx.wid, 800, 700, "click", 8)


def spell(text, ctx):
    """`text` with REFUSED and ALLOWED standing for the two origins, PORT for the server's
    port and CASE for the case's name."""
    return (text.replace("REFUSED", refused("")).replace("ALLOWED", allowed(""))
            .replace("PORT", str(server.port)).replace("CASE", ctx.case))


def load(text):
    return lambda ctx: ctx.b.send("LOAD %s;" % spell(text, ctx))


def page_link(text):
    """The same text as the href of a link that a page clicks."""
    return lambda ctx: ctx.b.send("LOAD %s;" % allowed(
        "/go?to=" + urllib.parse.quote(spell(text, ctx), safe="")))


# ---------------------------------------------------------------------------------------------
# What must follow.

def fetched(path, case):
    return sum(1 for r in server.requests if r == "%s?case=%s" % (path, case))


def menu_listings(b):
    return [line.split("context menu:", 1)[1].strip() for line in b.stderr().splitlines()
            if "context menu:" in line]


def denied_in_place(target, fetched_before=0):
    """The main frame shows Access Denied for the refused URL `target` (spelled), which was
    not fetched (again), and no window opened."""
    def expect(t, ctx):
        url = spell(target, ctx)
        page = ctx.b.wait_url(lambda u: u.startswith("data:text/html;base64,") and
                              url.encode() in decode_data_url(u), what="Access Denied")
        t.assertIn(b"Access Denied", decode_data_url(page))
        parts = urllib.parse.urlsplit(url)
        t.assertEqual(server.requests.count(parts.path + "?" + parts.query), fetched_before,
                      "refused URL fetched")
        t.assertEqual(ctx.b.windows(visible_only=True), [ctx.wid])
    return expect


def allowed_in_place():
    def expect(t, ctx):
        target = allowed("/allowed?case=" + ctx.case)
        ctx.b.wait_url(lambda u: u == target, what=target)
        t.assertEqual(ctx.b.windows(visible_only=True), [ctx.wid])
    return expect


def popup(title, path, fetched_too):
    """A window of its own opens and shows `title`; `path` was fetched only if `fetched_too`."""
    def expect(t, ctx):
        wait_for(lambda: ctx.b.windows(title=title, visible_only=True), what="popup " + title)
        t.assertEqual(fetched(path, ctx.case), 1 if fetched_too else 0)
        t.assertEqual(ctx.b.geturl(), allowed("/exits?case=" + ctx.case), "main window moved")
    return expect


def popup_navigates_to_refused_link(t, ctx):
    wait_for(lambda: ctx.b.windows(title="Popup Loaded", visible_only=True), what="popup")
    # Its refused frame was never fetched; now its refused link, clicked.
    t.assertEqual(fetched("/refused-frame", ctx.case), 0)
    pid = ctx.b.windows(title="Popup Loaded", visible_only=True)[0]
    xdo(ctx, "mousemove", "--window", pid, 100, 50, "click", 1)
    wait_for(lambda: ctx.b.windows(title=DENIED_TITLE, visible_only=True), what="denied in popup")
    t.assertEqual(fetched("/refused-in-popup", ctx.case), 0)


def menu_lists(expected):
    def expect(t, ctx):
        t.assertEqual(menu_listings(ctx.b)[-1], expected)
        t.assertEqual(ctx.b.geturl(), allowed("/exits?case=" + ctx.case))
        wait_for(lambda: ctx.b.windows(visible_only=True) == [ctx.wid], what="menu closed")
    return expect


def pasted_link_address(t, ctx):
    report = "/report?case=%s&v=%s" % (ctx.case, urllib.parse.quote(
        refused("/refused?case=" + ctx.case), safe=""))
    wait_for(lambda: report in server.requests, what="pasted link address")
    t.assertEqual(fetched("/refused", ctx.case), 0)
    t.assertEqual(ctx.b.windows(visible_only=True), [ctx.wid])


def only_the_click_happened(t, ctx):
    allowed_in_place()(t, ctx)
    ours = sorted(r for r in server.requests if r.endswith("?case=" + ctx.case))
    t.assertEqual(ours, sorted(p + "?case=" + ctx.case for p in ("/exits", "/frame", "/allowed")))
    t.assertNotIn("/refused-drop", server.requests)


def handed_off(text):
    def expect(t, ctx):
        want = spell(text, ctx)
        wait_for(lambda: want in read_lines(record_path()), what="xdg-open " + want)
    return expect


def load_error(t, ctx):
    url = ctx.b.wait_url(lambda u: u.startswith("data:text/html;base64,") and
                         b"Failed to Load URL" in decode_data_url(u), what="Load Error")
    t.assertIn(b"net::ERR_INVALID_URL (-300)", decode_data_url(url))


# ---------------------------------------------------------------------------------------------

Case = collections.namedtuple("Case", "name mode page act expect")

REFUSED_LINK = denied_in_place("REFUSED/refused?case=CASE")
CASES = [
    # Link gestures: another tab or window means this page, under the list.
    Case("click refused link", "free", True, on_block(0), REFUSED_LINK),
    Case("middle-click refused link", "free", True, on_block(0, 2), REFUSED_LINK),
    Case("ctrl-click refused link", "free", True, on_block(0, 1, ["ctrl"]), REFUSED_LINK),
    Case("shift-click refused link", "free", True, on_block(0, 1, ["shift"]), REFUSED_LINK),
    Case("ctrl+shift-click refused link", "free", True, on_block(0, 1, ["ctrl", "shift"]),
         REFUSED_LINK),
    Case("shift+middle-click refused link", "free", True, on_block(0, 2, ["shift"]),
         REFUSED_LINK),
    Case("ctrl+Enter on refused link", "free", True, keys_on_first_link("ctrl+Return"),
         REFUSED_LINK),
    Case("ctrl+shift+Enter on refused link", "free", True,
         keys_on_first_link("ctrl+shift+Return"), REFUSED_LINK),
    Case("ctrl-click refused link in a frame", "free", True, on_block(5, 1, ["ctrl"]),
         denied_in_place("REFUSED/refused-frame?case=CASE")),
    Case("ctrl+shift-click refused target=_blank link", "free", True,
         on_block(2, 1, ["ctrl", "shift"]), denied_in_place("REFUSED/refused-popup?case=CASE")),
    Case("click allowed link", "free", True, on_block(1), allowed_in_place()),
    Case("middle-click allowed link", "free", True, on_block(1, 2), allowed_in_place()),
    Case("ctrl+shift-click allowed link", "free", True, on_block(1, 1, ["ctrl", "shift"]),
         allowed_in_place()),
    # Drops from another program are not taken.
    Case("drop a refused link", "free", True, then_allowed_link(drag_from_source(0)),
         only_the_click_happened),
    Case("drop a file", "free", True, then_allowed_link(drag_from_source(1)),
         only_the_click_happened),
    # The engine's own shortcuts and buttons.
    Case("browser shortcuts do nothing", "free", True, then_allowed_link(browser_shortcuts),
         only_the_click_happened),
    Case("mouse back button to a now refused page", "free", False,
         back_button_after_the_list_changed,
         denied_in_place("REFUSED/refused-history?case=CASE", fetched_before=1)),
    # The context menu.
    Case("context menu on a link", "free", True, context_menu(0),
         menu_lists("back forward reload | copy-link-address")),
    Case("context menu in a text field", "free", True, context_menu(4),
         menu_lists("undo redo | cut copy paste paste-and-match-style select-all")),
    Case("context menu on the page", "free", True, context_menu(None),
         menu_lists("back forward reload")),
    Case("copy link address, paste in a field", "free", True, copy_link_and_paste,
         pasted_link_address),
    # Popups: free as specified by default, under the main list with --restrict-popups.
    Case("target=_blank to refused, free popups", "free", True, on_block(2),
         popup("Refused", "/refused-popup", True)),
    Case("target=_blank to refused, restricted popups", "restricted", True, on_block(2),
         popup(DENIED_TITLE, "/refused-popup", False)),
    Case("popup redirected to refused, restricted popups", "restricted", True, on_block(6),
         popup(DENIED_TITLE, "/refused-redirect", False)),
    Case("refused frame and link in a restricted popup", "restricted", True, on_block(3),
         popup_navigates_to_refused_link),
    # LOAD decides on the URL the engine loads, and a page's link with the same text agrees.
    # Only the scheme is lower-cased: the rest goes to the desktop as the controller sent it.
    Case("LOAD TAVRIN:", "free", False, load("TAVRIN:load-CASE?a={B}"),
         handed_off("tavrin:load-CASE?a={B}")),
    Case("link to TAVRIN:", "free", False, page_link("TAVRIN:link-CASE"),
         handed_off("tavrin:link-CASE")),
    Case("LOAD without a scheme, allowed", "free", False,
         load("127.0.0.1:PORT/allowed?case=CASE"), allowed_in_place()),
    Case("LOAD without a scheme, refused", "free", False,
         load("localhost:PORT/refused?case=CASE"), REFUSED_LINK),
    Case("LOAD 127.1", "free", False, load("http://127.1:PORT/allowed?case=CASE"),
         allowed_in_place()),
    Case("link to 127.1", "free", False, page_link("http://127.1:PORT/allowed?case=CASE"),
         allowed_in_place()),
    Case("LOAD dot segments", "free", False,
         load("http://127.0.0.1:PORT/x/../allowed?case=CASE"), allowed_in_place()),
    Case("link with dot segments", "free", False,
         page_link("http://127.0.0.1:PORT/x/../allowed?case=CASE"), allowed_in_place()),
    Case("LOAD upper case refused", "free", False,
         load("HTTP://LOCALHOST:PORT/refused?case=CASE"), REFUSED_LINK),
    Case("link upper case refused", "free", False,
         page_link("HTTP://LOCALHOST:PORT/refused?case=CASE"), REFUSED_LINK),
    Case("LOAD redirected to refused", "free", False, load("ALLOWED/to-refused?case=CASE"),
         denied_in_place("REFUSED/refused-redirect?case=CASE")),
    Case("link redirected to refused", "free", False,
         page_link("ALLOWED/to-refused?case=CASE"),
         denied_in_place("REFUSED/refused-redirect?case=CASE")),
    Case("LOAD of no URL at all", "free", False, load("http://["), load_error),
]


class ExitsTest(unittest.TestCase):
    def test_gestures(self):
        for c in CASES:
            with self.subTest(c.name):
                self.run_case(c)

    def run_case(self, c):
        b = browser(c.mode)
        case = re.sub(r"[^a-z0-9]+", "-", c.name.lower())
        ctx = Ctx(b, b.main_wid, case)
        if c.page:
            page = allowed("/exits?case=" + case)
            b.send("LOAD %s;SHOW;" % page)
            b.wait_url(lambda u: u == page, what="exits page")
            x, y = block_centre(6)
            wait_for(lambda: b.pixel(ctx.wid, x + 200, y + 15) == BLOCK_COLOURS[6],
                     what="exits page painted")
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
