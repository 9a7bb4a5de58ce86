"""Typed use of every FTPPath and RemotePath member, for `mypy --strict` (.ci/typecheck.sh).

Not a test module and never run: each value is bound to a variable of the
type the member must have, so a wrong or missing declaration is an error.
Where an Any could slip through an assignment, misuse.py holds the other
half: the same members used wrongly, which mypy must reject.
"""

from __future__ import annotations

import datetime
import ftplib
import io
from typing import Any, Generator, NoReturn, Optional

from dravlen.base import BasePath
from dravlen.ftp.wire.listing import Entry, list_dir
from dravlen.ftp.path import FTPPath, interrupt
from dravlen.ftp.remote import RemotePath, Stat


class Backup(FTPPath):
    _section = ("backup",)


def abandon() -> NoReturn:
    # Accepted without a return only because interrupt never returns.
    interrupt(b"first block", key="ignored")


def use(path: FTPPath) -> list[FTPPath]:
    base: BasePath = path
    section: tuple[str] = FTPPath._section
    creator: type[ftplib.FTP] = path._creator
    client: ftplib.FTP = path.client
    reset: Optional[Exception] = path._reset(section[0])
    exists: bool = path.exists
    mtime: datetime.datetime = path.mtime
    is_dir: bool = path.is_dir()
    data: bytes = path.read()
    path.write(data + b"\n")
    path.upload("/tmp/local-file")
    path.mkdir()
    path.delete()
    every: Generator[FTPPath, Any, Any] = path.glob()
    matching: Generator[FTPPath, Any, Any] = path.glob(pattern="*.csv")
    first: FTPPath = next(every)
    print(base, creator, client, reset, exists, mtime, is_dir, first)
    return list(matching)


def build() -> list[FTPPath]:
    backup = Backup("/data")
    also: FTPPath = Backup(backup)
    return use(FTPPath("/data/report.csv")) + use(also)


def use_remote(path: RemotePath) -> list[RemotePath]:
    core: FTPPath = path
    info: Entry = path.info()
    kind: str = info.kind
    size: Optional[int] = info.size
    when: Optional[datetime.datetime] = info.mtime
    total: int = path.size
    names: list[RemotePath] = list(path.iterdir())
    pairs: list[tuple[RemotePath, Entry]] = list(path.iterdir(detail=True))
    reader: io.BufferedReader = path.open()
    block: bytes = reader.read1(1024)
    writer: io.BufferedWriter = path.open("wb")
    text: io.TextIOWrapper = path.open("r", encoding="utf-8")
    line: str = text.readline()
    moved: int = path.download("/tmp/local-copy")
    renamed: RemotePath = path.rename("/data/renamed.csv")
    for folder, dirs, files in path.walk():
        first_dir: str = dirs[0]
        print(folder, first_dir, files)
    found: list[RemotePath] = list(path.rglob("*.csv")) + list(path.find("a/**/b"))
    entries: list[Entry] = list_dir(path)
    print(core, kind, size, when, total, pairs, block, writer, line, moved, renamed, entries)
    data: bytes = path.read_bytes()
    written: int = path.write_bytes(data) + path.write_text("x", encoding="utf-8", newline="\r\n")
    facts: Stat = path.stat()
    stamp: Optional[float] = facts.st_mtime
    flags: tuple[bool, str, list[str], int] = (path.is_file(), path.read_text(), path.suffixes, facts.st_mode)
    path.unlink(missing_ok=True)
    path.touch(exist_ok=False)
    near: list[RemotePath] = [*path.parents, path.with_suffix(".txt"), path.with_stem("b"),
                              path.with_name("c"), path.joinpath("d", path), "/x" / path, path / "e"]
    print(written, stamp, flags, path.match("*.csv"), path.stem, path.suffix, path.parts)
    return names + found + near
