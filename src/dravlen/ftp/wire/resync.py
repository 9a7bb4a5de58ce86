"""Bringing an FTP client's control connection back in step after an error.

A member that meets an error in the middle of an exchange calls
``_valid_reset()`` from inside its ``except`` block (the native core from
inside its `Except` scope, which makes the exception the handled one, as a
Python ``except`` block does).  `BasePath._valid_reset` hands the thread's
client and that exception (``sys.exc_info()``) to `in_step`, which tells
from the exception what may still be pending:

* an `ftplib.Error` (550 from RETR, MDTM, ...): its reply was read whole, so
  nothing should be; that is checked without waiting, at no round trip;
* anything else (the InterruptedError with which ``is_dir()`` abandons a
  download, an exception from a transfer's callback): the transfer was
  abandoned and its closing reply is still to come; it is awaited (at most
  *wait* seconds) and read.

When anything unexpected was there, stale replies are dropped and one NOOP
round is made, whose 200 shows that the next reply read is the next
command's.

A client that cannot be brought back in step is ended with `hang_up`: one
``QUIT`` written without waiting, then its sockets closed.  Closing alone is
not enough for every server: ProFTPD, whose ``NLST`` data connection is cut
and whose control connection then closes with no ``QUIT`` on it, goes on
spinning in that transfer at full CPU, holding a session slot until its own
timeouts; told ``QUIT``, it ends the session at once.
"""

from __future__ import annotations

import ftplib
import select
import socket
import time
from typing import TextIO

from dravlen.base import close_quietly

__all__ = ["ControlReplies", "hang_up", "in_step"]


def in_step(client: ftplib.FTP, handled: BaseException | None, wait: float) -> bool:
    """Bring *client* in step after *handled* (the exception being handled,
    or None); False if that failed (no reply in time, the connection closed,
    garbage), and the client should then be replaced."""
    transfer_pending = handled is not None and not isinstance(handled, ftplib.Error)
    try:
        if ControlReplies(client).resync(transfer_pending, wait):
            return True
    except Exception:
        pass
    hang_up(client)
    return False


def hang_up(client: object) -> None:
    """End *client*'s session without waiting on the server: ``QUIT`` is
    written if the control connection takes it at once (nothing is read),
    then the client is closed.  Never raises for a closed or broken client.

    For a client given up in the middle of an exchange: the data connection
    (if any) is closed first by whoever held it, so the server sees its
    transfer cut, then the ``QUIT`` that ends its session."""
    sock = getattr(client, "sock", None)
    if isinstance(sock, socket.socket):
        try:
            sock.setblocking(False)
            sock.send(b"QUIT\r\n")
        except (OSError, ValueError):
            pass  # a full or broken connection: closing is all that is left
    close_quietly(client)


def _wait_readable(sock: socket.socket, seconds: float) -> bool:
    # poll, unlike select, has no FD_SETSIZE limit on the descriptor number.
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(max(0, int(seconds * 1000 + 0.999))))


def _wait_writable(sock: socket.socket, seconds: float) -> bool:
    poller = select.poll()
    poller.register(sock, select.POLLOUT)
    return bool(poller.poll(max(0, int(seconds * 1000 + 0.999))))


