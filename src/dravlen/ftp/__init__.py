"""The FTP backend of dravlen.

``dravlen.ftp.path.FTPPath`` is the compiled core; `RemotePath` is the class
users import: the core plus the everyday work built beside it.  Names are
imported on first use, so importing the package loads nothing else.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from dravlen.ftp.connect import server
    from dravlen.ftp.remote import RemotePath

__all__ = ["RemotePath", "server"]

# name -> the submodule that defines it
_LAZY = {"RemotePath": "dravlen.ftp.remote", "server": "dravlen.ftp.connect"}


def __getattr__(name: str) -> Any:
    try:
        module = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'dravlen.ftp' has no attribute {name!r}") from None
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    # The lazy names too, so that completion offers them before first use.
    return sorted(set(globals()) | set(_LAZY))
