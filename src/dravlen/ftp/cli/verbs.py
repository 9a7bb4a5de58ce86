"""The verbs of the command line, each given its path arguments and options:
``ls``, ``stat``, ``cat``, ``get``, ``mv``, ``put``, ``rm``, ``sync`` and
``mkdir``.  Each works through the public members of `RemotePath`; whole
trees go to the tree engine (`dravlen.ftp.cli.trees`).  Of several path
arguments, each failure is reported and the others still run, as Unix tools
do."""

from __future__ import annotations

import contextlib
import ftplib
import io
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from types import ModuleType
from typing import SupportsInt, cast

from dravlen.config import ConfigError
from dravlen.ftp.cli import errors, output
from dravlen.ftp.cli.errors import Failure, Failures, Reported, Usage
from dravlen.ftp.cli.output import Bar, name_bytes, names_for_stdout, out, report
from dravlen.ftp.cli.servers import Servers, expand
from dravlen.ftp.remote import Entry, RemotePath
from dravlen.ftp.wire.listing import KIND_NAMES
from dravlen.ftp.wire.rate import RateLimit
from dravlen.urls import is_url

__all__ = ["cat", "get", "ls", "mkdir", "mv", "put", "rm", "stat", "sync"]

# Read and written a block at a time: memory stays flat whatever a file's size.
_BLOCK = 1 << 20
_MARKS = {"dir": "/", "link": "@"}


def ls(servers: Servers, paths: Sequence[str], *, long: bool, all_names: bool, human_sizes: bool,
       classify: bool) -> None:
    # Kinds, sizes and times all come from the one listing of each directory;
    # like ls, files named on the line list as themselves, first.
    files: list[tuple[RemotePath, Entry | None]] = []
    folders: list[tuple[RemotePath, list[Entry]]] = []
    arguments = _Arguments()
    for text in paths or ["."]:
        with arguments.one(text):
            for path, entry in expand(servers.path(text)):
                if entry is not None and entry.kind != "dir":
                    files.append((path, entry))
                    continue
                try:
                    listed = sorted((e for _, e in path.iterdir(detail=True)), key=lambda e: e.name)
                except FileNotFoundError:
                    raise Failure(path, "No such file or directory") from None
                except NotADirectoryError:
                    files.append((path, entry))
                    continue
                except (OSError, EOFError, ftplib.Error) as exc:
                    raise Failure(path, errors.words("list", errors.reason_of(exc))) from None
                folders.append((path, listed))
    show = names_for_stdout()  # a server's names never drive the terminal
    for path, entry in files:
        if long:
            out(_long_line(entry or path.info(), str(path), show, human_sizes))
        else:
            out(name_bytes(f"{show(str(path))}\n"))
    headed = len(files) + len(folders) > 1
    for number, (path, entries) in enumerate(folders):
        if headed:
            out(name_bytes(f"{'' if number == 0 and not files else chr(10)}{show(str(path))}:\n"))
        for entry in entries:
            if entry.name.startswith(".") and not all_names:
                continue
            if long:
                out(_long_line(entry, entry.name, show, human_sizes))
            else:
                mark = _MARKS.get(entry.kind, "") if classify else ""
                out(name_bytes(f"{show(entry.name)}{mark}\n"))
    arguments.done()


def _long_line(entry: Entry, name: str, show: Callable[[str], str], human_sizes: bool) -> bytes:
    size = "-" if entry.size is None else output.human(entry.size) if human_sizes else str(entry.size)
    when = "-" if entry.mtime is None else entry.mtime.strftime("%Y-%m-%d %H:%M:%S")
    target = "" if entry.target is None else f" -> {show(entry.target)}"
    return name_bytes(f"{entry.kind:<5} {size:>12} {when:<19} {show(name)}{target}\n")


def stat(servers: Servers, paths: Sequence[str]) -> None:
    show = names_for_stdout()

    def one(path: RemotePath, entry: Entry | None) -> None:
        try:
            entry = entry or path.info()
        except FileNotFoundError:
            out(name_bytes(f"path: {show(str(path))}\nexists: no\n"))
            raise Failure(path, "No such file or directory") from None
        # The listing's time is UTC and aware; servers need not date a
        # directory (vsftpd's "/", say).
        mtime = entry.mtime.isoformat(sep=" ") if entry.mtime is not None else "unknown"
        size = f"size: {entry.size}\n" if entry.size is not None and entry.kind != "dir" else ""
        out(name_bytes(f"path: {show(str(path))}\nexists: yes\nkind: {KIND_NAMES.get(entry.kind, entry.kind)}\n"
                       f"mtime: {mtime}\n{size}"))

    _each(servers, paths, one, "read the details of")


def cat(servers: Servers, paths: Sequence[str]) -> None:
    _each(servers, paths, lambda path, entry: _to_stdout(path), "read")


