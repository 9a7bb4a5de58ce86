"""dravlen's FTP and FTPS as an fsspec filesystem, for pandas, pyarrow, Dask
and universal-pathlib.

    import pandas as pd
    df = pd.read_csv("ftps://alice@ftp.example.org/data/2026.csv",
                     storage_options={"password": "s3cret"})

Protocols: ``ftps`` (explicit TLS) and ``dftp`` (plain FTP); `take_over_ftp()`
makes ``ftp://`` ours too.  A path is what the server is sent: relative to
the login directory, or absolute with a leading ``/``; in a URL,
``ftp://host/data`` is ``data`` and ``ftp://host/%2Fdata`` is ``/data``.

Every call runs on a client of the server's `dravlen.ftp.filesystem.gate.Gate`: at
most ``connections`` (default 8) per server and process, shared by all
threads and filesystem objects, lowered when the server answers ``421``;
with ``cluster_connections``, at most that many across a Dask cluster.
An open file keeps its client until it is closed.  Reading a file is one
``RETR`` from the first byte asked for, read on as the reader moves
forward; only a jump elsewhere starts another, with ``REST``.  Writing a
file is one ``STOR``, confirmed by ``SIZE`` when the file is closed; left by
an exception, the upload is cut and the error says so.  Appending (``"ab"``)
is one ``APPE``, confirmed by the size the file had plus the bytes sent.
With ``autocommit=False``, as in ``with fs.transaction:``, a file is stored
under a temporary name beside its own and renamed when the transaction ends
(removed where it ends by an exception).
"""

from __future__ import annotations

import ftplib
import os
import posixpath
import re
import tempfile
import warnings
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from datetime import datetime
from typing import Any, Iterator
from urllib.parse import quote, unquote

from fsspec.callbacks import DEFAULT_CALLBACK, NoOpCallback
from fsspec.spec import AbstractFileSystem
from fsspec.utils import isfilelike, stringify_path

from dravlen.base import replaying
from dravlen.ftp import tree
from dravlen.ftp.connect import parse_url, server
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.replies import not_understood, operation
from dravlen.ftp.filesystem.files import (BLOCK, FTPFile, RestRefused, naming_server, open_range, open_store,
                                          read_exactly, read_rest)
from dravlen.ftp.filesystem.gate import gate_for, holding
from dravlen.ftp.wire.listing import Entry, list_dir
from dravlen.ftp.copies import SEGMENTED_FROM
from dravlen.ftp.remote import RemotePath
from dravlen.ftp.settings import ftp_settings
from dravlen.ftp.tree.segments import AUTO_SEGMENTS
from dravlen.ftp.tree.walk import left_out
from dravlen.whole import whole_file

__all__ = ["FTPFileSystem", "FTPSFileSystem", "PassedOver", "RestRefused", "take_over_ftp"]

_SCHEME = re.compile(r"(?i)(?:d?ftps?)(?:://|::)")
_KINDS = {"file": "file", "dir": "directory", "link": "link", "other": "other"}


class PassedOver(UserWarning):
    """Listed entries that a listing, or a folder's download, left alone:
    names that leave their folder (``../x``, ``/x``), links that cannot be
    made here, special files.  ``passed_over`` holds ``(path, why)`` for
    each, as `dravlen.ftp.tree.Outcome.passed_over` does; nothing was
    written for them, and nothing was read or removed in their name."""

    def __init__(self, message: str, passed_over: tuple[tuple[str, str], ...]) -> None:
        super().__init__(message)
        self.passed_over = passed_over


def _passed_over(where: str, folder: str, entries: tuple[tuple[str, str], ...]) -> None:
    """Warn (`PassedOver`) of what was passed over in *folder*, if anything:
    a name that leaves its folder is no entry, but not a thing to hide."""
    if not entries:
        return
    count = len(entries)
    reasons = "; ".join(sorted({why.split(": ", 1)[0] for _, why in entries}))
    warnings.warn(PassedOver(f"{where}: '{folder}': {count} listed {'entry' if count == 1 else 'entries'}"
                             f" passed over ({reasons})", entries), stacklevel=3)


