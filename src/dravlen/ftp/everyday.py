"""The names pathlib users type, on `RemotePath`, each at the fewest round trips.

`PureNames` are the path-only ones (``suffix``, ``parents``, ``with_name``,
``/`` on either side, ...): no server is asked.  `Everyday` holds the ones
that talk to the server (``read_bytes``, ``write_text``, ``is_file``,
``stat``, ``unlink``, ``touch``).

What a round trip costs, not a command, decides how they talk; the wire
(`dravlen.ftp.wire`) opens their data connections so: ``TYPE I`` and
``PASV`` together, an upload's ``STOR`` at once with folders made only on
its refusal.  ``read_bytes`` asks for the ``SIZE`` in the same round trip as
``TYPE I`` and ``PASV``, and the bytes that come must be that many
(`dravlen.ftp.wire.streams.read_whole`): three waits where a ``SIZE`` after the transfer makes four;
a server whose ``RETR`` reply tells the same size is taken at its word from
then on.
"""

from __future__ import annotations

import ftplib
import io
import os
import stat as stat_module
import time
from pathlib import PurePath, PurePosixPath
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Self

from dravlen.base import BasePath
from dravlen.ftp.wire.dialects import NO_MFMT
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.replies import not_understood, operation
from dravlen.ftp.wire.times import set_time
from dravlen.ftp.wire.streams import read_whole
from dravlen.ftp.wire.client import finish
from dravlen.ftp.wire.transfer import open_data, why_not_written

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Entry

__all__ = ["Everyday", "PureNames", "Stat"]


# -- the path alone ---------------------------------------------------------

def _part(path: BasePath, other: Any) -> Any:
    """*other* as a part to join to *path*: its path where it is one of this
    class's, a TypeError where it is another server's."""
    if isinstance(other, BasePath):
        if type(other) is not type(path):
            raise TypeError(f"cannot join '{path.path}' and {other!r}: another server's path")
        return other.path
    return other


class PureNames:
    """pathlib's names that need no server, on the path object's own class."""

    __slots__ = ()
    path: PurePosixPath

    @property
    def suffix(self) -> str:
        return self.path.suffix

    @property
    def suffixes(self) -> list[str]:
        return self.path.suffixes

    @property
    def stem(self) -> str:
        return self.path.stem

    @property
    def parts(self) -> tuple[str, ...]:
        return self.path.parts

    @property
    def parents(self) -> tuple[Self, ...]:
        return tuple(type(self)(p) for p in self.path.parents)  # type: ignore[call-arg]

    def with_name(self, name: str) -> Self:
        return type(self)(self.path.with_name(name))  # type: ignore[call-arg]

    def with_stem(self, stem: str) -> Self:
        return type(self)(self.path.with_stem(stem))  # type: ignore[call-arg]

    def with_suffix(self, suffix: str) -> Self:
        return type(self)(self.path.with_suffix(suffix))  # type: ignore[call-arg]

    def joinpath(self, *others: str | os.PathLike[str] | BasePath) -> Self:
        assert isinstance(self, BasePath)
        return type(self)(self.path.joinpath(*(_part(self, o) for o in others)))

    def __truediv__(self, other: str | os.PathLike[str] | BasePath) -> Self:
        return self.joinpath(other)

    def __rtruediv__(self, other: str | os.PathLike[str]) -> Self:
        if not isinstance(other, (str, PurePath, os.PathLike)) or isinstance(other, BasePath):
            return NotImplemented
        return type(self)(PurePosixPath(other) / self.path)  # type: ignore[call-arg]

    def match(self, pattern: str) -> bool:
        return self.path.match(pattern)


# -- the path on its server ---------------------------------------------------

_MODES = {"dir": stat_module.S_IFDIR, "file": stat_module.S_IFREG, "link": stat_module.S_IFLNK}


class Stat(NamedTuple):
    """What `Everyday.stat` tells: the kind ("file", "dir", "link", "other"),
    the size in bytes (None for a directory) and the modification time as a
    UTC timestamp (None where the server does not tell it)."""

    kind: str
    st_size: int | None
    st_mtime: float | None

    @property
    def st_mode(self) -> int:
        """The type bits of the kind (``stat.S_ISDIR`` and the like work);
        no permission bits, which FTP does not tell in a standard way."""
        return _MODES.get(self.kind, 0)


