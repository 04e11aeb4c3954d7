#!/usr/bin/env python3
"""A minimal trbrowser controller in Python (standard library only).

    python3 controller.py URL [BROWSER [BROWSER SWITCHES...]]

Creates the command socket and the events socket, starts the browser connected to both,
loads URL, waits for the browser's "load" event for it, prints the GETURL reply and the
final GEOMETRY report, and quits.
"""
import json
import os
import secrets
import socket
import subprocess
import sys
import tempfile

TIMEOUT = 30.0


class Controller:
    def __init__(self, conn):
        self.conn = conn
        self.conn.settimeout(TIMEOUT)
        self.pending = b""  # bytes received but not yet taken as a reply

    def send(self, *commands):
        # Every command ends with ";": the browser separates commands by ";" only.
        self.conn.sendall(b"".join(c.encode() + b";" for c in commands))

    def read_until(self, marker):
        while marker not in self.pending:
            chunk = self.conn.recv(4096)
            if not chunk:
                raise ConnectionError("browser closed the connection")
            self.pending += chunk
        reply, _, self.pending = self.pending.partition(marker)
        return reply

    def geturl(self):
        # Replies have no terminator. A piece the browser refuses, carrying a fresh random
        # word, is sent right after GETURL: its syntax-error reply marks where the URL ends.
        fence = "#end-" + secrets.token_hex(8)
        self.send("GETURL", fence)
        reply = self.read_until(("ERROR Syntax Error: " + fence).encode())
        assert reply.startswith(b"GETURL "), reply
        return reply[len("GETURL "):].decode()

    def wait_load(self, events, url):
        # Events are JSON objects, one per line, pushed as they happen: no polling.
        for line in events:
            event = json.loads(line)
            if event["event"] == "load" and event["url"].startswith(url):
                return
        raise ConnectionError("the events ended before %s had loaded" % url)

    def quit(self):
        # QUIT: the browser writes its final report and closes the connection.
        self.send("QUIT")
        report = self.pending
        while True:
            chunk = self.conn.recv(4096)
            if not chunk:
                return report.decode()
            report += chunk


def main():
    url = sys.argv[1]
    browser = sys.argv[2] if len(sys.argv) > 2 else "trbrowser"
    switches = sys.argv[3:]

    workdir = tempfile.mkdtemp()
    paths = [os.path.join(workdir, name) for name in ("trbrowser.sock", "events.sock")]
    old_mask = os.umask(0o177)  # the sockets are for this user only
    listeners = []
    for path in paths:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(1)
        listener.settimeout(TIMEOUT)
        listeners.append(listener)
    os.umask(old_mask)

    # The browser's own output goes to stderr, so stdout carries the replies only.
    proc = subprocess.Popen([browser, "--named-pipe=" + paths[0], "--events-pipe=" + paths[1],
                             *switches], stdout=sys.stderr)
    conn, events_conn = (listener.accept()[0] for listener in listeners)
    for listener, path in zip(listeners, paths):
        listener.close()
        os.unlink(path)
    os.rmdir(workdir)
    events_conn.settimeout(TIMEOUT)
    events = events_conn.makefile("rb")

    ctl = Controller(conn)
    ctl.send("LOAD " + url)
    ctl.wait_load(events, url)
    print("GETURL " + ctl.geturl())  # loaded means committed: GETURL shows the page
    print(ctl.quit())
    conn.close()
    events_conn.close()
    return proc.wait(timeout=TIMEOUT)


if __name__ == "__main__":
    sys.exit(main())
