"""universal-pathlib paths over `dravlen.ftp.filesystem`: ``UPath("ftps://...")``
and ``UPath("dftp://...")`` (``ftp://`` after `take_over_ftp`), whose
``stat()`` carries the server's times."""

from __future__ import annotations

from upath.core import UPath

__all__ = ["FTPUPath"]


class FTPUPath(UPath):
    """A path on an FTP server, through `dravlen.ftp.filesystem.FTPFileSystem`."""

    __slots__ = ()
