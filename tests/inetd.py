"""A tiny inetd for the test-suite's inetd-style FTP servers.

    python inetd.py HOST PORT PROGRAM [ARG...]

listens on HOST:PORT and runs PROGRAM once per connection, with the accepted
socket as its standard input and output (its standard error stays this
process's, a log file) and this process's environment: a server's ``TZ`` is
set by whoever starts this one.  It runs until it is signalled; the servers
it started are its children, in its process group, and are ended with it.
"""

from __future__ import annotations

import os
import selectors
import signal
import socket
import subprocess
import sys


def serve(host: str, port: int, argv: list[str]) -> None:
    listener = socket.create_server((host, port), backlog=64)
    sessions: list[subprocess.Popen] = []
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with selectors.DefaultSelector() as selector:
        selector.register(listener, selectors.EVENT_READ)
        while True:
            if selector.select(timeout=1.0):
                conn, _ = listener.accept()
                with conn:
                    sessions.append(subprocess.Popen(argv, stdin=conn, stdout=conn, close_fds=True))
            sessions = [p for p in sessions if p.poll() is None]  # reaps the ended ones


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    os.chdir("/")
    serve(sys.argv[1], int(sys.argv[2]), sys.argv[3:])
