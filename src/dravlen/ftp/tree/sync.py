"""Keeping a folder in step: what `upload_tree` and `download_tree` add for
``sync``.

`Rules` says which source entries are left out (``exclude`` patterns),
whether destination entries the source no longer has are removed
(``delete``), and whether anything is done at all (``dry_run``: every step
is written down in `Rules.planned` instead).  The copying itself, and what
counts as already complete, are the two engines' own; the rules only add
and leave out work.  An upload gives each file its local modification time
with ``MFMT`` where the server knows the command, so that a later run
compares like with like.
"""

from __future__ import annotations

import fnmatch
import ftplib
import os
import shutil
import stat
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.remove import remove_tree
from dravlen.ftp.tree.walk import LocalDir, child
from dravlen.ftp.tree.worker import Final, Task, Worker
from dravlen.ftp.wire.checksums import file_hash, remote_hash, strongest
from dravlen.ftp.wire.replies import reason
from dravlen.ftp.wire.times import set_time
from dravlen.whole import PART_SUFFIX

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Entry


@dataclass
class Rules:
    """What a keep-in-step run adds to a tree copy.

    *exclude*: `fnmatch` patterns matched against each entry's name and
    its path below the top (``logs/*.gz``); what matches is neither copied
    nor removed.  *delete*: remove destination entries the source does not
    have, below the destination and nowhere else.  *dry_run*: change
    nothing; each step that would be taken goes to `planned` as
    ``(action, path)``.  *checksum*: a file whose sizes agree on both sides
    is compared by content, the server's hash of it against the local
    file's (`same_content`), not by time; a server that computes no hash
    fails the run at its start (`ChecksumUnavailable`) rather than fall
    back on times, which would keep the edits it was asked to find.
    """

    exclude: tuple[str, ...] = ()
    delete: bool = False
    dry_run: bool = False
    checksum: bool = False
    planned: list[tuple[str, str]] = field(default_factory=list)
    deleted: int = 0
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def excluded(self, relative: str) -> bool:
        name = relative.rsplit("/", 1)[-1]
        return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p)
                   for p in self.exclude)

    def plan(self, action: str, path: str) -> None:
        with self._lock:
            self.planned.append((action, path))

    def count_deleted(self) -> None:
        with self._lock:
            self.deleted += 1


def below(top: str, path: str) -> str:
    """*path* relative to the tree's *top* (both remote paths)."""
    return path[len(top):].lstrip("/") if path.startswith(top) else path


def prune(node: LocalDir, rules: Rules, relative: str = "") -> None:
    """Take the excluded entries out of a local walk, before anything is counted."""
    node.files = [f for f in node.files if not rules.excluded(_join(relative, f[0]))]
    node.dirs = [d for d in node.dirs if not rules.excluded(_join(relative, d.name))]
    for sub in node.dirs:
        prune(sub, rules, _join(relative, sub.name))


def _join(relative: str, name: str) -> str:
    return f"{relative}/{name}" if relative else name


# -- times kept on upload ---------------------------------------------------

def set_remote_time(worker: Worker, remote: str, mtime: float) -> None:
    """Give the uploaded *remote* the local time *mtime* (``MFMT``, UTC, to
    the second).  A server without the command is remembered on the client
    and not asked again; a refusal for this file leaves the upload's own
    time, which is never earlier than the local one, so nothing is lost."""
    try:
        set_time(worker.client, remote, mtime)
    except (ftplib.error_perm, ftplib.error_temp):
        pass


# -- what the destination has and the source does not ----------------------

