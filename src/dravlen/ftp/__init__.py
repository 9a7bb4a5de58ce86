"""The FTP backend of dravlen.

``dravlen.ftp.path.FTPPath`` is the compiled core; `RemotePath` is the class
users import: the core plus the everyday work built beside it.  Names are
imported on first use, so importing the package loads only `dravlen.sessions`,
to register how this package's clients are opened (`dravlen.ftp.wire.session`,
imported when a path first needs a client).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from dravlen.sessions import register_loader

if TYPE_CHECKING:
    from dravlen.ftp.connect import server
    from dravlen.ftp.remote import RemotePath

__all__ = ["RemotePath", "server"]



def _load_session() -> None:
    import dravlen.ftp.wire.session  # noqa: F401  (it registers the session of ftplib clients)


register_loader(__name__, _load_session)

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
