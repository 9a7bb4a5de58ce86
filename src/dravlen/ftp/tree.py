"""Whole trees moved in linear time over several connections.

`upload_tree`, `download_tree` and `remove_tree` send what the task needs and
nothing more: each directory is made once (``MKD``) or read once (``MLSD``,
else ``LIST``), each file is sent once, and what an entry is comes from the
listing of its directory, never from a probe of its own.  The core's
``upload`` and ``delete`` ask about every parent before every file, which
costs a listing of the whole folder per file; here a folder of 3,000 files
costs one listing at most.

The work is shared by N worker threads, each with its own client from the
per-thread store (`dravlen.base.Local`), made on first use and closed when the
operation ends.  A directory's contents are queued only once the directory is
there (made, or listed), so no command waits on another connection's.  A
server that answers ``421`` because it has too many connections makes the
operation go on with fewer.

A file that fails is tried again (a lost connection, a ``4xx`` reply, a size
that does not match); a refusal (``5xx``) or a local error is final.  Either
way the rest goes on, and the operation then raises one `TreeError` naming
each path that failed and why.  Nothing counts as done before the server has
confirmed it: an upload's ``SIZE`` must match the bytes sent, a download's
byte count must match the listed size (or ``SIZE`` where the listing has
none), and a download is written under a temporary name beside its final
one, renamed only once confirmed.  Ctrl-C stops the workers at the next
block or command and raises `Interrupted`, which says how far it got; the
next run skips what is already complete (same size, and the same time where
the server tells it).
"""

from __future__ import annotations

import datetime
import errno
import ftplib
import os
import secrets
import stat
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import PurePosixPath
from functools import partial
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from dravlen.ftp.listing import Entry

from dravlen.base import LOST_CONNECTION, BasePath, Local
from dravlen.ftp.tls import end_data

__all__ = ["Interrupted", "Outcome", "Progress", "TreeError", "download_tree", "remove_tree",
           "upload_tree"]

#: Connections used when the caller does not say.
DEFAULT_CONNECTIONS = 4
BLOCK = 64 * 1024
# Progress reports within a large file at most this often (in bytes).
_REPORT_EVERY = 1 << 20
_ATTEMPTS = 3
_BACKOFF = 0.1
# How long the last connection keeps trying while the server says it is full.
_BUSY_PATIENCE = 10.0
# How long Ctrl-C waits for the workers to let go of their connections.
_STOP_WAIT = 2.0
_LOGIN_GUESS = 0.05


# ---------------------------------------------------------------------------
# what the caller sees


@dataclass(frozen=True)
class Progress:
    """Where an operation stands; handed to the progress callback.

    ``files_total`` and ``bytes_total`` grow while a remote tree is still
    being listed (``listing`` is then true).  ``files_done`` counts files
    moved or removed and those found already complete (``skipped``).
    """

    files_done: int
    files_total: int
    bytes_done: int
    bytes_total: int
    skipped: int = 0  # files (of files_done) found already complete
    failed: int = 0
    listing: bool = False
    path: str = ""

    def summary(self) -> str:
        text = f"{self.files_done} of {self.files_total} files, {_size(self.bytes_done)} of {_size(self.bytes_total)}"
        if self.skipped:
            text += f" ({self.skipped} already complete)"
        return text


@dataclass(frozen=True)
class Outcome:
    """What an operation did."""

    files: int  # moved or removed (for a removal, every entry that is no directory)
    bytes: int  # moved (for a removal: the listed sizes of what was removed)
    directories: int  # made (upload, download) or removed
    skipped: int  # found already complete
    #: Entries deliberately left alone, with why (a download's special files, say).
    passed_over: tuple[tuple[str, str], ...] = ()


class TreeError(Exception):
    """Some entries of a tree operation failed; the others were done.

    ``failures`` lists ``(path, reason)`` for each; ``progress`` is where the
    operation ended.
    """

    def __init__(self, what: str, failures: list[tuple[str, str]], progress: Progress) -> None:
        self.failures = sorted(failures)
        self.progress = progress
        lines = "".join(f"\n  {path}: {reason}" for path, reason in self.failures)
        count = len(self.failures)
        super().__init__(f"{what}: {count} {'entry' if count == 1 else 'entries'} failed"
                         f" ({progress.summary()} done):{lines}")


class Interrupted(KeyboardInterrupt):
    """The operation was stopped by Ctrl-C; ``progress`` says how far it got."""

    def __init__(self, what: str, progress: Progress) -> None:
        self.progress = progress
        super().__init__(f"{what} interrupted after {progress.summary()};"
                         " running it again goes on from there")


