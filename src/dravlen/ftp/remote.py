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

import os
from collections.abc import Callable

from dravlen.ftp import tree
from dravlen.ftp.path import FTPPath

__all__ = ["RemotePath"]


class RemotePath(FTPPath):
    """A path on an FTP server: the core's members and the everyday ones."""

    # -- whole trees (dravlen.ftp.tree) --------------------------------------

    def upload_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None) -> tree.Outcome:
        """Upload the local file or tree *local* to this path over *connections*
        connections, skipping files already here; see `dravlen.ftp.tree.upload_tree`."""
        return tree.upload_tree(local, self, connections=connections, progress=progress)

    def download_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                      progress: Callable[[tree.Progress], object] | None = None) -> tree.Outcome:
        """Download this file or tree to *local* over *connections* connections,
        skipping files already there; see `dravlen.ftp.tree.download_tree`."""
        return tree.download_tree(self, local, connections=connections, progress=progress)

    def remove_tree(self, *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None) -> tree.Outcome:
        """Remove this file, link or tree over *connections* connections, links
        as links; see `dravlen.ftp.tree.remove_tree`."""
        return tree.remove_tree(self, connections=connections, progress=progress)
