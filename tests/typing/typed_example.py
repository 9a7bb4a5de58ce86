"""Typed use of every FTPPath member, for `mypy --strict` (.ci/typecheck.sh).

Not a test module and never run: each value is bound to a variable of the
type the member must have, so a wrong or missing declaration is an error.
Where an Any could slip through an assignment, misuse.py holds the other
half: the same members used wrongly, which mypy must reject.
"""

from __future__ import annotations

import datetime
import ftplib
from typing import Any, Generator, NoReturn, Optional

from dravlen.base import BasePath
from dravlen.ftp.path import FTPPath, interrupt


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
