"""The work queue and the threads that share it.

One condition guards everything the workers share; one count says how many
tasks are queued or running, and the work is done when it reaches zero.
Directory tasks (a ``MKD``, a listing) go before file tasks, so that folders
are made and read early and their files spread over every connection.  The
calling thread is the first worker, with its own client; more threads join
while the work waiting outweighs a login, and every one of them has sent
``QUIT``, closed its connection and ended before `Pool.run` returns.
"""

from __future__ import annotations

import ftplib
import threading
import time
from collections import deque
from collections.abc import Callable
from typing import Any

from dravlen.base import BasePath, Local
from dravlen.ftp.tree.results import Interrupted, Outcome, Progress, TreeError
from dravlen.ftp.tree.worker import STOP_WAIT, Final, Stopped, Task, Worker
from dravlen.ftp.wire.dialects import one_session_in_active_mode
from dravlen.ftp.wire.rate import RateLimit
from dravlen.ftp.wire.replies import RETRY, busy, reason

# How long the calling thread spends removing uploads cut short by Ctrl-C.
_CLEANUP_WAIT = 5.0
_LOGIN_GUESS = 0.05


# ---------------------------------------------------------------------------
# the pool


class Pool:
    """Runs tasks on up to N connections until none is left."""

    def __init__(self, what: str, cls: type[BasePath], anchor: str, connections: int,
                 progress: Callable[[Progress], object] | None) -> None:
        if not isinstance(connections, int) or isinstance(connections, bool) or connections < 1:
            raise ValueError(f"connections must be a whole number of at least 1, not {connections!r}")
        self.what = what
        self.cls = cls
        self.anchor = anchor
        self.callback = progress
        self.stop = threading.Event()  # read between blocks, without the lock
        # Everything below is written with the condition's lock held.
        self.cond = threading.Condition()
        self.dirs: deque[Task] = deque()
        self.files: deque[Task] = deque()
        self.outstanding = 0  # tasks queued or running
        self.live = 0  # workers taking tasks (or logging in to)
        self.limit = connections
        self.workers: list[tuple[threading.Thread, Worker]] = []
        self.failures: list[tuple[str, str]] = []
        self.passed_over: list[tuple[str, str]] = []
        self.files_total = self.bytes_total = 0
        self.files_done = self.bytes_done = 0
        self.skipped = self.skipped_bytes = 0
        self.directories = 0
        self.scanning: set[str] = set()  # remote directories still to be listed
        self.last = ""
        self.writing: set[str] = set()  # remote files being stored, not yet confirmed
        # A login's time: guessed until one is measured (the calling thread's
        # client is often there already).
        self.login_time = _LOGIN_GUESS
        self.login_known = False
        self.task_time: float | None = None  # a moving mean of the tasks' times
        self.fatal: BaseException | None = None  # raised as it is, instead of a TreeError
        self.plain_listing = False  # the server has no MLSD: uploads are confirmed by SIZE
        self.rate = RateLimit(0)  # the call's rate limit, shared by every connection (0: none)

    # -- bookkeeping (any thread) -----------------------------------------

    def put(self, task: Task) -> None:
        with self.cond:
            (self.dirs if task.directory else self.files).append(task)
            self.outstanding += 1
            self.cond.notify()

    def file_next(self) -> bool:
        """Whether a worker taking work now would take a file (read without
        the lock: a guess, for sending a command ahead)."""
        return bool(self.files) and not self.dirs and not self.stop.is_set()

    def progress(self) -> Progress:
        with self.cond:
            return Progress(self.files_done, self.files_total, self.bytes_done, self.bytes_total,
                            self.skipped, len(self.failures), bool(self.scanning), self.last)

    def _report(self) -> None:
        # Called with the lock held, so the callback sees one report at a time.
        if self.callback is not None:
            try:
                self.callback(self.progress())
            except Exception as exc:
                # The caller's own error stops the work and is raised as it is.
                self.callback = None
                self.fatal = self.fatal or exc
                self.stop.set()
                self.cond.notify_all()

    def add_total(self, files: int, size: int) -> None:
        with self.cond:
            self.files_total += files
            self.bytes_total += size
            self._report()

    def scan_queued(self, remote: str) -> None:
        with self.cond:
            self.scanning.add(remote)

    def scan_done(self, remote: str) -> None:
        with self.cond:
            self.scanning.discard(remote)

    def moved(self, size: int) -> None:
        with self.cond:
            self.bytes_done += size
            self._report()

    def finished(self, path: str, size: int = 0, skipped: bool = False) -> None:
        with self.cond:
            self.files_done += 1
            self.bytes_done += size
            if skipped:
                self.skipped += 1
                self.skipped_bytes += size
            self.last = path
            self._report()

    def made_directory(self) -> None:
        with self.cond:
            self.directories += 1

    def fail(self, path: str, why: str) -> None:
        why = why.removeprefix(f"'{path}': ")  # said once is enough
        with self.cond:
            self.failures.append((path, why))
            self.last = path
            self._report()

    def pass_over(self, path: str, why: str) -> None:
        with self.cond:
            self.passed_over.append((path, why))

    def writing_begins(self, remote: str) -> None:
        with self.cond:
            self.writing.add(remote)

    def writing_ends(self, remote: str) -> None:
        with self.cond:
            self.writing.discard(remote)

    # -- the workers --------------------------------------------------------

    def _grow(self) -> None:
        """Add a connection where the work waiting makes it worth a login.

        Called with the lock held.  A connection costs a login (tens of
        milliseconds on servers that check passwords with PAM); it is added
        while the queued work per connection would take longer than two of
        them, up to the limit, so small trees stay on one connection.
        """
        if self.stop.is_set() or self.live >= self.limit or self.task_time is None:
            return
        pending = len(self.dirs) + len(self.files)
        if pending * self.task_time / max(self.live, 1) <= 2 * self.login_time:
            return
        self._start_worker()

    def open_now(self, count: int) -> None:
        """Add up to *count* connections at once, within the limit: for
        tasks each known to outlast a login (the segments of one big file)."""
        with self.cond:
            for _ in range(count):
                if self.stop.is_set() or self.live >= self.limit:
                    return
                self._start_worker()

    def _start_worker(self) -> None:
        # Called with the lock held.
        self.live += 1
        worker = Worker(self.cls, self.anchor)
        thread = threading.Thread(target=self._work, args=(worker,),
                                  name=f"dravlen-tree-{len(self.workers) + 1}")
        self.workers.append((thread, worker))
        thread.start()

    def _wanted(self) -> bool:
        with self.cond:
            return not self.stop.is_set() and self.outstanding > 0

    def _connect(self, worker: Worker) -> bool:
        """Log the worker in before it takes work; False if it must not go on."""
        tries = RETRY.tries()
        while self._wanted():
            started = time.monotonic()
            had_client = Local.getattr(worker.path._key_on_thread()) is not None
            try:
                client = worker.client
            except Exception as exc:
                worker.recover(exc)
                with self.cond:
                    if self.live > 1:
                        # Full (421) or failing: the other connections go on.
                        if busy(exc):
                            self.limit = self.live - 1
                        return False
                wait = tries.wait_after(exc, started)
                if wait is not None:
                    time.sleep(wait)
                    continue
                with self.cond:
                    self.fatal = self.fatal or exc  # no connection at all: nothing can be done
                    self.stop.set()
                return False
            if one_session_in_active_mode(client):
                with self.cond:
                    self.limit = 1  # a second session would be lost on this server
            if not had_client:
                with self.cond:
                    took = time.monotonic() - started
                    self.login_time = max(self.login_time, took) if self.login_known else took
                    self.login_known = True
            return True
        return False

    def _work(self, worker: Worker, main: bool = False) -> None:
        """Take tasks until none is left.  *main*: this is the calling thread,
        which works with its own client (kept, and not closed, at the end)."""
        try:
            if not self._connect(worker):
                return
            while True:
                with self.cond:
                    while (not self.dirs and not self.files and self.outstanding
                           and not self.stop.is_set()):
                        self.cond.wait()
                    if self.stop.is_set() or not (self.dirs or self.files):
                        return
                    task = self.dirs.popleft() if self.dirs else self.files.popleft()
                started = time.monotonic()
                handed_back = False
                try:
                    handed_back = self._attempt(worker, task)
                finally:
                    took = time.monotonic() - started
                    with self.cond:
                        if not handed_back:
                            self.outstanding -= 1
                        self.task_time = took if self.task_time is None else (
                            0.8 * self.task_time + 0.2 * took)
                        self._grow()
                        if not self.outstanding or handed_back:
                            self.cond.notify_all()
                if handed_back:
                    return  # retired: the server is full
        except KeyboardInterrupt:
            self.stop.set()  # before the bookkeeping below could add a connection
            raise
        finally:
            if not main:
                worker.close()
            with self.cond:
                if not worker.retired:
                    self.live -= 1
                self.cond.notify_all()

    def _attempt(self, worker: Worker, task: Task) -> bool:
        """Run *task* until it is done or fails for good; True if it went
        back to the queue because the server is full."""
        tries = RETRY.tries()
        while not self.stop.is_set():
            worker.doing = ""
            worker.replaying = tries.unanswered
            try:
                task.run(worker)
                return False
            except Stopped:
                return False  # the transfer it cut short has been ended
            except Exception as exc:
                worker.recover(exc)
                if busy(exc):
                    with self.cond:
                        if self.live > 1:
                            # The server is full: this connection makes way.
                            self.live -= 1
                            self.limit = self.live
                            worker.retired = True
                            (self.dirs if task.directory else self.files).appendleft(task)
                            return True
                wait = tries.wait_after(exc)
                if wait is not None:
                    time.sleep(wait)
                    continue
                if task.top and not isinstance(exc, Final):
                    # The tree itself is not there (or not what it must be):
                    # its own error, not a list of one.
                    with self.cond:
                        self.fatal = self.fatal or exc
                    return False
                self.fail(task.label, worker.why(exc))
                if task.given_up is not None:
                    task.given_up()
                return False
        return False

    def run(self) -> None:
        """Do every task, then end every worker thread; on Ctrl-C, stop them,
        remove the uploads they left cut short and raise `Interrupted`."""
        main = Worker(self.cls, self.anchor)
        try:
            while True:
                with self.cond:
                    self.live += 1
                    main.retired = False
                self._work(main, main=True)
                with self.cond:
                    while self.outstanding and self.live and not self.stop.is_set():
                        self.cond.wait()
                    if not self.outstanding or self.stop.is_set():
                        break
                # Every other connection has gone with work left: the
                # calling thread takes it up again.
            self._end_workers(None)
        except KeyboardInterrupt:
            self.stop.set()
            # Interrupted anywhere in a command: where the client is, is unknown.
            main.path._drop_client()
            self._end_workers(STOP_WAIT)
            left = self._remove_cut_short()
            raise Interrupted(self.what, self.progress(), left) from None

    def _end_workers(self, grace: float | None) -> None:
        """Join every worker thread.  Each ends by itself once the work is
        done or stopped; after *grace* seconds the stragglers' sockets are
        shut, so that a blocked read or write fails at once."""
        with self.cond:
            self.cond.notify_all()
            workers = list(self.workers)
        if grace is not None:
            deadline = time.monotonic() + grace
            for thread, _ in workers:
                thread.join(max(0.0, deadline - time.monotonic()))
            for thread, worker in workers:
                if thread.is_alive():
                    worker.shut()
        for thread, _ in workers:
            thread.join()  # one still logging in ends when its login does

    def _remove_cut_short(self) -> tuple[tuple[str, str], ...]:
        """Delete the remote files that were being written when the stop
        came, on the calling thread's client, within _CLEANUP_WAIT seconds;
        the ones that stay, with why."""
        with self.cond:
            left = sorted(self.writing)
        if not left:
            return ()
        deadline = time.monotonic() + _CLEANUP_WAIT
        path = self.cls(self.anchor)
        kept: list[tuple[str, str]] = []
        client: Any = None
        for remote in left:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                kept.append((remote, "no time left to remove it"))
                continue
            try:
                if client is None:
                    client = path.client
                client.sock.settimeout(remaining)
                client.voidcmd("DELE " + remote)
            except ftplib.error_perm as exc:
                kept.append((remote, reason(exc)))
            except Exception as exc:
                kept.append((remote, reason(exc)))
                if client is not None:
                    path._drop_client()
                    client = None
        if client is not None:
            path._drop_client()  # its timeout was shortened here
        return tuple(kept)

    def outcome(self) -> Outcome:
        with self.cond:
            if self.fatal is not None:
                raise self.fatal
            passed_over = tuple(sorted(self.passed_over))
            if self.failures:
                raise TreeError(self.what, self.failures, self.progress(), passed_over)
            return Outcome(self.files_done - self.skipped, self.bytes_done - self.skipped_bytes,
                           self.directories, self.skipped, passed_over)
