"""`RemotePath`: the FTP path class that users import.

It is `dravlen.ftp.path.FTPPath` (the compiled core: ``exists``, ``is_dir()``,
``mtime``, ``read()``, ``write()``, ``upload()``, ``glob()``, ``mkdir()``,
``delete()``) plus the everyday work built beside it in Python: streaming
(`open`, `download`), metadata (`info`, `size`, `iterdir`), `rename`, and
walking (`walk`, `rglob`, `find`).  It shares the core's per-thread clients,
``retry`` and resynchronisation, and never changes what the core's members
do.  Like `FTPPath` it talks to the server of the configuration section
``[ftp]``; `dravlen.ftp.server` hands out subclasses bound to other servers.
"""

from __future__ import annotations

import fnmatch
import ftplib
import io
import os
from collections.abc import Callable, Iterator
from dataclasses import replace
from pathlib import PurePosixPath
from typing import IO, TYPE_CHECKING, Any, Literal, overload

from dravlen.base import LOST_CONNECTION, BasePath, replaying
from dravlen.ftp import copies
from dravlen.ftp.everyday import Everyday, Stat
from dravlen.ftp.path import FTPPath
from dravlen.ftp.wire.checksums import (
    ChecksumMismatch,
    ChecksumUnavailable,
    remote_hash,
)
from dravlen.ftp.wire.dialects import NO_MLST
from dravlen.ftp.wire.listing import Entry, list_dir, parse_mlst
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.rate import RateLimit
from dravlen.ftp.wire.replies import IncompleteTransfer, not_understood, operation
from dravlen.ftp.wire.streams import BufferedUpload, Download, TextUpload, Upload
from dravlen.ftp.wire.times import server_time
from dravlen.ftp.wire.transfer import (
    open_data,
    open_upload,
    size_told,
    why_not_read,
)

if TYPE_CHECKING:
    from dravlen.ftp import tree

__all__ = ["ChecksumMismatch", "ChecksumUnavailable", "Entry", "IncompleteTransfer", "RemotePath", "RenameUncertain",
           "Stat"]

# A walk deeper than this is taken for a loop of links that the server shows
# as directories without telling their identity.
MAX_DEPTH = 200



_from_parts: Any = getattr(PurePosixPath, "_from_parsed_parts", None)


class RenameUncertain(OSError):
    """The connection was lost after the new name was sent: the server may
    or may not have renamed the entry."""


