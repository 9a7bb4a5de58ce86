"""One big file over several connections, as lftp's ``pget -n`` and rclone's
multi-thread streams move it, for servers that cap each connection's rate.

The file is cut into N segments; each is a ``REST <start>`` and a ``RETR``
on a connection of its own, read to the segment's end, then cut (the data
connection closed, the closing reply read and a ``NOOP`` round made, as
`dravlen.ftp.wire.resync.in_step` does: no ``ABOR``, whose handling varies
by server), and written in place (``os.pwrite``) into the one temporary
file of the download.  The segments are tasks of a tree engine `Pool`: its
connections are opened, logged in, limited (a ``421`` lowers the limit) and
ended as a tree's are.  Segment 0 runs first, on the caller's connection,
with the ``PASV`` of the download's first round trip and no ``REST``; it
starts the other connections.

A server that refuses ``REST`` gets one connection: segment 0 reads on to
the end of the file (as it does past its own end where no ``REST`` has
been answered while another connection could still answer one).  The size the
server told decides the segments but is not trusted: whichever reader meets
the end of the file must meet it at that size, and data past it fails the
download.  A segment cut short is tried again from where it got, as `RETRY`
says.  The file is whole once the segments cover every byte and ``SIZE``
(and ``MDTM``, where the download asked it) asked again tell the same.
"""

from __future__ import annotations

import ftplib
import logging
import os
import threading
import time
from datetime import datetime
from functools import partial
from typing import Any, BinaryIO

from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.results import Interrupted, Progress
from dravlen.ftp.tree.worker import DEFAULT_CONNECTIONS, Final, Stopped, Task, Worker
from dravlen.ftp.wire.client import Address, ask_passive, send_together, transfer
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.rate import RateLimit
from dravlen.ftp.wire.replies import RETRY, IncompleteTransfer, reason
from dravlen.ftp.wire.resync import in_step
from dravlen.ftp.wire.times import time_told
from dravlen.ftp.wire.transfer import size_or_none, why_not_read

__all__ = ["AUTO_SEGMENTS", "SegmentFailed", "fetch"]

log = logging.getLogger(__name__)

#: Segments of a big file when the caller does not say: a tree's connections.
AUTO_SEGMENTS = DEFAULT_CONNECTIONS
_BLOCK = 1 << 20  # read at most at once by one segment: memory stays N blocks


class SegmentFailed(OSError):
    """A download over several connections that cannot be made whole: the
    file changed while it was read, or a segment failed for good."""


class _Cut(Exception):
    """A segment's transfer closed before the file's end on purpose."""


class _Segment:
    """Bytes *start* up to *end* of the file; *done* of them written so far."""

    __slots__ = ("done", "end", "error", "index", "last", "start")

    def __init__(self, index: int, start: int, end: int, last: bool) -> None:
        self.index, self.start, self.end, self.last = index, start, end, last
        self.done = 0
        self.error: BaseException | None = None

    @property
    def at(self) -> int:
        return self.start + self.done