class Everyday(PureNames):
    """pathlib's names that talk to the server."""

    __slots__ = ()

    if TYPE_CHECKING:
        client: ftplib.FTP
        exists: bool

        def info(self) -> Entry: ...
        def _info(self, exact: bool) -> Entry: ...
        def _size_command(self) -> int: ...
        def _valid_reset(self) -> None: ...
        def open(self, mode: str, *, encoding: str | None = ..., errors: str | None = ...,
                 newline: str | None = ...) -> IO[Any]: ...

    def stat(self) -> Stat:
        """Kind, size and modification time: one ``MLST`` where the server has
        it (plus one ``SIZE`` for a file whose size it leaves out); else the
        path's line in its parent's listing.  FileNotFoundError if there is
        nothing."""
        entry = self.info()
        size = entry.size
        if size is None and entry.kind == "file":
            size = self._size_command()
        when = entry.mtime.timestamp() if entry.mtime is not None else None
        return Stat(entry.kind, size if entry.kind != "dir" else None, when)

    def is_file(self) -> bool:
        """Whether the path is a file (as the server's ``MLST`` or listing
        tells: a link, where the server shows it as one, is not)."""
        try:
            return self._info(exact=False).kind == "file"
        except FileNotFoundError:
            return False

    @operation
    def read_bytes(self) -> bytes:
        """The whole file: one ``RETR``, as many bytes as ``SIZE`` told."""
        return read_whole(self)

    @operation
    def read_text(self, encoding: str | None = None, errors: str | None = None,
                  newline: str | None = None) -> str:
        """The whole file decoded (UTF-8 unless *encoding* says otherwise),
        newlines as `open` reads them."""
        buffer = io.BytesIO()
        # Made first: an unknown encoding or newline is refused before any transfer.
        with io.TextIOWrapper(buffer, encoding=encoding or "utf-8", errors=errors, newline=newline) as reader:
            buffer.write(read_whole(self))
            buffer.seek(0)
            return reader.read()

    @operation
    def write_bytes(self, data: Any) -> int:
        """Replace the file with *data* (bytes-like), making missing folders;
        the number of bytes.  Confirmed by ``SIZE``."""
        view = memoryview(data)
        with self.open("wb") as writer:
            writer.write(view)
        return view.nbytes

    @operation
    def write_text(self, data: str, encoding: str | None = None, errors: str | None = None,
                   newline: str | None = None) -> int:
        """Replace the file with *data* encoded (UTF-8 unless *encoding* says
        otherwise; ``"\\n"`` written as *newline*, as `open` does); the
        number of characters."""
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        with self.open("w", encoding=encoding, errors=errors, newline=newline) as writer:
            written: int = writer.write(data)
        return written

    @operation
    def unlink(self, missing_ok: bool = False) -> None:
        """Remove the file or link (``DELE``).  FileNotFoundError if nothing is
        there (unless *missing_ok*), IsADirectoryError for a directory."""
        where = command_text(self)
        try:
            self.client.delete(where)
        except ftplib.error_perm as exc:
            self._valid_reset()
            if not_understood(exc):
                raise
            try:
                kind = self._info(exact=False).kind
            except FileNotFoundError:
                if missing_ok:
                    return
                raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
            if kind == "dir":
                raise IsADirectoryError(f"'{self.path}' is a directory.") from exc
            raise PermissionError(f"'{self.path}' cannot be removed: {exc}") from exc

    @operation
    def touch(self, exist_ok: bool = True) -> None:
        """Make the file, empty, where nothing is; an existing one keeps its
        bytes and gets the time now where the server sets times (``MFMT``),
        else is left as it was.  FileExistsError when something is there and
        not *exist_ok*; the folder is not made (FileNotFoundError)."""
        where = command_text(self)
        client = self.client
        if not exist_ok:
            if self.exists:
                raise FileExistsError(f"'{self.path}' exists.")
        elif not hasattr(client, NO_MFMT):
            try:
                if set_time(client, where, time.time()):
                    return
            except ftplib.error_perm:
                self._valid_reset()  # nothing there, say: made below
        # Appending nothing makes a missing file and leaves one that is
        # there (or came meanwhile) as it was, where STOR would empty it.
        try:
            client, conn = open_data(self, "APPE " + where)
        except ftplib.error_perm as exc:
            if not not_understood(exc):
                raise why_not_written(self, exc) from exc
            # No APPE (Twisted): an empty STOR, only where nothing is.
            if self.exists:
                return
            try:
                client, conn = open_data(self, "STOR " + where)
            except ftplib.error_perm as refused:
                raise why_not_written(self, refused) from refused
        finish(client, conn)
        name = self.path.name
        if name != name.strip():
            # Some servers (Pure-FTPd) store a name with blanks at its ends
            # under another name and say nothing: ask for it by its own.
            try:
                client.sendcmd("SIZE " + where)
            except ftplib.error_perm as exc:
                self._valid_reset()
                if not not_understood(exc):
                    raise FileNotFoundError(
                        f"the server took '{self.path}' but has nothing by that name: it changed"
                        " the name (blanks at either end?)") from exc