class RemotePath(Everyday, FTPPath):
    """A path on an FTP server: the core's members and the everyday ones
    (pathlib's names among them, from `dravlen.ftp.everyday`)."""

    # -- metadata ----------------------------------------------------------

    def info(self) -> Entry:
        """Kind, size and modification time (aware, UTC) of the path.

        One ``MLST`` where the server has it (whose kind is the server's:
        some report where a link points, some the link); elsewhere the entry
        of the path's line in its parent's one listing, and for a file its
        exact time (``MDTM``: a listing tells the minute).
        FileNotFoundError if there is nothing.
        """
        return self._info(exact=True)

    @operation
    def _info(self, exact: bool) -> Entry:
        """`info`; with *exact* false, a listing's time stays as listed
        (to the minute, as `iterdir` gives it)."""
        where = command_text(self)
        name = self.path.name
        client = self.client
        if not hasattr(client, NO_MLST):
            try:
                reply = client.sendcmd("MLST " + where)
            except ftplib.error_perm as exc:
                self._valid_reset()
                if not not_understood(exc):
                    raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
                setattr(self.client, NO_MLST, True)
            else:
                for line in reply.split("\n")[1:]:
                    if line.startswith(" "):
                        entry = parse_mlst(line[1:], name or where)
                        if entry is not None:
                            return entry
                        break
        if name in ("", ".", ".."):  # no line of its own in a listing
            if self.is_dir():
                return Entry(name or where, "dir", None, None)
            raise FileNotFoundError(f"'{self.path}' does not exist.")
        try:
            siblings = list_dir(self.parent)
        except (FileNotFoundError, NotADirectoryError) as exc:
            raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
        for entry in siblings:
            if entry.name == name:
                if exact and entry.kind == "file" and not entry.exact:
                    # A LIST time tells the minute at best: the exact one is asked.
                    when = server_time(self.client, where)
                    if when is not None:
                        entry = replace(entry, mtime=when, precision=1, zone_slack=0)
                return entry
        raise FileNotFoundError(f"'{self.path}' does not exist.")

    @property
    def size(self) -> int:
        """The size of the file in bytes (`info`, or ``SIZE`` where it does
        not tell); IsADirectoryError for a directory."""
        entry = self._info(exact=False)
        if entry.kind == "dir":
            raise IsADirectoryError(f"'{self.path}' is a directory.")
        if entry.size is not None:
            return entry.size
        return self._size_command()

    @operation
    def _size_command(self) -> int:
        where = command_text(self)
        client = self.client
        client.voidcmd("TYPE I")
        try:
            reply = client.sendcmd("SIZE " + where)
        except ftplib.error_perm as exc:
            self._valid_reset()
            raise FileNotFoundError(f"'{self.path}' has no size the server tells: {exc}") from exc
        return size_told(reply)

    @overload
    def iterdir(self, detail: Literal[False] = ...) -> Iterator[RemotePath]: ...
    @overload
    def iterdir(self, detail: Literal[True]) -> Iterator[tuple[RemotePath, Entry]]: ...

    def iterdir(self, detail: bool = False) -> Iterator[Any]:
        """The entries of the directory, from one ``MLSD`` or ``LIST``: path
        objects, or with *detail* ``(path, Entry)`` pairs (kind, size, time)."""
        entries = list_dir(self)  # listed now, so that errors show at the call
        return ((self._child(e.name), e) if detail else self._child(e.name) for e in entries)

    def _child(self, name: str) -> RemotePath:
        # A listed name holds no "/" and is no "." or "..": it needs none of
        # the parsing that join() does for any text, which costs more than
        # reading its listing line.  pathlib's parts are used where this
        # Python has them as 3.11 does, else the path is joined.
        path = self.path
        try:
            child = _from_parts(path._drv, path._root, path._parts + [name])  # type: ignore[attr-defined]
        except (AttributeError, TypeError):
            child = path / name
        return type(self)(child)

    # -- streaming ---------------------------------------------------------

    @overload
    def open(self, mode: Literal["rb"] = ...) -> io.BufferedReader: ...
    @overload
    def open(self, mode: Literal["wb"]) -> io.BufferedWriter: ...
    @overload
    def open(self, mode: Literal["r", "w", "rt", "wt"], *, encoding: str | None = ...,
             errors: str | None = ..., newline: str | None = ...) -> io.TextIOWrapper: ...
    @overload
    def open(self, mode: str, *, encoding: str | None = ..., errors: str | None = ...,
             newline: str | None = ...) -> IO[Any]: ...

    def open(self, mode: str = "rb", *, encoding: str | None = None, errors: str | None = None,
             newline: str | None = None) -> IO[Any]:
        """A file object streaming the remote file: ``"rb"``/``"r"`` read it
        (``RETR``), ``"wb"``/``"w"`` replace it (``STOR`` at once; where the
        server refuses it for a missing folder, the folders are made and
        ``STOR`` sent again), in constant memory.

        A reader read to its end checks the server's ``SIZE``; closed before,
        it abandons the transfer and leaves the client in step.  A writer
        checks ``SIZE`` on close; left by an exception in a ``with`` block it
        cuts the upload, and the exception notes the partly written file.
        Until it is closed, the thread's client is busy with this transfer.
        """
        if not isinstance(mode, str):
            raise TypeError(f"mode must be a str, not {type(mode).__name__}")
        kind = mode.replace("t", "") if "b" not in mode else mode
        if kind not in ("rb", "wb", "r", "w"):
            raise ValueError(f"mode {mode!r} is not one of 'rb', 'wb', 'r', 'w'")
        if "b" in mode and (encoding is not None or errors is not None or newline is not None):
            raise ValueError("binary mode takes no encoding, errors or newline")
        if kind in ("rb", "r"):
            reader = io.BufferedReader(self._download())
            if kind == "rb":
                return reader
            return io.TextIOWrapper(reader, encoding=encoding or "utf-8", errors=errors, newline=newline)
        writer = BufferedUpload(self._upload())
        if kind == "wb":
            return writer
        return TextUpload(writer, encoding=encoding or "utf-8", errors=errors, newline=newline)

    def _reader(self) -> Download:
        where = command_text(self)
        try:
            client, conn = open_data(self, "RETR " + where)
        except ftplib.error_perm as exc:
            raise why_not_read(self, exc) from exc
        return Download(self, client, conn)

    _download = operation(_reader)

    @operation
    def _upload(self) -> Upload:
        client, conn = open_upload(self)
        return Upload(self, client, conn)

    def download(self, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None = None,
                 *, keep_time: bool = False, sized: Callable[[int | None], object] | None = None,
                 resume: bool = False, max_rate: int | str | RateLimit | None = None,
                 verify: str = "size", segments: int | None = None) -> int:
        """Copy the remote file to *local_path*; its size in bytes.

        The bytes go to a temporary file beside *local_path*, which takes its
        name only once the transfer ended and the server's ``SIZE`` agreed.
        A try that fails on the way (a lost connection, a 4xx, a short
        transfer) is tried again from where it got to (``REST``), the bytes
        written so far kept.  On a failure that ends the call the temporary
        file is removed and an existing *local_path* is left as it was.

        With *resume*, the temporary file has one name (`partial_name`,
        ``.NAME.dravlen-part``), kept when the call fails, and a later call
        with *resume* continues it where it ended, as ``curl -C -`` and
        ``lftp get -c`` do: sizes alone are compared and the partial file
        is taken for the start of the server's file.  It is started again
        from zero (and a warning names the path and the server) where the
        server tells no size, its file is shorter than the partial one or
        dated after it was last written (``MDTM``), or it refuses ``REST``.
        Unlike curl and lftp, a file of *local_path*'s own name is never
        taken for a partial one: it may be an older whole copy, and what
        was appended to it would be neither; it is replaced once the new
        copy is whole.  A partial file is locked while it is written
        (`dravlen.whole.Busy` where another call holds it).

        *progress* is called with the number of bytes of each block as it
        arrives (and, where a try starts at another byte than the last one
        ended, with the difference: the bytes a partial file held already,
        or minus those dropped to start again), *sized* once before the
        first with the size the server told (None where it told none).
        With *keep_time*, the file gets the server's modification time.
        *max_rate* (bytes a second, or text such as ``"2M"``) overrides the
        server's ``max_rate`` for this call.
        *segments*: how many connections move the file at once, each a
        ``REST`` and ``RETR`` of its own part written in place
        (`dravlen.ftp.tree.segments`); None takes its ``AUTO_SEGMENTS`` for
        a file whose ``SIZE`` tells `copies.SEGMENTED_FROM` bytes or more, 1 forces
        one.  A server that refuses ``REST`` gets one connection (a log
        record says so), and so do a file whose size the server does not
        tell and one continued with *resume*.
        With *verify* ``"hash"``, the bytes are hashed as they are written
        and must also match the server's hash of the file (`checksum`, the
        strongest it has): `ChecksumMismatch` where they do not, and
        nothing is kept (nor a partial file); a server with no hash keeps
        the size rule.

        No probe comes first: ``TYPE I``, ``SIZE``, ``MDTM`` and ``PASV`` go
        together, then ``RETR`` (``REST``, where it continues a file, in
        one more round trip); only a refused ``RETR`` asks what the path is.
        """
        return copies.download(self, local_path, progress, keep_time, sized, resume, max_rate, verify, segments)

    def checksum(self, algorithm: str | None = None) -> tuple[str, str]:
        """The server's hash of the file: ``(algorithm, hexdigest)``, the
        digest in lower case.  *algorithm* is one of ``"SHA-256"``,
        ``"SHA-512"``, ``"SHA-1"``, ``"MD5"``, ``"CRC32"`` (case and dashes
        aside); None takes the strongest the server has.  Asked with ``HASH``
        or the older ``XSHA256`` and kin, whichever its ``FEAT`` announces;
        `ChecksumUnavailable` where it announces neither, or not that
        algorithm."""
        chosen, hexdigest = self._checksum(algorithm)
        return chosen.name, hexdigest

    _checksum = operation(remote_hash)

    def upload_from(self, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None = None,
                    *, resume: bool = False, max_rate: int | str | RateLimit | None = None) -> int:
        """Copy the local file *local_path* to this path; its size in bytes.

        ``STOR`` at once (where the server refuses it for a missing folder,
        the folders are made and ``STOR`` sent again), then the server's
        ``SIZE`` must be the local size.  A try that fails on the way is
        tried again from where the server's copy ended: its ``SIZE``, then
        ``REST`` and ``STOR`` where the server's ``FEAT`` offers ``REST
        STREAM``, else (or where it refuses them) ``APPE``; a server that
        takes neither gets the whole file again.

        With *resume*, the first try does the same with a file already on
        the server, as ``lftp put -c`` does: sizes alone are compared and
        the server's file is taken for the start of the local one (one of
        the same size is taken as whole, and nothing is sent).  One larger
        than the local file is never continued: the file is sent whole, and
        a warning names the path and the server.  *progress* and *max_rate*
        as for `download`.  The core's ``upload`` is unchanged.
        """
        return copies.upload_from(self, local_path, progress, resume, max_rate)

    # -- rename ------------------------------------------------------------

    def rename(self, target: str | os.PathLike[str] | RemotePath) -> RemotePath:
        """Rename the entry to *target* on the same server (``RNFR``,
        ``RNTO``); the new path object.

        FileNotFoundError when there is nothing to rename; when the server
        refuses the new name, FileExistsError if something is there,
        FileNotFoundError if its folder is missing, else PermissionError
        with the server's reply.
        """
        if isinstance(target, BasePath) and type(target) is not type(self):
            raise TypeError(f"cannot rename '{self.path}' to {target!r}: another server's path")
        new = type(self)(target)
        return self._rename(new)

    @operation
    def _rename(self, new: RemotePath) -> RemotePath:
        source, destination = command_text(self), command_text(new)
        client = self.client
        try:
            client.sendcmd("RNFR " + source)
        except ftplib.error_perm as exc:
            self._valid_reset()
            if not self.exists:
                if replaying() and new.exists:
                    return new  # renamed by the try whose reply was lost
                raise FileNotFoundError(f"'{self.path}' does not exist: {exc}") from exc
            raise PermissionError(f"cannot rename '{self.path}': {exc}") from exc
        try:
            client.voidcmd("RNTO " + destination)
        except (ftplib.error_perm, ftplib.error_temp) as exc:
            # Pure-FTPd refuses a new name with 451: no retry renames it.
            self._valid_reset()
            # Some servers (busybox) take any RNFR, and refuse the RNTO of a
            # missing path in the words of any other refusal.
            if not self.exists:
                if replaying() and new.exists:
                    return new  # renamed by the try whose reply was lost
                raise FileNotFoundError(f"'{self.path}' does not exist: {exc}") from exc
            if new.exists:
                raise FileExistsError(
                    f"cannot rename '{self.path}' to '{new.path}': it exists ({exc})") from exc
            if not new.parent.exists:
                raise FileNotFoundError(
                    f"cannot rename '{self.path}' to '{new.path}': '{new.parent.path}' does not exist"
                ) from exc
            raise PermissionError(f"cannot rename '{self.path}' to '{new.path}': {exc}") from exc
        except LOST_CONNECTION as exc:
            self._drop_client()
            raise RenameUncertain(
                f"the connection was lost after asking to rename '{self.path}' to '{new.path}';"
                " whether it was renamed is unknown") from exc
        if new.name != new.name.strip() and not new.exists:
            # Some servers (Pure-FTPd) turn a blank that ends a new
            # name into '_' and report success all the same.
            raise FileNotFoundError(
                f"the server renamed '{self.path}' but nothing is at '{new.path}': it changed the"
                " new name (blanks at either end?)")
        return new

    # -- walking -----------------------------------------------------------

    def _own_identity(self, entries: list[Entry]) -> str | None:
        # Servers that tell identities (MLSD "unique") tell the top's too.
        if any(e.unique for e in entries):
            try:
                return self._info(exact=False).unique
            except FileNotFoundError:
                return None
        return None

    def walk(self, top_down: bool = True, on_error: Callable[[OSError], None] | None = None,
             detail: bool = False) -> Iterator[tuple[RemotePath, list[Any], list[Any]]]:
        """``(directory, dirnames, filenames)`` for the directory and every
        directory below it, from one listing each, like `os.walk`.

        Links (and other entries that are no directory) are among the
        filenames and never followed; where a server shows a link as a
        directory, one leading back to a directory being walked is left out.
        Top-down, pruning *dirnames* in place prunes the walk.  With *detail*
        the lists hold `Entry` objects instead of names.  Listing errors are
        raised, or passed to *on_error* and the directory skipped.
        """
        try:
            entries = list_dir(self)
        except OSError as exc:
            if on_error is None:
                raise
            on_error(exc)
            return
        top = self._own_identity(entries)
        yield from self._walk(entries, top_down, on_error, detail, [top] if top else [], 0)

    def _walk(self, entries: list[Entry], top_down: bool, on_error: Callable[[OSError], None] | None,
              detail: bool, ancestors: list[str], depth: int
              ) -> Iterator[tuple[RemotePath, list[Any], list[Any]]]:
        if depth > MAX_DEPTH:
            raise OSError(f"'{self.path}' is more than {MAX_DEPTH} directories deep: a loop of links?")
        dirs = [e for e in entries if e.kind == "dir" and not (e.unique and e.unique in ancestors)]
        files = [e for e in entries if e.kind != "dir"]
        dir_items: list[Any] = dirs if detail else [e.name for e in dirs]
        file_items: list[Any] = files if detail else [e.name for e in files]
        if top_down:
            yield self, dir_items, file_items
        by_name = {e.name: e for e in dirs}
        for item in dir_items:
            entry = item if detail else by_name.get(item)
            if entry is None:
                continue
            child = self.join(entry.name)
            try:
                below = list_dir(child)
            except OSError as exc:
                if on_error is None:
                    raise
                on_error(exc)
                continue
            inner = ancestors + [entry.unique] if entry.unique else ancestors
            yield from child._walk(below, top_down, on_error, detail, inner, depth + 1)
        if not top_down:
            yield self, dir_items, file_items

    def rglob(self, pattern: str) -> Iterator[RemotePath]:
        """The entries matching *pattern* in this directory and every one
        below it (`find` of ``"**/" + pattern``)."""
        return self.find("**/" + pattern)

    def find(self, pattern: str) -> Iterator[RemotePath]:
        """The entries below this directory whose relative path matches
        *pattern*: ``/``-separated `fnmatch` patterns, where ``**`` stands for
        any number of directories (``"data/**/*.csv"``); one listing per
        directory visited, links never followed."""
        if not isinstance(pattern, str):
            raise TypeError(f"pattern must be a str, not {type(pattern).__name__}")
        if pattern.startswith("/"):
            raise ValueError(f"pattern {pattern!r} must be relative")
        parts = [part for part in pattern.split("/") if part not in ("", ".")]
        if not parts:
            raise ValueError(f"pattern {pattern!r} matches nothing below '{self.path}'")
        cache: dict[PurePosixPath, list[Entry]] = {}
        top = self._own_identity(self._listing(cache))
        seen: set[PurePosixPath] = set()
        for found in self._find(parts, cache, [top] if top else [], 0):
            if found.path not in seen:
                seen.add(found.path)
                yield found

    def _listing(self, cache: dict[PurePosixPath, list[Entry]]) -> list[Entry]:
        entries = cache.get(self.path)
        if entries is None:
            entries = cache[self.path] = list_dir(self)
        return entries

    def _find(self, parts: list[str], cache: dict[PurePosixPath, list[Entry]],
              ancestors: list[str], depth: int) -> Iterator[RemotePath]:
        if depth > MAX_DEPTH:
            raise OSError(f"'{self.path}' is more than {MAX_DEPTH} directories deep: a loop of links?")
        head, rest = parts[0], parts[1:]
        entries = self._listing(cache)
        if head == "**":
            if rest:
                yield from self._find(rest, cache, ancestors, depth)
            else:
                yield self
            for entry in entries:
                if entry.kind == "dir" and not (entry.unique and entry.unique in ancestors):
                    inner = ancestors + [entry.unique] if entry.unique else ancestors
                    yield from self.join(entry.name)._find(parts, cache, inner, depth + 1)
            return
        for entry in entries:
            if not fnmatch.fnmatchcase(entry.name, head):
                continue
            child = self.join(entry.name)
            if not rest:
                yield child
            elif entry.kind == "dir" and not (entry.unique and entry.unique in ancestors):
                inner = ancestors + [entry.unique] if entry.unique else ancestors
                yield from child._find(rest, cache, inner, depth + 1)

    # -- whole trees (dravlen.ftp.tree) --------------------------------------

    def upload_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None,
                    temporary_names: bool = False, resume: bool = False,
                    max_rate: int | str | RateLimit | None = None, verify: str = "size") -> tree.Outcome:
        """Make this path the copy of the local file or tree *local* over
        *connections* connections, skipping files already here; see
        `dravlen.ftp.tree.upload_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.upload_tree(local, self, connections=connections, progress=progress,
                                temporary_names=temporary_names, resume=resume, max_rate=max_rate, verify=verify)

    def download_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                      progress: Callable[[tree.Progress], object] | None = None, resume: bool = False,
                      max_rate: int | str | RateLimit | None = None, verify: str = "size") -> tree.Outcome:
        """Make *local* the copy of this file or tree over *connections*
        connections, skipping files already there; see `dravlen.ftp.tree.download_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.download_tree(self, local, connections=connections, progress=progress, resume=resume,
                                  max_rate=max_rate, verify=verify)

    def remove_tree(self, *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None) -> tree.Outcome:
        """Remove this file, link or tree over *connections* connections, links
        as links; see `dravlen.ftp.tree.remove_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.remove_tree(self, connections=connections, progress=progress)