def get(servers: Servers, paths: Sequence[str], *, recursive: bool, jobs: SupportsInt, resume: bool = False,
        max_rate: RateLimit | None = None, segments: int | None = None) -> None:
    """``get REMOTE... [LOCAL]``: files, or with *recursive* trees, into
    LOCAL (a name, a directory, or - for stdout), by default here; with
    *resume*, continuing partial files; *max_rate*: one limit for all."""
    sources, local = (paths[:-1], paths[-1]) if len(paths) > 1 else (paths, None)
    if local == "":
        raise Usage("the local name is empty")
    if local is not None and local != "-" and len(sources) > 1 and not os.path.isdir(local):
        raise Failure(local, "Not a directory (several sources go into a directory)")

    def one(path: RemotePath, entry: Entry | None) -> None:
        if not recursive:
            _get_file(path, local, resume, max_rate, segments)
        elif local == "-":
            raise Failure(path, "a tree cannot go to standard output")
        else:
            # Several trees each become a copy inside the directory, not of it.
            into = local + "/" if local is not None and len(sources) > 1 and not local.endswith("/") else local
            _trees().download(path, into, jobs=int(jobs), resume=resume, max_rate=max_rate)

    _each(servers, sources, one, "download")


def _get_file(path: RemotePath, local: str | None, resume: bool = False, max_rate: RateLimit | None = None,
              segments: int | None = None) -> None:
    """Download one file: under a temporary name beside its own, renamed
    once whole, then given the server's time; a bar on a terminal."""
    if local == "-":
        _to_stdout(path)
        return
    target = local if local is not None else (path.name or ".")
    if os.path.isdir(target):  # into that directory, like cp
        target = os.path.join(target, path.name)
    # No probe first: the transfer's own refusal tells a folder or nothing there.
    with Bar(output.shown(path.name)[:30] or "get") as bar:
        try:
            path.download(target, progress=bar.advance, keep_time=True, sized=bar.sized, resume=resume,
                          max_rate=max_rate, segments=segments)
        except FileNotFoundError as exc:
            if exc.filename is not None:
                raise  # the local side's
            raise Failure(path, "No such file or directory") from None
        except IsADirectoryError as exc:
            if exc.filename is not None:
                raise
            raise Failure(path, "Is a directory (use -r)") from None


def _trees() -> ModuleType:
    """The tree verbs' module, and with it the tree engine: loaded only by a verb that moves a tree."""
    from dravlen.ftp.cli import trees

    return trees


def _to_stdout(path: RemotePath) -> None:
    try:
        stream = path.open("rb")
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None
    except IsADirectoryError:
        raise Failure(path, "Is a directory") from None
    with stream:
        while block := stream.read1(_BLOCK):
            out(block)


def mv(servers: Servers, paths: Sequence[str]) -> None:
    if len(paths) < 2:
        raise Usage("needs a source and a target")
    *sources, target_text = paths
    if len(sources) > 1 and not target_text.endswith("/"):
        target_text += "/"  # several go into a directory, like mv
    target = servers.path(target_text)

    def one(source: RemotePath, entry: Entry | None) -> None:
        if type(source) is not type(target):
            raise Failure(source, f"cannot move to another server ({errors.where_of(target)})")
        new = target.join(source.name) if target_text.endswith("/") else target
        try:
            source.rename(new)
        except FileNotFoundError as exc:
            if str(exc).startswith(f"'{source.path}' does not exist"):
                raise Failure(source, "No such file or directory") from None
            raise Failure(source, errors.reason_of(exc)) from None
        except OSError as exc:
            raise Failure(source, errors.reason_of(exc)) from None

    _each(servers, sources, one, "rename")


def mkdir(servers: Servers, paths: Sequence[str]) -> None:
    def one(path: RemotePath, entry: Entry | None) -> None:
        try:
            path.mkdir()
        except FileNotFoundError as exc:
            # mkdir() succeeds on a directory, so whatever is there is no directory.
            if path.exists:
                raise Failure(path, "File exists") from None
            raise Failure(path, errors.reason_of(exc)) from None

    _each(servers, paths, one, "create the directory", wildcards=False)


