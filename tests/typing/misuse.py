"""Wrong uses of FTPPath that `mypy --strict` must reject (.ci/typecheck.sh).

Each line marked ``# expect: CODE`` must get exactly that error code and no
other line may get any; an Any where a real type belongs would pass silently
and shows up here as a missing error.
"""

from __future__ import annotations

import ftplib
import pathlib

from dravlen.ftp.path import FTPPath


class TwoSections(FTPPath):
    _section = ("ftp", "backup")  # expect: assignment


def misuse(path: FTPPath) -> None:
    path.write("text")  # expect: arg-type
    path.upload(pathlib.Path("/tmp/x"))  # expect: arg-type
    path.glob(3)  # expect: arg-type
    FTPPath(3)  # expect: arg-type
    text: str = path.read()  # expect: assignment
    stamp: str = path.mtime  # expect: assignment
    flag: str = path.exists  # expect: assignment
    kind: str = path.is_dir()  # expect: assignment
    name: str = next(path.glob())  # expect: assignment
    section: str = path._section  # expect: assignment
    maker: type[str] = path._creator  # expect: assignment
    error: str = path._reset("ftp")  # expect: assignment
    path.client = ftplib.FTP()  # expect: misc
    path.exists()  # expect: operator
    path.mtime()  # expect: operator
    result: int = path.mkdir()  # expect: func-returns-value, assignment
    print(text, stamp, flag, kind, name, section, maker, error, result)