def _one_folder(path: Any) -> bool:
    """Whether *path* names one path, not a list or a pattern."""
    return isinstance(path, str) and not any(char in path for char in "*?[")


def _refused(path: RemotePath, exc: ftplib.Error, what: str) -> OSError:
    """The error for a refused DELE, RMD or MKD, from what is there."""
    try:
        entry = path._info(exact=False)
    except FileNotFoundError:
        if what == "make":
            return FileNotFoundError(f"cannot make '{path.path}': its folder is missing ({exc})")
        return FileNotFoundError(f"'{path.path}' does not exist")
    if what == "make":
        return FileExistsError(f"'{path.path}' exists")
    if what == "file" and entry.kind == "dir":
        return IsADirectoryError(f"'{path.path}' is a directory")
    if what == "dir" and entry.kind != "dir":
        return NotADirectoryError(f"'{path.path}' is not a directory")
    if what == "dir":
        return OSError(f"cannot remove the folder '{path.path}' (not empty?): {exc}")
    return PermissionError(f"cannot remove '{path.path}': {exc}")


@operation
def _command(path: RemotePath, verb: str, what: str) -> None:
    where = command_text(path)
    try:
        path.client.voidcmd(f"{verb} {where}")
    except ftplib.error_perm as exc:
        path._valid_reset()
        if not_understood(exc):
            raise
        error = _refused(path, exc, what)
        if what != "make" and isinstance(error, FileNotFoundError) and replaying():
            return  # the try whose reply was lost removed it
        raise error from exc