class ControlReplies:
    """Reads whole replies from an ftplib client's control connection, with
    every wait bounded.

    ftplib reads replies through ``client.file``, a text file over the
    socket.  A read that hits the socket's timeout breaks that file for good,
    so here the socket is made non-blocking while replies are read, waits are
    done with poll(), and ``client.file.readline`` returns only what has
    arrived: that includes what the file had already buffered, which poll()
    on the socket cannot see.  A line that arrives in pieces is put together
    here.  A multi-line reply (``226-...`` up to ``226 ...``) counts as one.
    """

    __slots__ = ("client", "sock", "file", "lines", "partial")

    def __init__(self, client: ftplib.FTP):
        if client.sock is None or client.file is None:
            raise EOFError("the client is closed")
        self.client = client
        self.sock: socket.socket = client.sock
        self.file: TextIO = client.file
        self.lines: list[str] = []
        self.partial = ""

    def _read_available(self) -> bool:
        """Take in the lines that have arrived; True if anything had."""
        readline = self.file.readline
        limit = self.client.maxline
        got = False
        for _ in range(1024):
            chunk = readline(limit + 1)
            if not chunk:
                break
            got = True
            text = self.partial + chunk
            if text.endswith("\n"):
                self.partial = ""
                self.lines.append(text.rstrip("\r\n"))
            elif len(text) > limit:
                raise ftplib.error_proto(f"reply line longer than {limit} characters")
            else:
                self.partial = text
        return got

    def _at_eof(self) -> bool:
        try:
            return self.sock.recv(1, socket.MSG_PEEK) == b""
        except BlockingIOError:
            return False
        except ValueError:
            # A TLS socket cannot peek; the TLS client's socket notes the
            # end of the stream when a read meets it.
            return bool(getattr(self.sock, "at_eof", False))
        except OSError:
            return True

    def _take_reply(self) -> str | None:
        lines = self.lines
        while lines:
            first = lines[0]
            code = first[:3]
            if not (len(code) == 3 and code.isascii() and code.isdigit()):
                del lines[0]  # a blank line or stray text is no reply
                continue
            if first[3:4] != "-":
                del lines[0]
                return first
            for end in range(1, len(lines)):
                if lines[end][:3] == code and lines[end][3:4] != "-":
                    del lines[:end + 1]
                    return first
            return None
        return None

    def pending(self) -> bool:
        """Whether anything has arrived that no one has read, without waiting."""
        return bool(self.lines) or bool(self.partial) or self._read_available() or _wait_readable(self.sock, 0)

    def next_reply(self, deadline: float) -> str | None:
        """The next whole reply's first line, or None if none came by *deadline*."""
        while True:
            reply = self._take_reply()
            if reply is not None:
                return reply
            if self._read_available():
                continue
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not _wait_readable(self.sock, remaining):
                return None
            if not self._read_available() and self._at_eof():
                raise EOFError("the server closed the control connection")

    def drain(self) -> None:
        """Drop every whole reply that has already arrived."""
        self._read_available()
        while self._take_reply() is not None:
            pass

    def send(self, line: str, deadline: float) -> None:
        data = memoryview((line + "\r\n").encode(self.client.encoding))
        while data:
            if not _wait_writable(self.sock, deadline - time.monotonic()):
                raise TimeoutError("the control connection does not take a command")
            data = data[self.sock.send(data):]

    def resync(self, transfer_pending: bool, wait: float) -> bool:
        """Bring the client in step with the server; False if that failed.

        *transfer_pending*: a transfer was abandoned, so its closing reply
        (226, 426, 451, a multi-line reply, or one more 150) is still to come.
        """
        sock = self.sock
        timeout = sock.gettimeout()
        sock.setblocking(False)
        try:
            if transfer_pending:
                # Read the transfer's own closing reply first: a NOOP sent at
                # once can be answered before the server notices the data
                # connection is gone and sends it, and our 200 would then be
                # followed by a stale 426.  The closing reply is whatever
                # comes next, even a 1xx: Pure-FTPd sometimes closes an
                # abandoned download with a lone "150 0.000 seconds ..." and
                # sends nothing after it.
                if self.next_reply(time.monotonic() + wait) is None:
                    return False  # no closing reply: where the server is, is unknown
            elif not self.pending():
                # An error reply was read whole and nothing else came.
                return True
            # Whatever has come besides is stale; the reply to one NOOP then
            # shows that the next reply read is the next command's.
            self.drain()
            deadline = time.monotonic() + wait
            self.send("NOOP", deadline)
            while True:
                reply = self.next_reply(deadline)
                if reply is None:
                    return False
                # A server without NOOP (aioftp) answers it all the same: a
                # refusal naming the command is its reply, and no stale one.
                if reply.startswith("200") or (reply[:3] in ("500", "502") and "noop" in reply.lower()):
                    return True
        finally:
            try:
                sock.settimeout(timeout)
            except OSError:
                pass