def remote_extras(pool: Pool, rules: Rules, top: str, there: str,
                  existing: dict[str, Entry], keep: set[str]) -> None:
    """Remove (or plan to) the entries of the remote directory *there*
    whose names are not in *keep* and not excluded."""
    for name, entry in existing.items():
        target = child(there, name)
        if name in keep or rules.excluded(below(top, target)):
            continue
        if rules.dry_run:
            rules.plan("delete", target)
            continue
        if entry.kind == "dir":
            # Its own small removal, on this task's connection.
            def gone(worker: Worker, target: str = target) -> None:
                remove_tree(pool.cls(target), connections=1)
                rules.count_deleted()
        else:
            def gone(worker: Worker, target: str = target) -> None:
                worker.cmd("DELE " + target, "cannot delete the file")
                rules.count_deleted()
        pool.put(Task(target, gone, directory=entry.kind == "dir"))


def local_extras(pool: Pool, rules: Rules, top: str, here: str, there: str, keep: set[str]) -> None:
    """Remove (or plan to) the entries of the local directory *here* whose
    names are not in *keep* (the remote *there*'s listing) and not excluded.
    A local link is removed as a link, never followed."""
    try:
        with os.scandir(here) as it:
            names = sorted(e.name for e in it)
    except FileNotFoundError:
        return
    except OSError as exc:
        pool.fail(here, str(exc.strerror or exc))
        return
    for name in names:
        # A name with a line break has no copy any FTP command could name,
        # and one the listing could not give is not known to be gone.
        if (name in keep or name.endswith(PART_SUFFIX) or "\n" in name or "\r" in name
                or rules.excluded(below(top, child(there, name)))):
            continue
        target = os.path.join(here, name)
        if rules.dry_run:
            rules.plan("delete", target)
            continue
        try:
            if stat.S_ISDIR(os.lstat(target).st_mode):
                shutil.rmtree(target)
            else:
                os.unlink(target)
        except OSError as exc:
            pool.fail(target, f"cannot delete: {exc.strerror or exc}")
        else:
            rules.count_deleted()


# -- by content (Rules.checksum) --------------------------------------------

def hashes_first(rules: Rules, run: Callable[[Worker], None]) -> Callable[[Worker], None]:
    """The tree's first task *run*, preceded, where *rules* compare by
    content, by the check that the server computes a hash at all: the run
    ends there with `ChecksumUnavailable`, before anything is copied."""
    if not rules.checksum:
        return run

    def first(worker: Worker) -> None:
        worker.doing = "cannot compare files by hash"
        worker.give_up_ahead()
        strongest(worker.path)
        run(worker)

    return first


def local_size(local: str) -> int | None:
    """The size of the regular file *local* (never through a link); None
    for anything else, or nothing."""
    try:
        st = os.lstat(local)
    except OSError:
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def same_content(worker: Worker, remote: str, local: str, size: int | None = None) -> bool:
    """Whether the server's hash of *remote* (the strongest it has; a file of
    *size* bytes, where the listing told) is the local file *local*'s, read
    once here."""
    worker.doing = "cannot compare the file's hash"
    worker.give_up_ahead()
    algorithm, told = remote_hash(worker.cls(remote), size=size)
    try:
        return file_hash(local, algorithm) == told
    except OSError as exc:
        raise Final(f"reading {local}: {reason(exc)}") from None


def by_content(pool: Pool, remote: str, local: str, size: int, copy: Callable[[], None]) -> None:
    """Keep *remote* and *local*, whose sizes agree at *size* bytes, in step
    by content: a task of its own compares their hashes, and calls *copy*
    (which queues or plans the copy) where they differ."""
    def compare(worker: Worker) -> None:
        if same_content(worker, remote, local, size):
            pool.finished(remote, size, skipped=True)
        else:
            copy()

    pool.put(Task(remote, compare))


def planned_copy(rules: Rules, pool: Pool, action: str, path: str, size: int) -> None:
    """A dry run's copy: written down and counted, nothing moved."""
    rules.plan(action, path)
    pool.finished(path, size)


__all__ = ["Rules", "below", "by_content", "hashes_first", "local_extras", "local_size", "planned_copy", "prune",
           "remote_extras", "same_content", "set_remote_time"]
