"""`RemotePath`: the FTP path class that users import.

It is `dravlen.ftp.path.FTPPath` (the compiled core: ``exists``, ``is_dir()``,
``mtime``, ``read()``, ``write()``, ``upload()``, ``glob()``, ``mkdir()``,
``delete()``) plus the everyday work built beside it in Python.  It shares
the core's per-thread clients, ``retry`` and resynchronisation, and never
changes what the core's members do.  Like `FTPPath` it talks to the server of
the configuration section ``[ftp]``; `dravlen.ftp.server` hands out
subclasses bound to other servers.
"""

from __future__ import annotations

from dravlen.ftp.path import FTPPath

__all__ = ["RemotePath"]


class RemotePath(FTPPath):
    """A path on an FTP server: the core's members and the everyday ones."""