class FTPFileSystem(AbstractFileSystem):
    """An FTP server as an fsspec filesystem (protocol ``dftp``; ``ftps``
    for `FTPSFileSystem`).

    Takes the keyword options of `dravlen.ftp.server` (``host``, ``port``,
    ``user`` or ``username``, ``password``, ``timeout``, ``pasv``,
    ``encoding``, ``tls``, ``verify``, ``cafile``, ``certfile``,
    ``keyfile``, ``proxy``, ``max_rate``: each transfer's, a tree's all
    together), ``connections``, the most this process opens to the
    server at once, and
    ``cluster_connections``, the most all the processes of the Dask cluster
    this process belongs to open to it at once (`dravlen.ftp.filesystem.gate.ClusterLimit`).
    """

    protocol: Any = ("dftp",)
    root_marker = ""
    cachable = True
    _tls = False

    def __init__(self, host: str | None = None, port: int | None = None, user: str | None = None,
                 password: str | None = None, *, username: str | None = None, timeout: float | None = None,
                 pasv: bool | None = None, encoding: str | None = None, tls: bool | str | None = None,
                 verify: bool | None = None, cafile: str | None = None, certfile: str | None = None,
                 keyfile: str | None = None, proxy: str | None = None, connections: int | None = None,
                 cluster_connections: int | None = None, max_rate: int | str | None = None,
                 **kwargs: Any) -> None:
        super().__init__(**kwargs)
        if username is not None and user is not None and username != user:
            raise ValueError(f"user={user!r} and username={username!r} differ")
        if tls is None:
            tls = self._tls
        elif self._tls and not tls:
            raise ValueError(f"{type(self).__name__} is FTP over TLS: tls=False would send the password in clear")
        for option, value in (("connections", connections), ("cluster_connections", cluster_connections)):
            if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 1):
                raise ValueError(f"{option} must be a whole number of at least 1, not {value!r}")
        self._cls = server(host=host, port=port, user=user if user is not None else username,
                           password=password, timeout=timeout, pasv=pasv, encoding=encoding, tls=tls,
                           verify=verify, cafile=cafile, certfile=certfile, keyfile=keyfile, proxy=proxy,
                           max_rate=max_rate)
        # The value server() checked and holds: nothing is read again here.
        settings = ftp_settings(self._cls._section[0])
        self.where = settings.where
        self._timeout = settings.timeout
        self._gate = gate_for(self.where, connections, cluster_connections)
        self._probe = self._cls(".")
        self._server = (settings.host.lower(), settings.port)
        # fsspec strips a URL down to its path wherever it meets one; on this
        # filesystem a URL of another server must not name a path here.
        self._strip_protocol = self._strip_here  # type: ignore[method-assign]

    def _strip_here(self, path: Any) -> Any:
        if isinstance(path, list):
            return [self._strip_here(p) for p in path]
        found = self._get_kwargs_from_urls(path)
        if found.get("host") is not None:
            there = (str(found["host"]).lower(), int(found.get("port") or 21))
            if there != self._server:
                raise ValueError(f"{stringify_path(path)!r} names another server than {self.where}")
        return type(self)._strip_protocol(path)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.where})"

    __str__ = __repr__

    # -- paths and URLs --------------------------------------------------

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = stringify_path(path)
        match = _SCHEME.match(path)
        if match and match.group().endswith("://"):
            rest = path[match.end():]
            slash = rest.find("/")
            path = unquote(rest[slash + 1:]) if slash >= 0 else ""
        elif match:
            path = path[match.end():]
        if path not in ("/", ""):
            path = path.rstrip("/") or "/"
        return "" if path in (".", "./") else path

    @staticmethod
    def _get_kwargs_from_urls(path: Any) -> dict[str, Any]:
        path = stringify_path(path)
        match = _SCHEME.match(path)
        if not match or not match.group().endswith("://"):
            return {}
        scheme = "ftps" if match.group().lower().startswith(("ftps", "dftps")) else "ftp"
        found = parse_url(scheme + path[match.end() - 3:])
        found.pop("path", None)
        if scheme == "ftp":
            found.pop("tls", None)  # the class decides (dftp, or ftp taken over)
        return found

    @classmethod
    def _parent(cls, path: Any) -> str:
        path = cls._strip_protocol(path)
        head = path.rsplit("/", 1)[0] if "/" in path else ""
        return head or ("/" if path.startswith("/") else "")

    def unstrip_protocol(self, name: str) -> str:
        scheme = "ftps" if "ftps" in self.protocol else self.protocol[0]
        text = quote(name, safe="/")
        if name.startswith("/"):
            text = "%2F" + text[1:]
        return self.where.replace("ftps://" if self.where.startswith("ftps") else "ftp://",
                                  scheme + "://", 1) + "/" + text

    def _path(self, path: Any) -> RemotePath:
        text = self._strip_protocol(path)
        return self._cls(text or ".")  # type: ignore[no-any-return]

    @contextmanager
    def _on_server(self) -> Iterator[None]:
        """Run the block on a client of the gate; errors name the server."""
        try:
            with holding(self._gate, self._probe, self._timeout):
                yield
        except (OSError, EOFError, ftplib.Error, ValueError) as exc:
            raise naming_server(exc, self.where) from None

    def close_idle(self) -> None:
        """Close this server's idle connections in this process."""
        self._gate.close_idle()

    # -- metadata --------------------------------------------------------

    def _describe(self, name: str, entry: Entry) -> dict[str, Any]:
        kind = _KINDS[entry.kind]
        info: dict[str, Any] = {
            "name": name, "size": entry.size if entry.size is not None else (0 if kind == "directory" else None),
            "type": kind, "mtime": entry.mtime, "islink": entry.kind == "link",
        }
        if entry.unique:
            info["unique"] = entry.unique
        if entry.target is not None:
            info["destination"] = entry.target
        return info

    def ls(self, path: Any, detail: bool = True, **kwargs: Any) -> list[Any]:
        name = self._strip_protocol(path)
        passed: tuple[tuple[str, str], ...] = ()
        with self._on_server():
            try:
                entries = list_dir(self._path(name))
            except NotADirectoryError:
                entries = None
            if entries is not None and entries.skipped:
                encoding = getattr(self._path(name).client, "encoding", "utf-8")
                passed = tuple((name, left_out(line, encoding)) for line in entries.skipped)
        _passed_over(self.where, name, passed)
        if entries is None:
            info = self.info(name)
            return [info] if detail else [info["name"]]
        prefix = "" if name == "" else name if name.endswith("/") else name + "/"
        out = [self._describe(prefix + e.name, e) for e in entries]
        return out if detail else [i["name"] for i in out]

    def find(self, path: Any, maxdepth: int | None = None, withdirs: bool = False, detail: bool = False,
             **kwargs: Any) -> Any:
        """As fsspec's `find`, with the folders of one level listed at once,
        each on a client of its own (as many as a tree transfer uses)."""
        if maxdepth is not None and maxdepth < 1:
            raise ValueError("maxdepth must be at least 1")
        path = self._strip_protocol(path)
        on_error = kwargs.pop("on_error", "omit")
        kwargs.pop("detail", None)

        def listed(folder: str) -> list[dict[str, Any]]:
            try:
                return self.ls(folder, detail=True, **kwargs)
            except OSError as exc:  # what fsspec's walk does with an error
                if on_error == "raise":
                    raise
                if callable(on_error):
                    on_error(exc)
                return []

        out: dict[str, Any] = {}
        if withdirs and path != "" and self.isdir(path):
            out[path] = self.info(path)
        level, depth = [path], 0
        with ThreadPoolExecutor(self._tree_connections()) as pool:
            while level:
                depth += 1
                listings = [listed(level[0])] if len(level) == 1 else list(pool.map(listed, level))
                below = []
                for top, listing in zip(level, listings):
                    for info in listing:
                        name = info["name"].rstrip("/")
                        if info["type"] == "directory" and name != top:
                            below.append(name)
                            if not withdirs:
                                continue
                        out[info["name"]] = info
                level = below if maxdepth is None or depth < maxdepth else []
        if not out and self.isfile(path):
            out[path] = {}
        names = sorted(out)
        return {name: out[name] for name in names} if detail else names

    def info(self, path: Any, **kwargs: Any) -> dict[str, Any]:
        # As ls gives it: fsspec asks info for exists, isdir, size and more,
        # where one more command per call would buy nothing.
        return self._info(path, exact=False)

    def _info(self, path: Any, exact: bool) -> dict[str, Any]:
        name = self._strip_protocol(path)
        with self._on_server():
            entry = self._path(name)._info(exact=exact)
        return self._describe(name, entry)

    def modified(self, path: Any) -> datetime:
        mtime = self._info(path, exact=True)["mtime"]
        if mtime is None:
            raise OSError(f"{self.where}: the server tells no time for '{self._strip_protocol(path)}'")
        return mtime  # type: ignore[no-any-return]

    def size(self, path: Any) -> int | None:
        name = self._strip_protocol(path)
        info = self.info(name)
        if info["size"] is None and info["type"] == "file":
            with self._on_server():
                return self._path(name).size
        return info["size"]  # type: ignore[no-any-return]

    # -- folders ---------------------------------------------------------

    def mkdir(self, path: Any, create_parents: bool = True, **kwargs: Any) -> None:
        p = self._path(path)
        with self._on_server():
            if create_parents:
                if p.exists:
                    raise FileExistsError(f"'{p.path}' exists")
                p.mkdir()
            else:
                _command(p, "MKD", "make")

    def makedirs(self, path: Any, exist_ok: bool = False) -> None:
        p = self._path(path)
        with self._on_server():
            if p.exists:
                if not exist_ok or not p.is_dir():
                    raise FileExistsError(f"'{p.path}' exists")
                return
            p.mkdir()

    def rmdir(self, path: Any) -> None:
        with self._on_server():
            _command(self._path(path), "RMD", "dir")

    def rm_file(self, path: Any) -> None:
        with self._on_server():
            _command(self._path(path), "DELE", "file")

    _rm = rm_file

    # -- whole trees: dravlen.ftp.tree, where one folder is named whole ----

    def _tree_connections(self) -> int:
        return max(1, min(self._gate.limit, 4))

    @staticmethod
    def _progress(callback: Any) -> Any:
        def report(progress: Any) -> None:
            callback.set_size(progress.files_total)
            callback.absolute_update(progress.files_done)
        return report

    def put(self, lpath: Any, rpath: Any, recursive: bool = False, callback: Any = DEFAULT_CALLBACK,
            maxdepth: int | None = None, **kwargs: Any) -> None:
        if not (recursive and maxdepth is None and not kwargs and _one_folder(lpath) and isinstance(rpath, str)
                and os.path.isdir(lpath)):
            return super().put(lpath, rpath, recursive=recursive, callback=callback, maxdepth=maxdepth, **kwargs)
        target = self._strip_protocol(rpath)
        if not lpath.endswith(("/", os.sep)) and (rpath.endswith("/") or self.isdir(target)):
            target = posixpath.join(target, os.path.basename(lpath))
        with self._on_server():
            tree.upload_tree(lpath, self._path(target), connections=self._tree_connections(),
                             progress=self._progress(callback))

    def get(self, rpath: Any, lpath: Any, recursive: bool = False, callback: Any = DEFAULT_CALLBACK,
            maxdepth: int | None = None, **kwargs: Any) -> None:
        if not (recursive and maxdepth is None and not kwargs and _one_folder(rpath) and isinstance(lpath, str)
                and self.isdir(rpath)):
            return super().get(rpath, lpath, recursive=recursive, callback=callback, maxdepth=maxdepth, **kwargs)
        target = lpath
        if not rpath.endswith("/") and (lpath.endswith(("/", os.sep)) or os.path.isdir(lpath)):
            target = os.path.join(lpath, posixpath.basename(self._strip_protocol(rpath)))
        with self._on_server():
            outcome = tree.download_tree(self._path(rpath), target, connections=self._tree_connections(),
                                         progress=self._progress(callback))
        _passed_over(self.where, self._strip_protocol(rpath), outcome.passed_over)

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        if recursive and maxdepth is None and _one_folder(path) and self.isdir(path):
            with self._on_server():
                tree.remove_tree(self._path(path), connections=self._tree_connections())
            return
        paths = self.expand_path(path, recursive=recursive, maxdepth=maxdepth)
        with self._on_server():
            for p in reversed(paths):
                try:
                    self.rm_file(p)
                except IsADirectoryError:
                    if not recursive:
                        raise
                    self.rmdir(p)

    def mv(self, path1: Any, path2: Any, recursive: bool = False, maxdepth: int | None = None,
           **kwargs: Any) -> None:
        source, target = self._path(path1), self._path(path2)
        if source.path == target.path:
            return
        with self._on_server():
            if target.exists and target.is_dir():
                target = target.join(source.name)
            source.rename(target)

    # -- bytes -----------------------------------------------------------

    def cat_file(self, path: Any, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        p = self._path(path)
        with self._on_server():
            size = None
            if (start is not None and start < 0) or (end is not None and end < 0):
                size = p.size
                start = max(0, size + start) if start is not None and start < 0 else start
                end = max(0, size + end) if end is not None and end < 0 else end
            start = start or 0
            if end is not None and end <= start:
                return b""
            stream = open_range(p, start, size)
            try:
                if end is None:
                    with tempfile.SpooledTemporaryFile(max_size=1 << 62) as sink:
                        read_rest(stream, sink)
                        sink.seek(0)
                        return sink.read()  # type: ignore[no-any-return]
                data = read_exactly(stream, end - start)
                return data
            finally:
                stream.close()

    def pipe_file(self, path: Any, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        p = self._path(path)
        with self._on_server():
            if mode == "create" and p.exists:
                raise FileExistsError(f"'{p.path}' exists")
            upload = open_store(p)
            try:
                upload.write(value)
            except BaseException:
                upload.abort()
                raise
            upload.close()

    def put_file(self, lpath: Any, rpath: Any, callback: Any = DEFAULT_CALLBACK, mode: str = "overwrite",
                 **kwargs: Any) -> None:
        if os.path.isdir(lpath):
            self.makedirs(rpath, exist_ok=True)
            return
        p = self._path(rpath)
        with open(lpath, "rb") as local, self._on_server():
            if mode == "create" and p.exists:
                raise FileExistsError(f"'{p.path}' exists")
            callback.set_size(os.fstat(local.fileno()).st_size)
            upload = open_store(p)
            try:
                while block := local.read(BLOCK):
                    upload.write(block)
                    callback.relative_update(len(block))
            except BaseException as exc:
                upload.abort()
                exc.add_note(f"'{p.path}' on {self.where} was left partly written")
                raise
            upload.close()

    def get_file(self, rpath: Any, lpath: Any, callback: Any = DEFAULT_CALLBACK, outfile: Any = None,
                 segments: int | None = None, **kwargs: Any) -> None:
        """*segments*: connections that move the file to a local *lpath* at
        once (`RemotePath.download`'s); None: several where its size, asked
        for the *callback*, is `SEGMENTED_FROM` or more and this server's
        connections allow them."""
        if outfile is None and isfilelike(lpath):
            outfile = lpath
        p = self._path(rpath)
        with self._on_server():
            size = None
            if not isinstance(callback, NoOpCallback):
                size = p.size if p._info(exact=False).kind != "dir" else None
                callback.set_size(size)
            if segments is None and size is not None and size >= SEGMENTED_FROM:
                segments = min(AUTO_SEGMENTS, self._tree_connections())
            if outfile is None and segments not in (None, 1):
                lpath = os.fspath(lpath)
                os.makedirs(os.path.dirname(os.path.abspath(lpath)), exist_ok=True)
                p.download(lpath, progress=callback.relative_update, segments=segments)
                return
            try:
                stream = open_range(p, 0, size)
            except IsADirectoryError:
                if outfile is not None:
                    raise
                os.makedirs(lpath, exist_ok=True)
                return
            try:
                if outfile is not None:
                    read_rest(stream, outfile, callback)
                    return
                lpath = os.fspath(lpath)
                os.makedirs(os.path.dirname(os.path.abspath(lpath)), exist_ok=True)
                # Whole or not at all: the bytes take the name once confirmed.
                with whole_file(lpath) as sink:
                    read_rest(stream, sink, callback)
            finally:
                stream.close()

    def cp_file(self, path1: Any, path2: Any, **kwargs: Any) -> None:
        # FTP has no copy on the server: the bytes come down and go up again,
        # one connection at a time.
        with tempfile.TemporaryFile() as spool:
            try:
                self.get_file(path1, None, outfile=spool)
            except IsADirectoryError:
                self.makedirs(path2, exist_ok=True)  # as a recursive copy expects
                return
            spool.seek(0)
            p = self._path(path2)
            with self._on_server():
                upload = open_store(p)
                try:
                    while block := spool.read(BLOCK):
                        upload.write(block)
                except BaseException:
                    upload.abort()
                    raise
                upload.close()

    def _open(self, path: Any, mode: str = "rb", block_size: Any = None, autocommit: bool = True,
              cache_options: Any = None, **kwargs: Any) -> FTPFile:
        if mode not in ("rb", "wb", "xb", "ab"):
            raise ValueError(f"{self.where}: mode {mode!r} is not one of 'rb', 'wb', 'xb', 'ab'")
        if mode == "xb" and self.exists(path):
            raise FileExistsError(f"{self.where}: '{self._strip_protocol(path)}' exists")
        return FTPFile(self, self._strip_protocol(path), mode, block_size=block_size, autocommit=autocommit,
                       cache_options=cache_options, **kwargs)


class FTPSFileSystem(FTPFileSystem):
    """`FTPFileSystem` over explicit TLS (protocol ``ftps``)."""

    protocol = ("ftps",)
    _tls = True


def take_over_ftp() -> None:
    """Make ``ftp://`` URLs ours in fsspec (and universal-pathlib, where it
    is installed) for the rest of the process."""
    import fsspec

    fsspec.register_implementation("ftp", FTPFileSystem, clobber=True)
    try:
        from upath.registry import register_implementation
    except ImportError:
        return
    register_implementation("ftp", "dravlen.ftp.filesystem.universal.FTPUPath", clobber=True)
