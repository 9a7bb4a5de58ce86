"""The files of `dravlen.ftp.filesystem.fs`, and the transfers under them:
one ``RETR`` from a given byte (``REST`` only when that byte is not the
first), read on as long as the reader moves forward; one ``STOR`` per file,
its folder made only where the server refuses the name for want of it;
one ``APPE`` per file appended to, confirmed by the size it had plus the
bytes sent.  A file written with ``autocommit=False`` (in a transaction) is
stored under a temporary name beside its own (`dravlen.whole.temporary_name`),
renamed on `FTPFile.commit` and removed on `FTPFile.discard`."""

from __future__ import annotations

import ftplib
from contextlib import AbstractContextManager, contextmanager
from typing import Any, Iterator, Protocol

from fsspec.callbacks import DEFAULT_CALLBACK
from fsspec.spec import AbstractBufferedFile

from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.replies import IncompleteTransfer, operation
from dravlen.ftp.filesystem.gate import Gate, Lease
from dravlen.ftp.remote import RemotePath
from dravlen.ftp.wire.resync import in_step
from dravlen.ftp.wire.streams import Download, Upload
from dravlen.ftp.wire.client import ask_passive
from dravlen.ftp.wire.client import transfer
from dravlen.ftp.wire.transfer import confirm_size, open_data, open_upload, why_not_read, why_not_written
from dravlen.whole import temporary_name

__all__ = ["BLOCK", "FTPFile", "Range", "RestRefused", "naming_server", "open_append", "open_range",
           "open_store", "read_exactly", "read_rest"]

_SKIP = 1 << 16  # a jump forward this short reads on instead of a new RETR
BLOCK = 1 << 20


class RestRefused(OSError):
    """The server refuses ``REST``: a file cannot be read from a given byte."""


class Range(Download):
    """A ``RETR`` from byte *offset*; at its end, the bytes before the offset
    and those read make the file's size."""

    def __init__(self, path: Any, client: ftplib.FTP, conn: Any, offset: int, size: int | None) -> None:
        super().__init__(path, client, conn)
        self.offset = offset
        self.size = size

    def _end(self) -> None:
        self._ended = True
        self._close_conn()
        try:
            self._client.voidresp()
            total = self.offset + self.moved
            if self.size is None:
                confirm_size(self._path, self._client, total, self._where)
            elif total != self.size:
                raise IncompleteTransfer(f"'{self._path.path}': the transfer ended at byte {total}"
                                         f" of {self.size}")
        except ftplib.Error:
            if self._owned_here():
                self._path._valid_reset()
            raise


    def _give_up(self) -> None:
        # A range read stops here on purpose: the server's closing reply is
        # certain to come, so it is waited for as long as any reply (the
        # recovery after an error waits only a moment, and would log in
        # again whenever a round trip is longer).
        if self._ended or not self._owned_here():
            super()._give_up()
            return
        self._ended = True
        self._close_conn()
        wait = self._client.timeout if isinstance(self._client.timeout, (int, float)) else 60.0
        if not in_step(self._client, _Cut(), wait):
            self._path._drop_client()


class _Cut(Exception):
    """A transfer closed before its end on purpose."""


def open_range(path: RemotePath, offset: int, size: int | None) -> Range:
    """A `Range` of *path* from *offset* (``REST`` only when it is not 0):
    ``TYPE I``, ``PASV`` and ``REST`` in one round trip (``REST`` last, so
    that only the data connection comes between it and ``RETR``), ``RETR``
    in one more."""
    where = command_text(path)
    client = path.client
    answers, address = ask_passive(client, [], after=(f"REST {offset}",) if offset else ())
    if offset:
        _refused_rest(path, offset, answers[0])
    try:
        conn = transfer(path, client, address, "RETR " + where)
    except ftplib.error_perm as exc:
        raise why_not_read(path, exc) from exc
    return Range(path, client, conn, offset, size)


def _refused_rest(path: RemotePath, offset: int, reply: Any) -> None:
    if isinstance(reply, ftplib.error_perm):
        raise RestRefused(f"the server refuses REST, so '{path.path}' cannot be read from"
                          f" byte {offset}: {reply}") from reply
    if isinstance(reply, BaseException):
        raise reply


def read_exactly(stream: Range, length: int) -> bytes:
    # Grown with what arrives: the length may come from a size the server claims.
    buffer = bytearray(min(length, BLOCK))
    got = 0
    while got < length:
        if got == len(buffer):
            buffer += bytes(min(len(buffer), length - got))
        with memoryview(buffer) as view:
            n = stream.readinto(view[got:])
        if not n:
            break
        got += n
    if got < length and (stream.size is None or stream.offset + stream.moved < stream.size):
        raise IncompleteTransfer(f"'{stream._path.path}': the transfer ended after {got} of {length} bytes")
    return bytes(buffer[:got])


def read_rest(stream: Range, sink: Any, callback: Any = DEFAULT_CALLBACK) -> None:
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    while got := stream.readinto(view):
        sink.write(view[:got])
        callback.relative_update(got)


@operation
def open_store(path: RemotePath) -> Upload:
    """One ``STOR`` of *path*; its folder is made only when the server
    refuses the name and the folder is missing."""
    client, conn = open_upload(path)
    return Upload(path, client, conn)


@operation
def open_append(path: RemotePath) -> Upload:
    """``APPE`` to *path* (which it makes where it is missing), after its
    size: closing it confirms that the server's size is that one plus the
    bytes sent (a writer that appended meanwhile makes it fail: the file is
    not what this one made).  Only the opening is tried again: once bytes
    went, an append is never repeated."""
    try:
        offset = path.size
    except FileNotFoundError:
        offset = 0  # APPE makes it
    try:
        client, conn = open_data(path, "APPE " + command_text(path))
    except ftplib.error_perm as exc:
        raise why_not_written(path, exc) from exc
    return Upload(path, client, conn, start=offset)


