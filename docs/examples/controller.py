#!/usr/bin/env python3
"""A minimal trbrowser controller in Python (standard library only).

    python3 controller.py URL [BROWSER [BROWSER SWITCHES...]]

Creates the socket, starts the browser connected to it, loads URL, waits until GETURL
reports it, prints the GETURL reply and the final GEOMETRY report, and quits.
"""
import os
import secrets
import socket
import subprocess
import sys
import tempfile
import time

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
    path = os.path.join(workdir, "trbrowser.sock")
    old_mask = os.umask(0o177)  # the socket is for this user only
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.umask(old_mask)
    listener.listen(1)

    # The browser's own output goes to stderr, so stdout carries the replies only.
    proc = subprocess.Popen([browser, "--named-pipe=" + path, *switches], stdout=sys.stderr)
    listener.settimeout(TIMEOUT)
    conn, _ = listener.accept()
    listener.close()
    os.unlink(path)
    os.rmdir(workdir)

    ctl = Controller(conn)
    ctl.send("LOAD " + url)
    deadline = time.monotonic() + TIMEOUT
    while not (current := ctl.geturl()).startswith(url):  # GETURL reports the committed page
        if time.monotonic() > deadline:
            sys.exit("page did not load; the browser is at " + current)
        time.sleep(0.1)
    print("GETURL " + current)
    print(ctl.quit())
    conn.close()
    return proc.wait(timeout=TIMEOUT)


if __name__ == "__main__":
    sys.exit(main())
