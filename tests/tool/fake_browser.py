#!/usr/bin/env python3
"""A stand-in for trbrowser that the tool's tests start with --browser.

It connects to the socket given by --named-pipe=PATH like the browser does, speaks the
command language well enough for the tool (LOAD, GETURL, ISHIDDEN, HIDE/SHOW, QUIT, syntax
errors) and misbehaves on request. FAKE_MODE picks the behaviour; FAKE_LOG names a file
that receives everything read from the socket plus a few facts, as JSON, at the end. With
FAKE_EVENTS=1 it also connects to --events-pipe=PATH and writes a load event for each LOAD;
otherwise it ignores that switch, like a browser without events.
"""
import json
import os
import re
import socket
import stat
import sys
import time

COMMANDS = {"LOAD": 2, "RELOAD": 1, "CLEAR": 1, "SHOW": 1, "SHOWTOPMOST": 1, "HIDE": 1,
            "MINIMIZE": 1, "QUIT": 1, "GEOMETRY": 5, "NORESIZE": 1, "ISHIDDEN": 1,
            "GETURL": 1, "SET-ALLOWED-ORIGINS": 1, "SET-HIDE-ON-CLOSE": 1}


def accepted(piece):
    tokens = re.split(r"\s+", piece)
    if tokens and tokens[-1] == "" and len(tokens) > 1:
        tokens.pop()
    word = tokens[0]
    if word not in COMMANDS:
        return None
    need = COMMANDS[word]
    if word == "GEOMETRY" and len(tokens) != 5:
        return None
    if len(tokens) < need:
        return None
    return tokens


def main():
    mode = os.environ.get("FAKE_MODE", "protocol")
    log = {"argv": sys.argv[1:], "received": "", "mode": None}
    path = next(a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--named-pipe="))
    print("fake browser noise on stdout", flush=True)  # must not reach the tool's stdout
    if mode == "exit-early":
        sys.exit(1)
    log["mode"] = oct(stat.S_IMODE(os.stat(path).st_mode))
    events = None
    if os.environ.get("FAKE_EVENTS") == "1":
        events_path = next(a.split("=", 1)[1] for a in sys.argv[1:]
                           if a.startswith("--events-pipe="))
        events = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        events.connect(events_path)
        events.sendall(b'{"event":"title","title":"fake \\"quoted\\""}\n')
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    url = os.environ.get("FAKE_START_URL", "")
    stale_urls = int(os.environ.get("FAKE_STALE_GETURLS", "0"))
    loaded = None
    hidden = True
    carry = b""
    exit_code = int(os.environ.get("FAKE_EXIT", "0"))

    def reply(text):
        data = text.encode()
        if mode == "dribble":
            for i in range(len(data)):
                sock.sendall(data[i:i + 1])
                time.sleep(0.001)
        else:
            sock.sendall(data)

    try:
        if mode == "window-closed":
            reply("GEOMETRY 5 6 7 8")
            return exit_code
        while True:
            data = sock.recv(2047)
            if not data:
                return exit_code
            log["received"] += data.decode("utf-8", "replace")
            if mode == "silent":
                continue
            if mode == "close-early":
                return exit_code
            text = carry + data
            pieces = text.split(b";")
            carry = pieces.pop()  # what follows the last ";" (commands always end with one)
            for raw in pieces:
                piece = raw.decode()
                tokens = accepted(piece)
                if tokens is None:
                    reply("ERROR Syntax Error: " + piece)
                    continue
                word = tokens[0]
                if mode == "garbage" and word == "ISHIDDEN":
                    reply("HELLO")
                elif word == "LOAD":
                    loaded = tokens[1]
                    if events:
                        events.sendall(json.dumps({"event": "load", "url": loaded}).encode()
                                       + b"\n")
                elif word == "HIDE":
                    hidden = True
                elif word in ("SHOW", "SHOWTOPMOST", "MINIMIZE"):
                    hidden = False
                elif word == "ISHIDDEN":
                    reply("ISHIDDEN " + ("1" if hidden else "0"))
                elif word == "GETURL":
                    if loaded is not None:
                        if stale_urls > 0:
                            stale_urls -= 1
                        else:
                            url = loaded
                    reply("GETURL " + url)
                elif word == "QUIT":
                    reply("GEOMETRY 10 20 610 820")
                    sock.close()
                    if mode == "no-exit":
                        time.sleep(3600)
                    return exit_code
    finally:
        if os.environ.get("FAKE_LOG"):
            with open(os.environ["FAKE_LOG"], "w") as f:
                json.dump(log, f)


if __name__ == "__main__":
    sys.exit(main())
