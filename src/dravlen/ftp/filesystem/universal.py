"""universal-pathlib paths over `dravlen.ftp.filesystem.fs`: ``UPath("ftps://...")``
and ``UPath("dftp://...")`` (``ftp://`` after `take_over_ftp`), whose
``stat()`` carries the server's times."""

from __future__ import annotations

import fsspec
from upath.core import UPath

__all__ = ["FTPUPath"]

# universal-pathlib reads paths and URL options through the filesystem class
# it finds among those fsspec has loaded: ours, not a flavour of another FTP.
for _protocol in ("ftps", "dftp"):
    fsspec.get_filesystem_class(_protocol)


class FTPUPath(UPath):
    """A path on an FTP server, through `dravlen.ftp.filesystem.fs.FTPFileSystem`."""

    __slots__ = ()