def put(servers: Servers, paths: Sequence[str], *, temporary_names: bool, jobs: int, resume: bool = False,
        max_rate: RateLimit | None = None) -> None:
    """``put LOCAL... REMOTE``: files and trees (- for stdin) become REMOTE,
    or go inside it when it ends in / (as several sources do)."""
    if len(paths) < 2:
        raise Usage("needs a local source and a remote destination")
    *sources, remote = paths
    if len(sources) > 1 and not remote.endswith("/"):
        remote += "/"  # several go into a directory, like cp
    destination = servers.path(remote)
    text = str(destination.path) + ("/" if remote.endswith("/") else "")
    failed = False
    for local in sources:
        try:
            try:
                if local == "-" and resume:
                    raise Failure(destination, "standard input cannot be continued (-c)")
                if local == "-":
                    _put_stdin(destination, remote)
                else:
                    _trees().upload(type(destination), local, text, jobs=jobs, temporary_names=temporary_names,
                                    resume=resume, max_rate=max_rate)
            except OSError as exc:
                reason = errors.words("upload", errors.reason_of(exc))
                raise errors.failure_of(exc, destination, reason) from None
            except (EOFError, ftplib.Error) as exc:
                raise Failure(destination, errors.words("upload", errors.reason_of(exc))) from None
        except Failure as failure:
            if failure.server is None and failure.path.rstrip("/") == text.rstrip("/"):
                failure.server = errors.where_of(destination)
            report(failure)
            failed = True
        except Failures as failures:
            report(failures)
            failed = True
    if failed:
        raise Reported()


def _put_stdin(destination: RemotePath, remote: str) -> None:
    if remote.endswith("/"):
        raise Failure(destination, "standard input needs a file name, not a directory")
    source = cast(io.BufferedReader, sys.stdin.buffer)
    with destination.open("wb") as upload:
        while block := source.read1(_BLOCK):
            upload.write(block)


def rm(servers: Servers, paths: Sequence[str], *, recursive: bool, force: bool, jobs: int) -> None:
    def one(path: RemotePath, entry: Entry | None) -> None:
        if path.path.name in ("", ".", ".."):
            raise Failure(path, "refusing to remove a top or parent directory")
        if recursive:
            _trees().remove(path, jobs=jobs)
            return
        try:
            is_dir = path.is_dir()
        except FileNotFoundError:
            raise Failure(path, "No such file or directory") from None
        if is_dir:
            raise Failure(path, "Is a directory (use -r)")
        path.delete()

    # Like rm -f: what is not there is no error.
    _each(servers, paths, one, "remove",
          forgive=lambda failure: force and failure.reason in ("no match", "No such file or directory"))


def sync(servers: Servers, source: str, destination: str, *, delete: bool, dry_run: bool,
         exclude: Sequence[str], jobs: int, checksum: bool = False, max_rate: RateLimit | None = None) -> None:
    """``sync SRC DST``: DST made the copy of SRC, moving only what is
    missing or differs; one side remote (a URL, or ``:PATH`` on the
    configured server), the other local."""
    up = _remote(destination)
    if up == _remote(source):
        raise Usage("one side must be remote (an ftp:// or ftps:// URL, or :PATH on the configured"
                    " server) and the other local")
    remote_text, local = (destination, source) if up else (source, destination)
    remote = servers.path(remote_text.removeprefix(":"))
    if not local:
        raise Usage("the local side is empty")
    if up and not os.path.exists(local):
        raise Failure(local, "No such file or directory")
    _trees().sync(local, remote, up=up, delete=delete, dry_run=dry_run, exclude=exclude, jobs=jobs,
                  checksum=checksum, max_rate=max_rate)


def _remote(text: str) -> bool:
    return is_url(text) or text.startswith(":")


# ---------------------------------------------------------------------------
# each path argument in turn


def _each(servers: Servers, texts: Sequence[str], run: Callable[[RemotePath, Entry | None], None],
          verb: str, wildcards: bool = True, forgive: Callable[[Failure], bool] = lambda failure: False) -> None:
    """Run *run* on every path the arguments name; an error on the remote
    side says it could not *verb* (when the server's reply is all it says)."""
    arguments = _Arguments(forgive)
    for text in texts:
        with arguments.one(text):
            path = servers.path(text)
            for one, entry in expand(path) if wildcards else [(path, None)]:
                try:
                    run(one, entry)
                except OSError as exc:
                    raise errors.failure_of(exc, one, errors.words(verb, errors.reason_of(exc))) from None
                except (EOFError, ftplib.Error) as exc:
                    raise Failure(one, errors.words(verb, errors.reason_of(exc))) from None
    arguments.done()


class _Arguments:
    """The paths of one command line, each tried in turn: a failure is
    reported (unless *forgive* says it is none) and the others still run;
    `done` then exits 1 if any failed."""

    def __init__(self, forgive: Callable[[Failure], bool] = lambda failure: False) -> None:
        self.forgive = forgive
        self.failed = False

    @contextlib.contextmanager
    def one(self, text: str) -> Iterator[None]:
        try:
            yield
        except ConfigError:
            raise  # about the server, not the path: once, from main()
        except ValueError as exc:  # a path no FTP command can carry
            output.debug(exc)
            report(Failure(text, str(exc)))
            self.failed = True
        except Failure as failure:
            if not self.forgive(failure):
                report(failure)
                self.failed = True
        except Failures as failures:
            report(failures)
            self.failed = True

    def done(self) -> None:
        if self.failed:
            raise Reported()
