"""pyftpdlib with a delay on every reply, and a limit on connections.

Loopback answers in microseconds, so it hides what a real network costs: a
round trip per command.  This server holds each reply back for ``delay``
seconds (20 ms is a modest wide-area round trip) before sending it, in order,
without holding up other connections; the data connections are not slowed.
``per_ip`` caps the control connections from one address: one more is
answered ``421`` and closed, as servers with a connection limit do.
``rate`` caps each data connection's bytes per second (0: no cap), so that
a transfer can be caught half-way.  ``late`` holds each command back that
long before it is read, as a control path slower than the data path does.

It runs in a child process like the test-suite's own pyftpdlib
(``servers.start``), so the client measured does not share its interpreter.
"""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import servers


def start(root, delay: float = 0.02, per_ip: int = 0, host: str = "127.0.0.6",
          rate: int = 0, late: float = 0) -> servers.Server:
    """A running server whose user starts in *root*; ``stop()`` ends it."""
    root = Path(root).resolve()
    root.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="dravlen-delayed-"))
    port = servers._free_port(host)
    log = work / "console.log"
    argv = [sys.executable, os.path.abspath(__file__), host, str(port), str(root),
            servers.USER, servers.PASSWORD, repr(delay), str(per_ip), str(rate), repr(late)]
    with open(log, "wb") as out:
        import subprocess

        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, cwd=work, start_new_session=True)
    server = servers.Server("delayed", host, port, root, process, work, [log])
    servers._running.add(server)
    try:
        servers._wait_for_login(server)
    except BaseException:
        server.stop()
        raise
    return server


def _serve(host, port, root, user, password, delay, per_ip, rate="0", late="0"):  # pragma: no cover (child side)
    import collections
    import time

    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.servers import FTPServer

    import logging

    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    delay, late = float(delay), float(late)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    class Delayed(FTPHandler):
        auth_failed_timeout = 0

        def push(self, data):
            if not delay or data.startswith("421"):
                # A 421 goes at once: the connection closes right after it.
                return super().push(data)
            # One queue per connection, so replies keep their order.
            pending = self.__dict__.setdefault("_pending", collections.deque())
            pending.append((time.monotonic() + delay, data))
            if len(pending) == 1:
                self.ioloop.call_later(delay, self._flush)

        def pre_process_command(self, line, cmd, arg):
            if not late:
                return super().pre_process_command(line, cmd, arg)
            self.ioloop.call_later(late, super().pre_process_command, line, cmd, arg)

        def _flush(self):
            pending = self._pending
            now = time.monotonic()
            while pending and pending[0][0] <= now + 0.0005:
                data = pending.popleft()[1]
                if self.connected:
                    try:
                        FTPHandler.push(self, data)
                    except Exception:
                        pass
            if pending:
                self.ioloop.call_later(max(0.0, pending[0][0] - now), self._flush)

    Delayed.authorizer = authorizer
    if int(rate):
        ThrottledDTPHandler.read_limit = ThrottledDTPHandler.write_limit = int(rate)
        Delayed.dtp_handler = ThrottledDTPHandler
    server = FTPServer((host, int(port)), Delayed)
    server.max_cons_per_ip = int(per_ip)
    server.serve_forever()


if __name__ == "__main__":
    _serve(*sys.argv[1:])
