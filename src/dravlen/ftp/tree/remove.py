"""Removal: a remote file, link or tree taken away, links as links."""

from __future__ import annotations

import errno
import ftplib
from collections.abc import Callable
from functools import partial
from pathlib import PurePosixPath

from dravlen.base import BasePath
from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.results import Outcome, Progress
from dravlen.ftp.tree.walk import as_posix, child, class_of, entries, top_entry
from dravlen.ftp.tree.worker import DEFAULT_CONNECTIONS, Task, Worker


_DELE_AT_ONCE = 50


class _Removal:
    """Which directory waits for how many of its entries to go; a directory
    is removed once the last one has.  Written with the pool's lock held."""

    def __init__(self, pool: Pool, top: str) -> None:
        self.pool = pool
        self.waiting: dict[str, int] = {}  # directory -> entries in it not yet removed
        self.parent_of: dict[str, str | None] = {top: None}
        self.relisted: set[str] = set()
        self.answered: set[str] = set()  # files whose DELE has had its reply

    def gone(self, path: str, size: int, directory: bool) -> None:
        pool = self.pool
        if directory:
            pool.made_directory()
        else:
            pool.finished(path, size)
        with pool.cond:
            parent = self.parent_of.get(path)
            if parent is None:
                return
            self.waiting[parent] -= 1
            empty = self.waiting[parent] == 0
        if empty:
            pool.put(Task(parent, partial(self.rmd, path=parent), directory=True))

    def dele(self, worker: Worker, path: str, size: int) -> None:
        worker.cmd("DELE " + path, "cannot delete the file")
        self.gone(path, size, False)

    def dele_many(self, worker: Worker, files: list[tuple[str, int]], task: Task) -> None:
        """DELE each of *files*, the commands sent together and their replies
        read in order after them: one round trip for the lot.  Tried again,
        only those without a reply go again."""
        client = worker.client
        worker.doing = "cannot delete the file"
        left = [(path, size) for path, size in files if path not in self.answered]
        for path, _ in left:
            client.putcmd("DELE " + path)
        transient: BaseException | None = None
        refused: list[tuple[str, int, ftplib.Error]] = []
        for path, size in left:
            try:
                client.voidresp()
            except ftplib.error_temp as exc:
                if transient is None:
                    transient, task.label = exc, path  # what a failure for good is reported as
                continue
            except ftplib.error_perm as exc:
                self.answered.add(path)
                refused.append((path, size, exc))
                continue
            self.answered.add(path)
            self.gone(path, size, False)
        # Only once every reply is read: the look asks the server itself.
        for path, size, refusal in refused:
            if worker.removed_unanswered(path):
                self.gone(path, size, False)
            else:
                self.pool.fail(path, worker.why(refusal))  # its folder stays
        if transient is not None:
            raise transient

    def rmd(self, worker: Worker, path: str) -> None:
        try:
            worker.cmd("RMD " + path, "cannot remove the directory")
        except ftplib.error_perm:
            with self.pool.cond:
                again = path not in self.relisted
                self.relisted.add(path)
            if not again:
                raise
            # Something the first listing did not show (or that came since).
            self.scan_now(worker, path)
            return
        self.gone(path, 0, True)

    def scan_later(self, path: str) -> None:
        self.pool.scan_queued(path)
        self.pool.put(Task(path, partial(self.scan, path=path), directory=True))

    def scan(self, worker: Worker, path: str) -> None:
        try:
            self.scan_now(worker, path)
        finally:
            self.pool.scan_done(path)

    def scan_now(self, worker: Worker, path: str) -> None:
        pool = self.pool
        found = entries(worker, path, pool)
        with pool.cond:
            self.waiting[path] = self.waiting.get(path, 0) + len(found)
            for name in found:
                self.parent_of[child(path, name)] = path
        files = size = 0
        for name, entry in found.items():
            if entry.kind == "dir":
                self.scan_later(child(path, name))
            else:
                files += 1
                size += entry.size or 0
        pool.add_total(files, size)
        doomed = [(child(path, name), entry.size or 0) for name, entry in found.items() if entry.kind != "dir"]
        # Several DELEs a task, in as many tasks as there are connections to share them.
        step = max(1, min(_DELE_AT_ONCE, -(-len(doomed) // pool.limit)))
        for i in range(0, len(doomed), step):
            some = doomed[i:i + step]
            label = some[0][0] if len(some) == 1 else f"{some[0][0]} and {len(some) - 1} more"
            task = Task(label, lambda _: None)  # its run, which names the task, is set below
            task.run = partial(self.dele_many, files=some, task=task)
            pool.put(task)
        if not found:
            pool.put(Task(path, partial(self.rmd, path=path), directory=True))


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
    cls = class_of(remote)
    top = as_posix(remote)
    if PurePosixPath(top).name in ("", ".", ".."):
        raise ValueError(f"refusing to remove {top!r}: it names no entry of a directory")
    pool = Pool(f"removal of {top}", cls, top, connections, progress)
    removal = _Removal(pool, top)

    def start(worker: Worker) -> None:
        try:
            entry = top_entry(worker, top)
            if entry is None:
                raise FileNotFoundError(errno.ENOENT, f"'{top}' does not exist on the server", top)
            if entry.kind == "dir":
                removal.scan_later(top)
            else:
                pool.add_total(1, entry.size or 0)
                pool.put(Task(top, partial(removal.dele, path=top, size=entry.size or 0)))
        finally:
            pool.scan_done("")

    pool.scan_queued("")  # the top, until it is known
    pool.put(Task(top, start, directory=True, top=True))
    pool.run()
    return pool.outcome()