def naming_server(exc: BaseException, where: str) -> BaseException:
    """*exc* with the server named in its text (kept as it is if it names it)."""
    text = str(exc)
    if where in text:
        return exc
    try:
        new = type(exc)(f"{where}: {text}")
    except Exception:
        exc.add_note(f"on {where}")
        return exc
    new.__cause__ = exc.__cause__ or exc
    return new


class _FileSystem(Protocol):
    """What a file uses of its `FTPFileSystem`."""

    where: str
    _gate: Gate
    _probe: RemotePath
    _timeout: float

    def _path(self, path: Any) -> RemotePath: ...

    def _on_server(self) -> AbstractContextManager[None]: ...

    def info(self, path: Any, **kwargs: Any) -> dict[str, Any]: ...

    def size(self, path: Any) -> int | None: ...


class FTPFile(AbstractBufferedFile):  # type: ignore[misc]
    """A file of an `FTPFileSystem`: one ``RETR`` read forward from where it
    is asked for, or one ``STOR`` (``APPE`` for ``"ab"``) confirmed on close.
    Written with ``autocommit=False``, it is stored under a temporary name
    and takes its own on `commit`."""

    DEFAULT_BLOCK_SIZE = 1 << 20

    def __init__(self, fs: _FileSystem, path: str, mode: str = "rb", **kwargs: Any) -> None:
        self._rpath = fs._path(path)
        self._target: RemotePath | None = None  # the name a deferred write takes on commit
        if mode != "rb" and not kwargs.get("autocommit", True):
            if mode == "ab":
                raise ValueError(f"{fs.where}: '{path}' cannot be appended to with autocommit=False (in a"
                                 " transaction): an append goes to the file itself, not to a copy")
            self._target = self._rpath
            name = self._rpath.path
            self._rpath = type(self._rpath)(name.with_name(temporary_name(name.name)).as_posix())
        self._lease = Lease(fs._gate, fs._probe, fs._timeout)
        self._stream: Range | None = None
        self._at = 0
        self._upload: Upload | None = None
        if mode == "rb" and kwargs.get("size") is None:
            info = fs.info(path)
            if info["type"] == "directory":
                raise IsADirectoryError(f"{fs.where}: '{path}' is a directory")
            kwargs["size"] = info["size"] if info["size"] is not None else fs.size(path)
        kwargs.setdefault("cache_type", "readahead")
        super().__init__(fs, path, mode, **kwargs)

    @contextmanager
    def _bound(self) -> Iterator[None]:
        try:
            with self._lease.bound():
                yield
        except (OSError, EOFError, ftplib.Error, ValueError) as exc:
            raise naming_server(exc, self.fs.where) from None

    def _fetch_range(self, start: int, end: int) -> bytes:
        end = min(end, self.size)
        if start >= end:
            return b""
        with self._bound():
            stream = self._stream
            if stream is not None and self._at != start:
                if 0 < start - self._at <= _SKIP:
                    read_exactly(stream, start - self._at)
                    self._at = start
                else:
                    self._stream = None
                    stream.close()
            if self._stream is None:
                self._stream, self._at = open_range(self._rpath, start, self.size), start
            data = read_exactly(self._stream, end - start)
            self._at = end
            if end == self.size:
                # Read to its end: the closing reply confirms it.
                stream, self._stream = self._stream, None
                stream.readinto(bytearray(1))
                stream.close()
        if self._stream is None:
            # No transfer open: the client goes back to the gate, so that a
            # file read whole but never closed (pandas leaves those) holds none.
            self._lease.give_back()
        return data

    def _initiate_upload(self) -> None:
        with self._bound():
            self._upload = open_append(self._rpath) if self.mode == "ab" else open_store(self._rpath)

    def _upload_chunk(self, final: bool = False) -> bool:
        assert self._upload is not None
        with self._bound():
            self._upload.write(self.buffer.getvalue())
            if final:
                upload, self._upload = self._upload, None
                upload.close()
        if final:
            self._lease.give_back()
        return True

    def discard(self) -> None:
        """Give up: a write is cut (the server does not keep it as whole),
        and a deferred one's temporary file removed."""
        if self._upload is not None:
            with self._lease.bound():
                upload, self._upload = self._upload, None
                upload.abort()
                upload.close()
        self._release()
        self.closed = True
        if self._target is not None:
            with self.fs._on_server():
                self._rpath.unlink(missing_ok=True)

    def commit(self) -> None:
        """Give a deferred write (``autocommit=False``) its name: the file,
        written whole under a temporary name, is renamed over the old one
        (where the server refuses to rename over a file, the old one is
        deleted first).  For ``"xb"``, FileExistsError where the name was
        taken meanwhile; the temporary file is then removed."""
        if self._target is None:
            return  # written in place already
        self.close()
        temporary, target = self._rpath, self._target
        with self.fs._on_server():
            try:
                temporary.rename(target)
            except FileExistsError:
                if self.mode == "xb":
                    temporary.unlink(missing_ok=True)
                    raise
                target.unlink()
                temporary.rename(target)
        self.fs.invalidate_cache(self.path)

    def _release(self) -> None:
        stream, self._stream = self._stream, None
        if stream is not None:
            with self._lease.bound():
                stream.close()
        self._lease.give_back()

    def close(self) -> None:
        if self.closed:
            return
        try:
            super().close()
        finally:
            self._release()

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if kind is not None and self.mode != "rb" and not self.closed:
            self.discard()
            if self._target is None:
                exc.add_note(f"'{self.path}' on {self.fs.where} was left partly written")
            return
        self.close()
