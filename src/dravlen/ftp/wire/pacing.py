"""Sending an upload's data over TLS without running far ahead of a server
on this machine (`Sender`).

A server decrypting what comes over a link of microseconds (on this
machine, in a container beside it) does so fastest while the data is still
in the CPU's cache: sent all at once, megabytes wait in its receive queue
and go cold, and vsftpd took a 1 GiB TLS upload 1.3x slower than when
about `AHEAD` bytes at most were unacknowledged.  A cap on unacknowledged
bytes is a cap on bytes in flight, that is on the rate (the cap over the
round trip), so the cap grows with the round trip to keep the rate it
allows at `FLOOR` or more, and links whose round trip is `LOCAL_RTT` or
more are not paced at all.  Plain data is not paced: there the server's
work per byte is small, and the pacing's own cost was the larger.  Where
the platform cannot tell the round trip (Linux reports it), the data goes
as it comes.
"""

from __future__ import annotations

import socket
import ssl
import struct
import sys
import time
from typing import Any

__all__ = ["AHEAD", "FLOOR", "LOCAL_RTT", "Sender"]

#: Unacknowledged bytes a local link is allowed, at least, before the next piece goes.
AHEAD = 256 << 10
#: The rate (bytes a second) that pacing never holds a connection below.
FLOOR = 1 << 30
#: The round trip (seconds) below which a link is local.  Loopback's is
#: 0.03 to 0.6 ms while a server is busy.
LOCAL_RTT = 1e-3
#: A piece: one TLS record's worth.
_PIECE = 16 << 10
#: How long one piece waits for the server at most; then it goes as the
#: kernel allows (a server holding its acknowledgements back is not waited on).
_PATIENCE = 0.002
#: Pieces in a row that outwait `_PATIENCE` before pacing stops: the reader
#: is slower than the link (a proxy passing the data on to a slow one), so
#: the kernel's own flow control is all there is to do.
_GIVE_UP = 4
#: Pieces between two readings of the round trip.
_RECHECK = 256

if sys.platform == "linux":
    import fcntl
    import termios

    _OUTQ: int | None = termios.TIOCOUTQ
    _TCP_INFO: int | None = getattr(socket, "TCP_INFO", None)
else:
    _OUTQ = _TCP_INFO = None
_RTT = struct.Struct("=I")  # tcp_info's tcpi_rtt, microseconds
_RTT_AT = 68


def _round_trip(conn: Any) -> float | None:
    """The kernel's smoothed round trip of *conn*, in seconds, if it tells."""
    if _TCP_INFO is None or _OUTQ is None:
        return None
    try:
        info = conn.getsockopt(socket.IPPROTO_TCP, _TCP_INFO, _RTT_AT + _RTT.size)
    except (OSError, AttributeError):
        return None
    if len(info) < _RTT_AT + _RTT.size:
        return None
    micros: int = _RTT.unpack_from(info, _RTT_AT)[0]
    return micros / 1e6 if micros else None


class Sender:
    """`send` writes all of some data to the connection *conn*, paced where
    it is TLS on a local link (see the module)."""

    __slots__ = ("_ahead", "_conn", "_count", "_late", "_outq", "_paced")

    def __init__(self, conn: Any) -> None:
        self._conn = conn
        self._count = self._late = 0
        self._outq = bytearray(4)
        self._ahead = AHEAD
        self._paced = isinstance(conn, ssl.SSLSocket) and self._measure()

    def _measure(self) -> bool:
        """Whether the link is local now (setting the cap its round trip allows)."""
        rtt = _round_trip(self._conn)
        if rtt is None or rtt >= LOCAL_RTT:
            return False
        self._ahead = max(AHEAD, int(rtt * FLOOR))
        return True

    def send(self, data: Any) -> None:
        conn = self._conn
        if not self._paced:
            conn.sendall(data)
            return
        view = memoryview(data).cast("B")
        for at in range(0, len(view), _PIECE):
            conn.sendall(view[at:at + _PIECE])
            self._count += 1
            if self._count % _RECHECK == 0:
                self._paced = self._measure()
            if self._paced:
                self._paced = self._wait()
            if not self._paced:
                conn.sendall(view[at + _PIECE:])
                return

    def _wait(self) -> bool:
        """Until the unacknowledged bytes are within the cap, or `_PATIENCE`
        is up; whether to go on pacing."""
        fd, outq, ahead = self._conn.fileno(), self._outq, self._ahead
        deadline = 0.0
        while True:
            fcntl.ioctl(fd, _OUTQ, outq)  # type: ignore[arg-type]
            if int.from_bytes(outq, sys.byteorder) <= ahead:
                self._late = 0
                return True
            now = time.monotonic()
            if not deadline:
                deadline = now + _PATIENCE
            elif now > deadline:
                self._late += 1
                return self._late < _GIVE_UP
            time.sleep(50e-6)