def _size(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"  # pragma: no cover


# ---------------------------------------------------------------------------
# errors inside a worker


class _Final(Exception):
    """A failure that trying again cannot mend; its text is the reason.

    *clean*: raised between commands, so the client is still in step;
    otherwise a transfer was left half-way and the client must go.
    """

    def __init__(self, reason: str, clean: bool = True) -> None:
        super().__init__(reason)
        self.clean = clean


class _Again(Exception):
    """A failure worth another attempt (a size that does not match, say)."""


class _Stopped(Exception):
    """The operation is being stopped."""


def _reason(exc: BaseException) -> str:
    if isinstance(exc, UnicodeError):
        return "the name is not valid text in the server's encoding"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = str(exc).strip()
    return text or type(exc).__name__


def _busy(exc: BaseException) -> bool:
    """Whether *exc* is the server saying it has too many connections."""
    return isinstance(exc, ftplib.error_temp) and str(exc).startswith("421")


def _retryable(exc: BaseException) -> bool:
    # A bare ftplib.Error is the unread rest of an overlong reply line.
    return isinstance(exc, (_Again, ftplib.error_temp, ftplib.error_reply, ftplib.error_proto)
                      + LOST_CONNECTION) or type(exc) is ftplib.Error


def _bad_name(name: str) -> str | None:
    """Why a listed *name* cannot be taken as one entry of its directory."""
    if name in ("", ".", ".."):
        return "not an entry name"
    if "/" in name or "\0" in name:
        return "the name holds '/' or NUL"
    if "\r" in name or "\n" in name:
        return "the name holds a line break, which no FTP command can carry"
    return None


# ---------------------------------------------------------------------------
# the worker pool


class _Task:
    __slots__ = ("label", "run", "directory", "top")

    def __init__(self, label: str, run: Callable[[_Worker], None], directory: bool = False,
                 top: bool = False) -> None:
        self.label = label
        self.run = run
        self.directory = directory  # made or read before the files in it
        self.top = top  # the tree's own top: its failure is the operation's


class _Worker:
    """One thread's connection and what it knows about its state."""

    def __init__(self, pool: _Pool) -> None:
        self.pool = pool
        self.path: BasePath = pool.cls(pool.anchor)
        self._binary_on: object = None  # the client last switched to TYPE I
        self.retired = False

    @property
    def client(self) -> ftplib.FTP:
        return self.path.client

    def cmd(self, line: str) -> str:
        return self.client.voidcmd(line)

    def binary(self) -> ftplib.FTP:
        """The client, in binary mode (listings switch it to ASCII)."""
        client = self.client
        if self._binary_on is not client:
            client.voidcmd("TYPE I")
            self._binary_on = client
        return client

    def listing(self, remote: str) -> list[Entry]:
        """The entries of the directory *remote*, with every link shown as one.

        Some servers' MLSD describes a link as what it points to (pyftpdlib),
        or leaves out a link that points nowhere (ProFTPD); followed, a link
        to a parent would never end, and a removal would empty its target.
        Where the entries came from MLSD, the directory's LIST is read too,
        and what LIST shows as a link is taken as one.
        """
        from dravlen.ftp import listing

        self._binary_on = None
        path = self.pool.cls(remote)
        entries = listing.list_dir(path)
        if hasattr(path.client, listing.NO_MLSD):
            return entries  # LIST already: its kinds are the lines' own
        if hasattr(path.client, listing.PLAIN_LIST):
            lines = listing._transfer_lines(path, "LIST " + remote)
        else:
            try:
                lines = listing._transfer_lines(path, "LIST -a " + remote)
            except ftplib.error_perm:
                # Taken as a path by servers that list dot-files anyway.
                lines = listing._transfer_lines(path, "LIST " + remote)
        links: dict[str, Entry] = {}
        for line in lines:
            entry = listing.parse_list(line)
            if entry is not None and entry.kind == "link":
                links[entry.name] = entry
        if not links:
            return entries
        merged = [links.pop(e.name, e) for e in entries]
        return merged + list(links.values())

    def recover(self, exc: BaseException) -> None:
        """Make sure the next command starts on a client in step."""
        if isinstance(exc, (ftplib.error_perm, _Again)) or (isinstance(exc, _Final) and exc.clean):
            return  # a refusal is a whole reply, and these came between commands
        self.path._drop_client()
        self._binary_on = None

    def close(self) -> None:
        client = Local.getattr(self.path._key_on_thread())
        if client is not None and client.sock is not None:
            try:
                client.sock.settimeout(1.0)
                client.quit()
            except Exception:
                pass
        Local.clear()  # the thread is ours: everything it holds goes


class _Patience:
    """When one connection's failure is worth another try, and the wait first:
    a full server (421) for up to _BUSY_PATIENCE seconds from its first
    refusal, a transient error up to _ATTEMPTS times with a doubling wait."""

    def __init__(self) -> None:
        self.busy_since: float | None = None
        self.tries = 0

    def wait_again(self, exc: BaseException, now: float) -> bool:
        if _busy(exc):
            self.busy_since = self.busy_since or now
            if now - self.busy_since < _BUSY_PATIENCE:
                time.sleep(_BACKOFF * 5)
                return True
        elif _retryable(exc) and self.tries < _ATTEMPTS - 1:
            self.tries += 1
            time.sleep(_BACKOFF * (1 << (self.tries - 1)))
            return True
        return False


class _Pool:
    """Runs tasks on N worker threads until none is left.

    Directory tasks go before file tasks, so that folders are made and read
    early and their files spread over every connection.
    """

    def __init__(self, what: str, cls: type[BasePath], anchor: str, connections: int,
                 progress: Callable[[Progress], object] | None) -> None:
        if not isinstance(connections, int) or isinstance(connections, bool) or connections < 1:
            raise ValueError(f"connections must be a whole number of at least 1, not {connections!r}")
        self.what = what
        self.cls = cls
        self.anchor = anchor
        self.connections = connections
        self.callback = progress
        self.cond = threading.Condition()
        self.dirs: deque[_Task] = deque()
        self.files: deque[_Task] = deque()
        self.running = 0
        self.live = 0
        self.stop = threading.Event()
        self.done = threading.Event()
        self.failures: list[tuple[str, str]] = []
        self.files_total = self.bytes_total = 0
        self.files_done = self.bytes_done = 0
        self.skipped = self.skipped_bytes = 0
        self.directories = 0
        self.listing = False
        self.passed_over: list[tuple[str, str]] = []
        self.last = ""
        self.limit = connections
        self.threads: list[threading.Thread] = []
        # A login's time: guessed until one is measured (the calling thread's
        # client is often there already).
        self.login_time = _LOGIN_GUESS
        self.login_known = False
        self.main_worker: _Worker | None = None
        self.connecting: set[threading.Thread] = set()
        self.task_time: float | None = None  # a moving mean of the tasks' times
        self.fatal: BaseException | None = None  # raised as it is, instead of a TreeError

    # -- bookkeeping (any thread) -----------------------------------------

    def put(self, task: _Task) -> None:
        with self.cond:
            (self.dirs if task.directory else self.files).append(task)
            self.cond.notify()

    def progress(self) -> Progress:
        return Progress(self.files_done, self.files_total, self.bytes_done, self.bytes_total,
                        self.skipped, len(self.failures), self.listing, self.last)

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

    def add_total(self, files: int, size: int) -> None:
        with self.cond:
            self.files_total += files
            self.bytes_total += size
            self._report()

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

    def fail(self, path: str, reason: str) -> None:
        reason = reason.removeprefix(f"'{path}': ")  # said once is enough
        with self.cond:
            self.failures.append((path, reason))
            self.last = path
            self._report()

    def pass_over(self, path: str, why: str) -> None:
        with self.cond:
            self.passed_over.append((path, why))

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
        if pending * self.task_time / self.live <= 2 * self.login_time:
            return
        self.live += 1
        thread = threading.Thread(target=self._work, name=f"dravlen-tree-{self.live}", daemon=True)
        self.threads.append(thread)
        self.connecting.add(thread)
        thread.start()

    def _connect(self, worker: _Worker) -> bool:
        """Log the worker in before it takes work; False if it must not go on."""
        patience = _Patience()
        while not self.stop.is_set():
            started = time.monotonic()
            had_client = Local.getattr(worker.path._key_on_thread()) is not None
            try:
                worker.client
            except Exception as exc:
                worker.recover(exc)
                with self.cond:
                    if self.live > 1:
                        # Full (421) or failing: the other connections go on.
                        if _busy(exc):
                            self.limit = self.live - 1
                        return False
                if patience.wait_again(exc, started):
                    continue
                with self.cond:
                    self.fatal = self.fatal or exc  # no connection at all: nothing can be done
                    self.stop.set()
                return False
            with self.cond:
                if not had_client:
                    took = time.monotonic() - started
                    self.login_time = max(self.login_time, took) if self.login_known else took
                    self.login_known = True
                self.connecting.discard(threading.current_thread())
            return True
        return False

    def _work(self, main: bool = False) -> None:
        """Take tasks until none is left.  *main*: this is the calling thread,
        which works with its own client (kept, and not closed, at the end)."""
        worker = _Worker(self)
        if main:
            self.main_worker = worker
        try:
            if not self._connect(worker):
                return
            while not worker.retired:
                with self.cond:
                    while (not self.dirs and not self.files and self.running
                           and not self.stop.is_set()):
                        self.cond.wait()
                    if self.stop.is_set() or not (self.dirs or self.files):
                        break
                    task = self.dirs.popleft() if self.dirs else self.files.popleft()
                    self.running += 1
                started = time.monotonic()
                try:
                    self._attempt(worker, task)
                finally:
                    took = time.monotonic() - started
                    with self.cond:
                        self.running -= 1
                        self.task_time = took if self.task_time is None else (
                            0.8 * self.task_time + 0.2 * took)
                        self._grow()
                        self.cond.notify_all()
        except KeyboardInterrupt:
            self.stop.set()  # before the bookkeeping below could add a connection
            raise
        finally:
            if not main:
                worker.close()
            with self.cond:
                self.connecting.discard(threading.current_thread())
                if not worker.retired:
                    self.live -= 1
                if self.live == 0 or (self.live == len(self.connecting) and self._finished()):
                    # A connection still logging in is not waited for: it
                    # finds nothing to do and closes by itself.
                    self.done.set()
                self.cond.notify_all()

    def _finished(self) -> bool:
        return (self.task_time is not None and not self.running and not self.dirs
                and not self.files)

    def _attempt(self, worker: _Worker, task: _Task) -> None:
        patience = _Patience()
        while True:
            if self.stop.is_set():
                return
            try:
                task.run(worker)
                return
            except _Stopped:
                worker.recover(ConnectionAbortedError())
                return
            except Exception as exc:
                worker.recover(exc)
                if _busy(exc):
                    with self.cond:
                        if self.live > 1:
                            # The server is full: this connection makes way.
                            self.live -= 1
                            self.limit = self.live
                            worker.retired = True
                            (self.dirs if task.directory else self.files).appendleft(task)
                            self.cond.notify_all()
                            return
                if patience.wait_again(exc, time.monotonic()):
                    continue
                if task.top and not isinstance(exc, _Final):
                    # The tree itself is not there (or not what it must be):
                    # its own error, not a list of one.
                    with self.cond:
                        self.fatal = self.fatal or exc
                    return
                self.fail(task.label, _reason(exc))
                return

    def run(self) -> None:
        """Do every task: the calling thread is the first worker, with its own
        client; more threads join while the work makes them worth it."""
        with self.cond:
            self.live = 1
        try:
            self._work(main=True)
            while not self.done.wait(0.2):
                pass
        except KeyboardInterrupt:
            self.stop.set()
            if self.main_worker is not None:
                # Interrupted anywhere in a command: where the client is, is unknown.
                self.main_worker.path._drop_client()
            with self.cond:
                self.cond.notify_all()
                threads = list(self.threads)
            deadline = time.monotonic() + _STOP_WAIT
            for thread in threads:
                thread.join(max(0.0, deadline - time.monotonic()))
            with self.cond:
                progress = self.progress()
            raise Interrupted(self.what, progress) from None
        with self.cond:
            threads = [t for t in self.threads if t not in self.connecting]
        for thread in threads:
            thread.join()

    def outcome(self) -> Outcome:
        if self.fatal is not None:
            raise self.fatal
        if self.failures:
            raise TreeError(self.what, self.failures, self.progress())
        return Outcome(self.files_done - self.skipped, self.bytes_done - self.skipped_bytes,
                       self.directories,
                       self.skipped, tuple(sorted(self.passed_over)))


def _dir_task(label: str, run: Callable[[_Worker], None]) -> _Task:
    return _Task(label, run)


def _remote(base: str, name: str) -> str:
    return (PurePosixPath(base) / name).as_posix()


def _entries(worker: _Worker, remote: str, pool: _Pool) -> dict[str, Entry]:
    """The listing of *remote* by name; entries whose name cannot be one are reported."""
    found: dict[str, Entry] = {}
    for entry in worker.listing(remote):
        if entry.name in (".", ".."):
            continue
        why = _bad_name(entry.name)
        if why is None and entry.name in found:
            why = "listed twice"
        if why is not None:
            pool.fail(_remote(remote, entry.name.replace("\n", "\\n").replace("\r", "\\r")), why)
            continue
        found[entry.name] = entry
    return found


def _top_entry(worker: _Worker, remote: str) -> Entry | None:
    """The entry of *remote* in its parent's listing (None if it is not there)."""
    path = PurePosixPath(remote)
    for entry in worker.listing(path.parent.as_posix()):
        if entry.name == path.name:
            return entry
    return None


def _as_posix(path: BasePath | str) -> str:
    return path.path.as_posix() if isinstance(path, BasePath) else PurePosixPath(path).as_posix()


def _class_of(path: BasePath | str) -> type[BasePath]:
    if isinstance(path, BasePath):
        return type(path)
    from dravlen.ftp.remote import RemotePath

    return RemotePath


# ---------------------------------------------------------------------------
# upload


@dataclass
class _LocalDir:
    path: str
    name: str
    files: list[tuple[str, int, float]] = field(default_factory=list)  # name, size, mtime
    dirs: list[_LocalDir] = field(default_factory=list)

    def count(self) -> tuple[int, int]:
        files, size = len(self.files), sum(s for _, s, _ in self.files)
        for sub in self.dirs:
            f, s = sub.count()
            files += f
            size += s
        return files, size


def _walk_local(top: str, failures: list[tuple[str, str]]) -> _LocalDir:
    """The local tree below *top*; links are followed, loops and entries that
    are neither files nor directories go to *failures*."""
    root = _LocalDir(top, os.path.basename(top))
    on_the_way: set[tuple[int, int]] = set()

    def visit(node: _LocalDir, st: os.stat_result) -> None:
        key = (st.st_dev, st.st_ino)
        on_the_way.add(key)
        try:
            with os.scandir(node.path) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            failures.append((node.path, _reason(exc)))
            return
        for entry in entries:
            if "\r" in entry.name or "\n" in entry.name:
                failures.append((entry.path, "the name holds a line break, which no FTP command can carry"))
                continue
            try:
                est = entry.stat()  # follows links, as the core's upload does
            except OSError as exc:
                failures.append((entry.path, _reason(exc)))
                continue
            if stat.S_ISREG(est.st_mode):
                node.files.append((entry.name, est.st_size, est.st_mtime))
            elif stat.S_ISDIR(est.st_mode):
                if (est.st_dev, est.st_ino) in on_the_way:
                    failures.append((entry.path, "Too many levels of symbolic links"))
                    continue
                sub = _LocalDir(entry.path, entry.name)
                node.dirs.append(sub)
                visit(sub, est)
            else:
                failures.append((entry.path, "Not a regular file or directory"))
        on_the_way.discard(key)

    visit(root, os.stat(top))
    return root


def _listed_time_covers(entry: Entry, local_mtime: float) -> bool:
    """Whether the server's time for *entry* is no earlier than *local_mtime*,
    allowing for the coarse times of ``LIST`` (minutes, or days for old files)."""
    when = entry.mtime
    if when is None:
        return True
    stamp = when.timestamp()
    slack = 1.0
    if when.second == 0 and when.microsecond == 0:
        slack = 86400.0 if (when.hour, when.minute) == (0, 0) else 60.0
    return stamp + slack >= local_mtime


def _store(worker: _Worker, pool: _Pool, local: str, remote: str, size: int) -> None:
    """STOR one file, then check with SIZE that the server has all of it."""
    try:
        source = open(local, "rb")
    except OSError as exc:
        raise _Final(_reason(exc)) from None
    reported = 0
    try:
        with source:
            client = worker.binary()
            sent = 0
            with client.transfercmd("STOR " + remote) as conn:
                while True:
                    if pool.stop.is_set():
                        raise _Stopped()
                    try:
                        block = source.read(BLOCK)
                    except OSError as exc:
                        raise _Final(f"reading {local}: {_reason(exc)}", clean=False) from None
                    if not block:
                        break
                    conn.sendall(block)
                    sent += len(block)
                    if sent - reported >= _REPORT_EVERY:
                        pool.moved(sent - reported)
                        reported = sent
                end_data(conn)
            client.voidresp()
        there = client.size(remote)
        if there != sent:
            raise _Again(f"the server holds {there} bytes after {sent} were sent")
        if sent != size:
            # The file changed while it was read; what is there is what was read.
            size = sent
    except BaseException:
        if reported:
            pool.moved(-reported)
        raise
    pool.finished(remote, size - reported)


def upload_tree(local: str | os.PathLike[str], remote: BasePath | str, *,
                connections: int = DEFAULT_CONNECTIONS,
                progress: Callable[[Progress], object] | None = None) -> Outcome:
    """Upload the local file or directory *local* to *remote* (the path it
    will have on the server) over *connections* connections.

    Missing remote parents are made; an existing remote directory is filled,
    skipping files that are there already with the same size and a time no
    earlier than the local file's.  Raises `TreeError` listing what failed
    (after doing the rest), `Interrupted` on Ctrl-C, `FileNotFoundError` when
    *local* does not exist.
    """
    local_top = os.fspath(local)
    if not isinstance(local_top, str):
        raise TypeError(f"upload_tree needs a text local path, not {local_top!r}")
    cls = _class_of(remote)
    top = _as_posix(remote)
    pool = _Pool(f"upload of {local_top} to {top}", cls, top, connections, progress)
    st = os.stat(local_top)  # a missing local path fails here, naming it

    if stat.S_ISREG(st.st_mode):
        pool.add_total(1, st.st_size)

        def one_file(worker: _Worker) -> None:
            try:
                _store(worker, pool, local_top, top, st.st_size)
            except ftplib.error_perm:
                # Refused: most often a missing parent, which is made once here
                # rather than probed before every upload.
                parent = PurePosixPath(top).parent
                if parent.name in ("", ".", ".."):
                    raise
                pool.cls(parent).mkdir()  # type: ignore[attr-defined]
                _store(worker, pool, local_top, top, st.st_size)

        pool.put(_Task(top, one_file))
        pool.run()
        return pool.outcome()
    if not stat.S_ISDIR(st.st_mode):
        raise ValueError(f"{local_top!r} is neither a regular file nor a directory")

    walk_failures: list[tuple[str, str]] = []
    tree = _walk_local(local_top, walk_failures)
    for path, reason in walk_failures:
        pool.fail(path, reason)
    pool.add_total(*tree.count())

    def fill(node: _LocalDir, there: str, existing: dict[str, Entry] | None) -> None:
        """Queue the work for *node*, whose remote directory *there* now exists;
        *existing* is its listing, None when it was just made (and so empty)."""
        existing = existing or {}
        for name, size, mtime in node.files:
            target = _remote(there, name)
            entry = existing.get(name)
            if entry is not None:
                if entry.kind == "file" and entry.size == size and _listed_time_covers(entry, mtime):
                    pool.finished(target, size, skipped=True)
                    continue
                if entry.kind != "file":
                    pool.fail(target, f"is a {_KIND_WORDS.get(entry.kind, entry.kind)} on the server;"
                                      " not replaced")
                    continue
            source = os.path.join(node.path, name)
            pool.put(_Task(target, partial(_store, pool=pool, local=source, remote=target, size=size)))
        for sub in node.dirs:
            target = _remote(there, sub.name)
            entry = existing.get(sub.name)
            if entry is None:
                pool.put(_dir_task(target, partial(make, node=sub, there=target)))
            elif entry.kind == "dir":
                pool.put(_dir_task(target, partial(refill, node=sub, there=target)))
            else:
                pool.fail(target, f"is a {_KIND_WORDS.get(entry.kind, entry.kind)} on the server,"
                                  " where the local side has a directory")

    def refill(worker: _Worker, node: _LocalDir, there: str) -> None:
        fill(node, there, _entries(worker, there, pool))

    def make(worker: _Worker, node: _LocalDir, there: str) -> None:
        worker.cmd("MKD " + there)
        pool.made_directory()
        fill(node, there, None)

    def start(worker: _Worker) -> None:
        name = PurePosixPath(top).name
        if name in ("", ".", ".."):
            fill(tree, top, _entries(worker, top, pool))
            return
        try:
            worker.cmd("MKD " + top)
        except ftplib.error_perm as refusal:
            # MKD is the probe: refused, the parent's listing tells why.
            try:
                entry = _top_entry(worker, top)
            except (ftplib.error_perm, FileNotFoundError):
                # No parent: made once, with its own missing parents.
                pool.cls(PurePosixPath(top).parent).mkdir()  # type: ignore[attr-defined]
                worker.cmd("MKD " + top)
            else:
                if entry is None:
                    raise _Final(f"cannot create the directory: {_reason(refusal)}") from None
                if entry.kind not in ("dir", "link"):
                    raise _Final(f"exists on the server and is a {_KIND_WORDS.get(entry.kind, entry.kind)},"
                                 " not a directory") from None
                # An existing directory (or a link the user named) is filled.
                fill(tree, top, _entries(worker, top, pool))
                return
        pool.made_directory()
        fill(tree, top, None)

    pool.put(_Task(top, start, directory=True, top=True))
    pool.run()
    return pool.outcome()


_KIND_WORDS = {"dir": "directory", "link": "symbolic link", "file": "file", "other": "special file"}


# ---------------------------------------------------------------------------
# download


def _local_dir(path: str) -> bool:
    """Make the local directory *path* (True), or take the one that is there
    (False); never go through a local link, which the server did not list."""
    try:
        os.mkdir(path)
        return True
    except FileExistsError:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            raise _Final("exists locally and is not a directory") from None
        return False


def _fetch(worker: _Worker, pool: _Pool, remote: str, local: str, size: int | None,
           mtime: datetime.datetime | None) -> None:
    """RETR one file into a temporary name beside *local*, then rename it."""
    folder, name = os.path.split(local)
    temp = os.path.join(folder or ".", f".{name[:80]}.{secrets.token_hex(4)}.dravlen-part")
    reported = 0
    try:
        try:
            sink = open(temp, "xb")
        except OSError as exc:
            raise _Final(_reason(exc)) from None
        with sink:
            client = worker.binary()
            got = 0
            with client.transfercmd("RETR " + remote) as conn:
                while True:
                    if pool.stop.is_set():
                        raise _Stopped()
                    block = conn.recv(BLOCK)
                    if not block:
                        break
                    try:
                        sink.write(block)
                    except OSError as exc:
                        raise _Final(f"writing {local}: {_reason(exc)}", clean=False) from None
                    got += len(block)
                    if got - reported >= _REPORT_EVERY:
                        pool.moved(got - reported)
                        reported = got
                end_data(conn)
            client.voidresp()
        if size is None or got != size:
            # The listing did not say, or the file changed since: the server's
            # present size must be what came.
            there = client.size(remote)
            if there != got:
                raise _Again(f"{got} bytes came where the server holds {there}")
        try:
            os.replace(temp, local)
        except OSError as exc:
            raise _Final(_reason(exc)) from None
        if mtime is not None:
            stamp = mtime.timestamp()
            try:
                os.utime(local, (stamp, stamp))
            except OSError:
                pass
    except BaseException:
        if reported:
            pool.moved(-reported)
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    pool.finished(remote, got - reported)


def _complete_locally(local: str, entry: Entry) -> bool:
    """Whether *local* already holds the listed file: same size, and the
    same time (to the listing's precision) where the listing gives one."""
    try:
        st = os.lstat(local)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or entry.size is None or st.st_size != entry.size:
        return False
    if entry.mtime is None:
        return True
    when = entry.mtime
    slack = 1.0
    if when.second == 0 and when.microsecond == 0:
        slack = 86400.0 if (when.hour, when.minute) == (0, 0) else 60.0
    return abs(st.st_mtime - when.timestamp()) < slack


def download_tree(remote: BasePath | str, local: str | os.PathLike[str], *,
                  connections: int = DEFAULT_CONNECTIONS,
                  progress: Callable[[Progress], object] | None = None) -> Outcome:
    """Download the remote file or directory *remote* to *local* (the path it
    will have here) over *connections* connections.

    Each file is written under a temporary name beside its own and renamed
    once its size is confirmed, then given the server's time; files already
    there with the same size and time are skipped.  A remote symbolic link
    becomes a local one where the listing names its target (it is never
    followed); special files are passed over (`Outcome.passed_over`).
    Raises `TreeError` listing what failed (after doing the rest),
    `Interrupted` on Ctrl-C, `FileNotFoundError` when *remote* is not there.
    """
    local_top = os.fspath(local)
    if not isinstance(local_top, str):
        raise TypeError(f"download_tree needs a text local path, not {local_top!r}")
    cls = _class_of(remote)
    top = _as_posix(remote)
    pool = _Pool(f"download of {top} to {local_top}", cls, top, connections, progress)
    pool.listing = True
    scans = [0]

    def scanned() -> None:
        with pool.cond:
            scans[0] -= 1
            pool.listing = scans[0] > 0

    def scan_later(there: str, here: str) -> None:
        with pool.cond:
            scans[0] += 1
        pool.put(_dir_task(there, partial(scan, there=there, here=here)))

    def scan(worker: _Worker, there: str, here: str) -> None:
        entries = _entries(worker, there, pool)
        listed = [e for e in entries.values() if e.kind == "file"]
        pool.add_total(len(listed), sum(e.size or 0 for e in listed))
        for name, entry in entries.items():
            source, target = _remote(there, name), os.path.join(here, name)
            if entry.kind == "dir":
                try:
                    if _local_dir(target):
                        pool.made_directory()
                except (OSError, _Final) as exc:
                    pool.fail(target, _reason(exc))
                    continue
                scan_later(source, target)
            elif entry.kind == "file":
                if _complete_locally(target, entry):
                    pool.finished(source, entry.size or 0, skipped=True)
                    continue
                pool.put(_Task(source, partial(_fetch, pool=pool, remote=source, local=target,
                                               size=entry.size, mtime=entry.mtime)))
            elif entry.kind == "link":
                _link(pool, source, target, entry)
            else:
                pool.pass_over(source, "neither a file, a directory nor a link")
        scanned()

    def start(worker: _Worker) -> None:
        name = PurePosixPath(top).name
        entry = None
        if name not in ("", ".", ".."):
            entry = _top_entry(worker, top)
            if entry is None:
                raise FileNotFoundError(errno.ENOENT, f"'{top}' does not exist on the server", top)
        if entry is not None and entry.kind == "file":
            pool.add_total(1, entry.size or 0)
            if _complete_locally(local_top, entry):
                pool.finished(top, entry.size or 0, skipped=True)
            else:
                pool.put(_Task(top, partial(_fetch, pool=pool, remote=top, local=local_top,
                                            size=entry.size, mtime=entry.mtime)))
            pool.listing = False
            return
        if entry is not None and entry.kind == "link":
            # A link named as the top is what the user asked for, and is followed.
            try:
                worker.listing(top)
            except NotADirectoryError:
                pool.add_total(1, 0)
                pool.put(_Task(top, partial(_fetch, pool=pool, remote=top, local=local_top,
                                            size=None, mtime=None)))
                pool.listing = False
                return
        if entry is not None and entry.kind not in ("dir", "link"):
            raise ValueError(f"'{top}' is neither a file nor a directory on the server")
        try:
            parent = os.path.dirname(os.path.abspath(local_top))
            os.makedirs(parent, exist_ok=True)
            _local_dir(local_top)
        except _Final as exc:
            raise FileExistsError(errno.EEXIST, f"{local_top!r} {exc}", local_top) from None
        scan_later(top, local_top)

    pool.put(_Task(top, start, directory=True, top=True))
    pool.run()
    return pool.outcome()


def _link(pool: _Pool, source: str, target: str, entry: Entry) -> None:
    where = getattr(entry, "target", None)
    if not where:
        pool.pass_over(source, "a symbolic link whose target the server does not tell")
        return
    try:
        if os.path.islink(target):
            if os.readlink(target) == where:
                return
            os.unlink(target)
        os.symlink(where, target)
    except OSError as exc:
        pool.fail(target, _reason(exc))


# ---------------------------------------------------------------------------
# removal


def remove_tree(remote: BasePath | str, *, connections: int = DEFAULT_CONNECTIONS,
                progress: Callable[[Progress], object] | None = None) -> Outcome:
    """Remove the remote file, link or directory tree *remote* over
    *connections* connections.

    Each directory is listed once; its files and links go with ``DELE`` (a
    link is removed, never followed), then the directory with ``RMD`` once
    everything in it is gone.  Raises `TreeError` listing what could not be
    removed (the directories holding it stay), `Interrupted` on Ctrl-C,
    `FileNotFoundError` when *remote* is not there.
    """
    cls = _class_of(remote)
    top = _as_posix(remote)
    if PurePosixPath(top).name in ("", ".", ".."):
        raise ValueError(f"refusing to remove {top!r}: it names no entry of a directory")
    pool = _Pool(f"removal of {top}", cls, top, connections, progress)
    pool.listing = True
    waiting: dict[str, int] = {}  # directory -> entries in it not yet removed
    parent_of: dict[str, str | None] = {top: None}
    relisted: set[str] = set()
    scans = [0]

    def gone(path: str, size: int, directory: bool) -> None:
        if directory:
            pool.made_directory()
        else:
            pool.finished(path, size)
        parent = parent_of.get(path)
        if parent is None:
            return
        with pool.cond:
            waiting[parent] -= 1
            empty = waiting[parent] == 0
        if empty:
            pool.put(_dir_task(parent, partial(rmd, path=parent)))

    def dele(worker: _Worker, path: str, size: int) -> None:
        worker.cmd("DELE " + path)
        gone(path, size, False)

    def rmd(worker: _Worker, path: str) -> None:
        try:
            worker.cmd("RMD " + path)
        except ftplib.error_perm:
            if path in relisted:
                raise
            # Something the first listing did not show (or that came since).
            relisted.add(path)
            scan_now(worker, path)
            return
        gone(path, 0, True)

    def scan_now(worker: _Worker, path: str) -> None:
        entries = _entries(worker, path, pool)
        files = size = 0
        with pool.cond:
            waiting[path] = waiting.get(path, 0) + len(entries)
        for name, entry in entries.items():
            child = _remote(path, name)
            parent_of[child] = path
            if entry.kind == "dir":
                with pool.cond:
                    scans[0] += 1
                pool.put(_dir_task(child, partial(scan, path=child)))
            else:
                files += 1
                size += entry.size or 0
                pool.put(_Task(child, partial(dele, path=child, size=entry.size or 0)))
        pool.add_total(files, size)
        if not entries:
            pool.put(_dir_task(path, partial(rmd, path=path)))

    def scan(worker: _Worker, path: str) -> None:
        scan_now(worker, path)
        with pool.cond:
            scans[0] -= 1
            pool.listing = scans[0] > 0

    def start(worker: _Worker) -> None:
        entry = _top_entry(worker, top)
        if entry is None:
            raise FileNotFoundError(errno.ENOENT, f"'{top}' does not exist on the server", top)
        if entry.kind == "dir":
            with pool.cond:
                scans[0] += 1
            pool.put(_dir_task(top, partial(scan, path=top)))
        else:
            pool.add_total(1, entry.size or 0)
            pool.listing = False
            pool.put(_Task(top, partial(dele, path=top, size=entry.size or 0)))

    pool.put(_Task(top, start, directory=True, top=True))
    pool.run()
    return pool.outcome()


