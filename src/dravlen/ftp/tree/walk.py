"""The two sides' views of a tree: the local walk, and a remote directory's
entries by name."""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from pathlib import PurePosixPath
from typing import TYPE_CHECKING

from dravlen.base import BasePath
from dravlen.ftp.path import FTPPath
from dravlen.ftp.wire.listing import ambiguous_link, names_in
from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.results import AMBIGUOUS_LINK, LEAVES_FOLDER
from dravlen.ftp.wire.replies import reason
from dravlen.ftp.tree.worker import Worker

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Entry

LINE_BREAK = "the name holds a line break, which no FTP command can carry"


@dataclass
class LocalDir:
    path: str
    name: str
    files: list[tuple[str, int, float]] = field(default_factory=list)  # name, size, mtime
    dirs: list[LocalDir] = field(default_factory=list)

    def count(self) -> tuple[int, int]:
        files, size = len(self.files), sum(s for _, s, _ in self.files)
        for sub in self.dirs:
            f, s = sub.count()
            files += f
            size += s
        return files, size


def walk_local(top: str, failures: list[tuple[str, str]]) -> LocalDir:
    """The local tree below *top*; links are followed, loops and entries that
    are neither files nor directories go to *failures*."""
    root = LocalDir(top, os.path.basename(top))
    on_the_way: set[tuple[int, int]] = set()

    def visit(node: LocalDir, st: os.stat_result) -> None:
        key = (st.st_dev, st.st_ino)
        on_the_way.add(key)
        try:
            with os.scandir(node.path) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            failures.append((node.path, reason(exc)))
            return
        for entry in entries:
            if "\r" in entry.name or "\n" in entry.name:
                failures.append((entry.path, LINE_BREAK))
                continue
            try:
                est = entry.stat()  # follows links, as the core's upload does
            except OSError as exc:
                failures.append((entry.path, reason(exc)))
                continue
            if stat.S_ISREG(est.st_mode):
                node.files.append((entry.name, est.st_size, est.st_mtime))
            elif stat.S_ISDIR(est.st_mode):
                if (est.st_dev, est.st_ino) in on_the_way:
                    failures.append((entry.path, "Too many levels of symbolic links"))
                    continue
                sub = LocalDir(entry.path, entry.name)
                node.dirs.append(sub)
                visit(sub, est)
            else:
                failures.append((entry.path, "Not a regular file or directory"))
        on_the_way.discard(key)

    visit(root, os.stat(top))
    return root


def no_earlier(entry: Entry, local: float) -> bool | None:
    """Whether the listed *entry*'s true time is no earlier than the local
    time *local* (to the second, as servers keep times); None where the
    listing is too coarse to tell (a minute, a day, a zone not known) or
    gives no time: then only the exact time can tell."""
    window = entry.window()
    if window is None:
        return None
    earliest, latest = window
    if entry.exact or earliest + 1 >= local:
        return earliest + 1 >= local
    if latest + 1 <= local:
        return False
    return None


def same_time(entry: Entry, local: float) -> bool | None:
    """Whether the local time *local* is the listed *entry*'s, as a download
    stamps it (to the second); None where the listing is too coarse to tell."""
    window = entry.window()
    if window is None:
        return None
    earliest, latest = window
    if entry.exact:
        return abs(local - earliest) < 1
    if local <= earliest - 1 or local >= latest + 1:
        return False
    return None


def _bad_name(name: str) -> str | None:
    """Why a listed *name* cannot be taken as one entry of its directory."""
    if name in ("", ".", ".."):
        return "not an entry name"
    if "/" in name or "\0" in name:
        return "the name holds '/' or NUL"
    if "\r" in name or "\n" in name:
        return LINE_BREAK
    return None


def child(base: str, name: str) -> str:
    return (PurePosixPath(base) / name).as_posix()


def left_out(line: str, encoding: str) -> str:
    """Why a listing left out *line*: a link line whose name and target cannot
    be told apart, or else a name that cannot be an entry of the folder."""
    if ambiguous_link(line, encoding):
        return f"{AMBIGUOUS_LINK}: {line!r}"
    return f"{LEAVES_FOLDER}: {line!r}"


class Found(dict[str, "Entry"]):
    """A folder's entries by name, and in ``doubtful`` the names its left-out
    lines could give an entry: not known to be missing."""

    def __init__(self) -> None:
        super().__init__()
        self.doubtful: set[str] = set()


def entries(worker: Worker, remote: str, pool: Pool, *, passing_over: bool = False) -> Found:
    """The listing of *remote* by name; entries whose name cannot be one are
    reported.  *passing_over*: the lines the listing left out (names that
    leave the folder, links that cannot be told apart) count as passed over,
    for a copy whose caller must learn that it holds less than was listed."""
    found = Found()
    listed = worker.listing(remote)
    for line in listed.skipped:
        found.doubtful |= names_in(line)
    if passing_over and listed.skipped:
        encoding = getattr(worker.client, "encoding", "utf-8")
        for line in listed.skipped:
            pool.pass_over(remote, left_out(line, encoding))
    for entry in listed:
        if entry.name in (".", ".."):
            continue
        why = _bad_name(entry.name)
        if why is None and entry.name in found:
            why = "listed twice"
        if why is not None:
            pool.fail(child(remote, entry.name.replace("\n", "\\n").replace("\r", "\\r")), why)
            continue
        found[entry.name] = entry
    return found


def top_entry(worker: Worker, remote: str) -> Entry | None:
    """The entry of *remote* in its parent's listing (None if it is not there)."""
    path = PurePosixPath(remote)
    for entry in worker.listing(path.parent.as_posix()):
        if entry.name == path.name:
            return entry
    return None


def as_posix(path: BasePath | str) -> str:
    return path.path.as_posix() if isinstance(path, BasePath) else PurePosixPath(path).as_posix()


def class_of(path: BasePath | str) -> type[BasePath]:
    """The class whose clients do the work: the path's own, or the core's
    (on the ``[ftp]`` section) for a path given as text."""
    if isinstance(path, BasePath):
        return type(path)
    return FTPPath