class _Segmented:
    """The segments of one download and what they share."""

    def __init__(self, path: Any, sink: BinaryIO, got: Any, limit: RateLimit, first: tuple[ftplib.FTP, Address | None],
                 size: int, count: int, asked: bool, where: str) -> None:
        self.path, self.got, self.limit, self.size, self.asked, self.where = path, got, limit, size, asked, where
        self.remote = command_text(path)
        self.fd = sink.fileno()
        self.first: tuple[ftplib.FTP, Address | None] | None = first
        self.lock = threading.Lock()
        self.rest: bool | None = None  # whether the server takes REST, once one is answered
        self.answered = threading.Event()  # set with `rest`
        self.counted = self.seen = 0
        self.failed: _Segment | None = None
        bounds = [size * i // count for i in range(count + 1)]
        self.segments = [_Segment(i, bounds[i], bounds[i + 1], i == count - 1) for i in range(count)]
        self.pool = Pool(f"download of {path.path} over {count} connections", type(path), path.path.as_posix(),
                         count, self._progress)

    # -- shared state (any thread) ---------------------------------------------

    def _progress(self, progress: Progress) -> None:
        # The pool calls this with its lock held: one report at a time.
        delta, self.seen = progress.bytes_done - self.seen, progress.bytes_done
        self.got.add(delta)

    def _moved(self, count: int) -> None:
        # Segment 0 may read into the next segment before REST is known:
        # such bytes come twice, and are counted once.
        with self.lock:
            new = min(count, self.size - self.counted)
            self.counted += new
        if new:
            self.pool.moved(new)
        self.limit.take(count)

    def _rest_answered(self, taken: bool) -> bool:
        """Note the answer to a REST; whether REST is refused (the first answer decides)."""
        with self.lock:
            first = self.rest is None
            if first:
                self.rest = taken
                self.answered.set()
            refused = self.rest is False
        if first and refused:
            say = log.warning if self.asked else log.info
            say("'%s' on %s: the server refuses REST: one connection moves the file", self.path.path, self.where)
        return refused

    def given_up(self, segment: _Segment) -> None:
        with self.lock:
            self.failed = self.failed or segment
        self.pool.stop.set()  # the file cannot be whole: the other segments end

    # -- one segment (a pool task) -------------------------------------------------

    def run(self, segment: _Segment, worker: Worker) -> None:
        try:
            self._run(segment, worker)
        except Exception as exc:
            segment.error = exc
            raise

    def _run(self, segment: _Segment, worker: Worker) -> None:
        first = None
        if segment.index == 0 and self.first is not None:
            # Only the calling thread works until segment 0 has begun: it
            # takes segment 0, on the connection whose PASV is waiting.
            first, self.first = self.first, None
            self.pool.open_now(len(self.segments) - 1)
        elif segment.index and (self.rest is False or self.segments[0].at >= segment.end):
            return  # segment 0 reads on through this one
        client = worker.client
        conn = self._open(segment, worker, client, first)
        if conn is None:
            return
        worker.sockets.append(conn)
        try:
            self._read(segment, worker, client, conn)
        finally:
            worker.sockets.remove(conn)
            conn.close()

    def _open(self, segment: _Segment, worker: Worker, client: ftplib.FTP,
              first: tuple[ftplib.FTP, Address | None] | None = None) -> Any:
        """The segment's RETR from where it got to (on *first*'s waiting PASV
        where that is this thread's client); None where REST is refused and
        segment 0 reads this one."""
        if segment.index == 0 and self.rest is False:
            segment.done = 0  # nothing can be asked from a byte: from the start again
        if first is not None and first[0] is client and segment.at == 0:
            address = first[1]
        else:
            rest = (f"REST {segment.at}",) if segment.at else ()
            answers, address = ask_passive(client, [], after=rest)
            if rest:
                answer = answers[0]
                if isinstance(answer, ftplib.error_perm):
                    if not self._rest_answered(False):
                        raise Final(f"the server refuses REST {segment.at} after taking it for another segment:"
                                    f" {answer}")
                    if segment.index == 0:
                        segment.done = 0
                        return self._open(segment, worker, client)
                    return None
                if isinstance(answer, BaseException):
                    raise answer  # a 4xx, read whole: tried again
                self._rest_answered(True)
        try:
            return transfer(worker.path, client, address, "RETR " + self.remote)
        except ftplib.error_perm as exc:
            raise why_not_read(worker.path, exc) from exc

    def _bounded(self, segment: _Segment) -> bool:
        """Whether the segment stops at its end (else it reads to the file's)."""
        return not segment.last and (segment.index > 0 or self.rest is True)

    def _read(self, segment: _Segment, worker: Worker, client: ftplib.FTP, conn: Any) -> None:
        buffer = bytearray(_BLOCK)
        view = memoryview(buffer)
        stop = self.pool.stop
        # Segment 0 stops at its end until a REST is answered elsewhere (its
        # bytes past the end would come twice); it reads on once alone.
        waits = segment.index == 0 and not segment.last
        while True:
            if stop.is_set():
                self._cut(worker, client, conn)
                raise Stopped()
            if waits and self.rest is None and segment.at >= segment.end:
                waits = self._await_rest(client)
            bounded = self._bounded(segment)
            if bounded and segment.at >= segment.end:
                self._cut(worker, client, conn)
                return
            short = bounded or (waits and self.rest is None)
            got = conn.recv_into(view, min(_BLOCK, segment.end - segment.at) if short else _BLOCK)
            if not got:
                break
            if segment.at + got > self.size:
                self._cut(worker, client, conn)
                raise Final(f"'{self.path.path}' on {self.where} grew while it was read: more than the"
                            f" {self.size} bytes its SIZE told")
            self._write(view[:got], segment.at)
            segment.done += got
            self._moved(got)
        client.voidresp()  # the transfer's end; a 4xx is read whole and tried again
        if segment.at != self.size:
            raise IncompleteTransfer(f"426 '{self.path.path}' on {self.where}: the server's file ended at byte"
                                     f" {segment.at}, but its SIZE told {self.size}")

    def _await_rest(self, client: ftplib.FTP) -> bool:
        """Segment 0 at its end before any REST was answered: wait for the
        first answer while another connection may still give it (they are
        logging in).  Whether it came; if not, segment 0 reads on."""
        deadline = time.monotonic() + (client.timeout if isinstance(client.timeout, (int, float)) else 60.0)
        pool = self.pool
        while True:
            with pool.cond:
                alone = pool.live <= 1
            if alone or pool.stop.is_set() or time.monotonic() > deadline:
                return self.answered.is_set()
            if self.answered.wait(0.05):
                return True

    def _write(self, data: memoryview, offset: int) -> None:
        while data:
            try:
                written = os.pwrite(self.fd, data, offset)
            except OSError as exc:
                raise Final(f"writing the file being downloaded: {reason(exc)}", clean=False) from None
            data, offset = data[written:], offset + written

    def _cut(self, worker: Worker, client: ftplib.FTP, conn: Any) -> None:
        """Close the data connection before the file's end and bring the
        client in step: the closing reply (226, 426 or 451 by server) is
        waited for as long as any reply, then one NOOP round."""
        conn.close()
        wait = client.timeout if isinstance(client.timeout, (int, float)) else 60.0
        if not in_step(client, _Cut(), wait):
            worker.path._drop_client()

    # -- the whole -------------------------------------------------------------

    def covered(self) -> int:
        """The bytes from the start that the segments hold without a gap."""
        reach = 0
        for segment in sorted(self.segments, key=lambda s: s.start):
            if segment.start > reach:
                break
            reach = max(reach, segment.at)
        return reach

    def failure(self, segment: _Segment) -> BaseException:
        """The error of a download whose *segment* failed for good."""
        exc = segment.error
        if isinstance(exc, OSError) and not RETRY.is_transient(exc):
            return exc  # a refusal that names the path (no such file, no permission)
        text = (f"'{self.path.path}' on {self.where}: bytes {segment.start} to {segment.end} of {self.size}:"
                f" {reason(exc) if exc is not None else 'failed'}")
        if isinstance(exc, Final) or exc is None:
            return SegmentFailed(text)
        # Tried again as a whole, from the bytes the segments hold from the start.
        return IncompleteTransfer(f"426 {text}")

    def confirm(self, when: datetime | None) -> None:
        """Whole: every byte covered, the file that long, and the server's
        SIZE (and MDTM, where told before) the same as before."""
        held = os.fstat(self.fd).st_size
        if self.covered() != self.size or held != self.size:
            raise IncompleteTransfer(f"426 '{self.path.path}' on {self.where}: the segments hold"
                                     f" {self.covered()} bytes from the start, the file {held}, of {self.size}")
        client = self.path.client
        asks = ["TYPE I", "SIZE " + self.remote] + (["MDTM " + self.remote] if when is not None else [])
        replies = send_together(client, asks)
        if isinstance(replies[0], BaseException):
            raise replies[0]
        told = size_or_none(replies[1])
        dated = time_told(client, replies[2]) if when is not None else None
        changed = told != self.size or (dated is not None and dated != when)
        if changed:
            raise SegmentFailed(f"'{self.path.path}' on {self.where} changed while it was read: its SIZE told"
                                f" {self.size} before, {told} after{' (or its MDTM differs)' if when else ''}")


def fetch(path: Any, sink: BinaryIO, got: Any, limit: RateLimit, client: ftplib.FTP, address: Address | None,
          size: int, when: datetime | None, segments: int | None, where: str) -> None:
    """Download *path*, of *size* bytes (its SIZE), over *segments*
    connections (None: `AUTO_SEGMENTS`; never more than bytes) into the
    empty file *sink*, which is left at its end.  *client* is the calling
    thread's, whose PASV (*address*) is waiting for a RETR; *got* counts the
    bytes for the caller's progress, *limit* their rate; *when* is the MDTM
    told before, checked again at the end; *where* names the server.

    On a failure the file keeps only the bytes the segments hold from the
    start, and *sink* stands at their end, for the caller's next try."""
    count = max(1, min(segments or AUTO_SEGMENTS, size))
    plan = _Segmented(path, sink, got, limit, (client, address), size, count, segments is not None, where)
    pool = plan.pool
    for segment in plan.segments:
        pool.put(Task(f"{path.path} bytes {segment.start} to {segment.end}", partial(plan.run, segment),
                      given_up=partial(plan.given_up, segment)))
    try:
        try:
            pool.run()
        except Interrupted:
            raise KeyboardInterrupt() from None
        if plan.failed is not None:
            raise plan.failure(plan.failed)
        pool.outcome()  # the caller's progress callback's own error, or no connection at all
        plan.confirm(when)
    except BaseException as exc:
        keep = 0 if isinstance(exc, SegmentFailed) else plan.covered()  # what changed is not kept
        os.ftruncate(plan.fd, keep)
        sink.seek(keep)
        raise
    sink.seek(size)
