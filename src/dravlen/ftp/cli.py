"""The command line of the FTP backend: ``python -m dravlen.ftp``.

Every command works through the public members of `RemotePath` (the core
`FTPPath` and the everyday members beside it), on the server of the
configuration section ``[ftp]`` (or the one ``--section`` names) of the file
``DRAVLEN_CONFIG`` names.  Exit status: 0 done, 1 the operation failed (one
line ``dravlen: <path>: <reason>`` on stderr), 2 a usage error.
"""

from __future__ import annotations

import argparse
import fnmatch
import ftplib
import os
import signal
import sys
import threading
from typing import Callable, Optional, Sequence

from dravlen.config import ConfigError
from dravlen.ftp import tree
from dravlen.ftp.path import FTPPath
from dravlen.ftp.remote import Entry, RemotePath

PROG = "python -m dravlen.ftp"


class Failure(Exception):
    """An operation failed on *path* for *reason*; reported, then exit 1."""

    def __init__(self, path: object, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = str(path)
        self.reason = reason


class _StdoutClosed(Exception):
    """The reader of stdout went away (``... | head``)."""


def _reason(exc: BaseException) -> str:
    # Local and socket errors carry the C library's wording; the backend's
    # own errors and the server's replies say what they mean in their text.
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc).rstrip(".") or type(exc).__name__


def _failure(exc: OSError, remote: object, reason: str | None = None) -> Failure:
    """The failure to report for *exc*: about the local file it names, if it
    names one (the local side failed), else about *remote*."""
    if exc.filename:
        return Failure(exc.filename, _reason(exc))
    return Failure(remote, reason if reason is not None else _reason(exc))


def _path_class(section: str) -> type[RemotePath]:
    if section == RemotePath._section[0]:
        return RemotePath
    # The section comes from the class, so another section needs a subclass.
    return type("SectionRemotePath", (RemotePath,), {"_section": (section,)})


def _out(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise _StdoutClosed() from None


# ---------------------------------------------------------------------------
# commands


def _name_bytes(name: str) -> bytes:
    # Bytes of a name that were not valid text come out as they came in.
    return name.encode("utf-8", "surrogateescape")


def _long_line(entry: Entry, shown: str) -> bytes:
    size = "-" if entry.size is None else str(entry.size)
    when = "-" if entry.mtime is None else entry.mtime.strftime("%Y-%m-%d %H:%M:%S")
    target = "" if entry.target is None else f" -> {entry.target}"
    return _name_bytes(f"{entry.kind:<5} {size:>12} {when:<19} {shown}{target}\n")


def cmd_ls_long(cls: type[RemotePath], args: argparse.Namespace) -> None:
    # Kinds, sizes and times all come from the one listing of the directory.
    top = cls(args.path)
    try:
        entries = sorted(top.iterdir(detail=True), key=lambda pair: pair[0].name)
    except FileNotFoundError:
        raise Failure(top, "No such file or directory") from None
    except NotADirectoryError:
        if args.pattern is not None:
            raise Failure(top, "Not a directory") from None
        _out(_long_line(top.info(), str(top)))  # like ls: a file lists as itself
        return
    pattern = args.pattern or "*"
    for path, entry in entries:
        if fnmatch.fnmatch(path.name, pattern):
            _out(_long_line(entry, entry.name))


def cmd_ls(cls: type[RemotePath], args: argparse.Namespace) -> None:
    if args.long:
        cmd_ls_long(cls, args)
        return
    top = cls(args.path)
    try:
        entries = sorted(top.glob(args.pattern or "*"), key=lambda p: p.name)
    except FileNotFoundError:
        raise Failure(top, "No such file or directory") from None
    except TypeError:  # the backend's word for "not a directory"
        if args.pattern is not None:
            raise Failure(top, "Not a directory") from None
        _out(f"{top}\n".encode())  # like ls: a file lists as itself
        return
    for entry in entries:
        # Telling a directory costs an is_dir() probe (a listing and an
        # abandoned download) per entry, so only -F pays for it.
        mark = "/" if args.classify and entry.is_dir() else ""
        _out(f"{entry.name}{mark}\n".encode())


def cmd_stat(cls: type[FTPPath], args: argparse.Namespace) -> None:
    path = cls(args.path)
    if not path.exists:
        _out(f"path: {path}\nexists: no\n".encode())
        raise Failure(path, "No such file or directory")
    kind = "directory" if path.is_dir() else "file"
    try:
        mtime = path.mtime.isoformat(sep=" ")
    except TypeError:  # servers need not date a directory (MDTM is for files)
        mtime = "unknown"
    _out(f"path: {path}\nexists: yes\nkind: {kind}\nmtime: {mtime}\n".encode())


def cmd_cat(cls: type[RemotePath], args: argparse.Namespace) -> None:
    path = cls(args.path)
    try:
        stream = path.open("rb")
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None
    except IsADirectoryError:
        raise Failure(path, "Is a directory") from None
    # Streamed block by block: memory stays flat whatever the file's size.
    with stream:
        while block := stream.read1(_BLOCK):
            _out(block)


_BLOCK = 1 << 20


def cmd_get(cls: type[RemotePath], args: argparse.Namespace) -> None:
    if args.recursive:
        cmd_get_tree(cls, args)
        return
    path = cls(args.remote)
    local = args.local if args.local is not None else (path.name or ".")
    if os.path.isdir(local):  # into that directory, like cp
        local = os.path.join(local, path.name)
    try:
        path.download(local)
    except FileNotFoundError as exc:
        raise _failure(exc, path, "No such file or directory") from None
    except IsADirectoryError as exc:
        raise _failure(exc, path, "Is a directory (use -r)") from None
    except OSError as exc:
        raise _failure(exc, path) from None


def cmd_mv(cls: type[RemotePath], args: argparse.Namespace) -> None:
    source = cls(args.source)
    target = args.target
    if target.endswith("/"):  # into that directory, like mv
        target += source.name
    try:
        source.rename(target)
    except FileNotFoundError as exc:
        if str(exc).startswith(f"'{source.path}' does not exist"):
            raise Failure(source, "No such file or directory") from None
        raise Failure(source, _reason(exc)) from None
    except OSError as exc:
        raise Failure(source, _reason(exc)) from None


class _Bar:
    """A progress bar in bytes, with the files done beside it, on stderr when
    it is a terminal (tqdm); nothing elsewhere."""

    def __init__(self, verb: str) -> None:
        self.verb = verb
        self.bar = None
        if sys.stderr.isatty():
            from tqdm import tqdm

            try:
                columns, lines = os.get_terminal_size(sys.stderr.fileno())
            except OSError:
                columns = lines = 0
            # A terminal that tells no size (0 x 0) would get no bar at all.
            self.bar = tqdm(total=0, unit="B", unit_scale=True, unit_divisor=1024,
                            file=sys.stderr, dynamic_ncols=bool(columns and lines),
                            ncols=None if columns else 80, nrows=None if lines else 24,
                            leave=True, desc=verb)
        self.shown = 0

    def __call__(self, progress: tree.Progress) -> None:
        bar = self.bar
        if bar is None:
            return
        if bar.total != progress.bytes_total:
            bar.total = progress.bytes_total
        files = f"{progress.files_done}/{progress.files_total}{'+' if progress.listing else ''} files"
        bar.set_postfix_str(files, refresh=False)
        bar.update(progress.bytes_done - self.shown)
        self.shown = progress.bytes_done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _run_tree(work: Callable[[_Bar], tree.Outcome], verb: str) -> None:
    """Run a tree operation with a progress bar; failures become one
    ``dravlen: <path>: <reason>`` line each, and exit status 1.  SIGTERM
    stops it as Ctrl-C does (files being written are removed).  A run that
    skipped files says how many, on stderr."""
    bar = _Bar(verb)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        outcome = work(bar)
    except tree.TreeError as error:
        raise Failures(error.failures, error.progress) from None
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        bar.close()
    if outcome.skipped:
        print(f"{verb}: {outcome.files} {'file' if outcome.files == 1 else 'files'} moved,"
              f" {outcome.skipped} skipped (already complete)", file=sys.stderr)


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


class Failures(Exception):
    """Several paths failed; each is reported, then exit 1."""

    def __init__(self, failures: list[tuple[str, str]], progress: tree.Progress) -> None:
        super().__init__(f"{len(failures)} failed")
        self.failures = failures
        self.progress = progress


def _into(destination: str, name: str) -> str:
    # As lftp's mirror: the destination is the copy of the source, whether it
    # exists or not; one ending in / receives the source under its own name.
    if destination.endswith("/"):
        return destination.rstrip("/") + "/" + name if destination.rstrip("/") else "/" + name
    return destination


def cmd_put(cls: type[FTPPath], args: argparse.Namespace) -> None:
    local = args.local.rstrip("/") or "/"
    remote = _into(args.remote, os.path.basename(os.path.abspath(local)))
    if not os.path.exists(local):
        raise Failure(local, "No such file or directory")
    temporary = getattr(args, "temporary_names", False)
    try:
        _run_tree(lambda bar: tree.upload_tree(local, cls(remote), connections=args.jobs,
                                               progress=bar, temporary_names=temporary), "put")
    except OSError as exc:
        raise _failure(exc, remote) from None


def cmd_get_tree(cls: type[FTPPath], args: argparse.Namespace) -> None:
    source = cls(args.remote)
    name = source.path.name if source.path.name not in ("", ".", "..") else "download"
    local = _into(args.local, name) if args.local is not None else name
    try:
        _run_tree(lambda bar: tree.download_tree(source, local, connections=args.jobs,
                                                 progress=bar), "get")
    except FileNotFoundError as exc:
        raise Failure(exc.filename or source, "No such file or directory") from None
    except OSError as exc:
        raise Failure(exc.filename or local, _reason(exc)) from None


def cmd_rm(cls: type[FTPPath], args: argparse.Namespace) -> None:
    path = cls(args.path)
    if path.path.name in ("", ".", ".."):
        raise Failure(path, "refusing to remove a top or parent directory")
    if args.recursive:
        try:
            _run_tree(lambda bar: tree.remove_tree(path, connections=args.jobs, progress=bar), "rm")
        except FileNotFoundError:
            raise Failure(path, "No such file or directory") from None
        return
    try:
        is_dir = path.is_dir()
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None
    if is_dir:
        raise Failure(path, "Is a directory (use -r)")
    path.delete()


def cmd_mkdir(cls: type[FTPPath], args: argparse.Namespace) -> None:
    path = cls(args.path)
    try:
        path.mkdir()
    except FileNotFoundError as exc:
        # mkdir() succeeds on a directory, so whatever is there is no directory.
        if path.exists:
            raise Failure(path, "File exists") from None
        raise Failure(path, _reason(exc)) from None


# ---------------------------------------------------------------------------
# the parser


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"needs a whole number of connections, at least 1: {text!r}")
    return value


def _section_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("a section name cannot be empty")
    return text


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Work with files on the FTP server of your dravlen configuration.",
        epilog="The server comes from the INI file named by DRAVLEN_CONFIG (else "
        "~/.config/dravlen/dravlen.ini), section [ftp] unless --section names "
        "another. Exit status: 0 done, 1 the operation failed, 2 usage error.",
    )
    # Accepted before or after the command; the command's own copy must not
    # reset a value given before it, hence SUPPRESS there.
    parser.add_argument("--section", metavar="NAME", type=_section_name, default="ftp",
                        help="configuration section of the server (default: ftp)")
    common.add_argument("--section", metavar="NAME", type=_section_name, default=argparse.SUPPRESS,
                        help="configuration section of the server (default: ftp)")
    parser.add_argument("--url", metavar="URL",
                        help="the server as ftp://[user[:password]@]host[:port]/ or ftps://..., "
                        "instead of a configuration section")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[type[RemotePath], argparse.Namespace], None],
                summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    ls = command("ls", cmd_ls, "List the entries of a remote directory that match PATTERN.")
    ls.add_argument("path", metavar="PATH")
    ls.add_argument("pattern", metavar="PATTERN", nargs="?",
                    help="fnmatch pattern for the names (default: *)")
    ls.add_argument("-F", "--classify", action="store_true",
                    help="append / to directories (one extra probe per entry)")
    ls.add_argument("-l", "--long", action="store_true",
                    help="show kind, size and modification time (UTC), all from the one listing")

    command("stat", cmd_stat, "Show whether PATH exists, its kind and modification time."
            ).add_argument("path", metavar="PATH")

    cat = command("cat", cmd_cat, "Write the bytes of a remote file to stdout.")
    cat.add_argument("path", metavar="PATH")

    def jobs(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=tree.DEFAULT_CONNECTIONS,
                         help="connections used at once (default: %(default)s; fewer where the"
                         " server allows fewer)")

    get = command("get", cmd_get, "Download a remote file, or with -r a directory tree, to LOCAL;"
                  " with -r, files already here with the same size and time are skipped.")
    get.add_argument("remote", metavar="REMOTE")
    get.add_argument("local", metavar="LOCAL", nargs="?",
                     help="the local name, or a directory to put it in (default: here, same name)")
    get.add_argument("-r", "-R", "--recursive", action="store_true",
                     help="download a directory and everything below it")
    jobs(get)

    mv = command("mv", cmd_mv, "Rename or move a remote file or directory.")
    mv.add_argument("source", metavar="SOURCE")
    mv.add_argument("target", metavar="TARGET",
                    help="the new name; ending in / moves SOURCE into that directory")

    put = command("put", cmd_put, "Upload a local file or directory tree to REMOTE; files"
                  " already there with the same size are skipped.")
    put.add_argument("local", metavar="LOCAL")
    put.add_argument("remote", metavar="REMOTE",
                     help="the remote name; ending in / puts LOCAL inside that directory")
    jobs(put)

    rm = command("rm", cmd_rm, "Delete a remote file, or with -r a directory and all below it.")
    rm.add_argument("path", metavar="PATH")
    rm.add_argument("-r", "-R", "--recursive", action="store_true",
                    help="delete directories and their contents (links are removed, not followed)")
    jobs(rm)

    mkdir = command("mkdir", cmd_mkdir, "Create a remote directory and any missing parents.")
    mkdir.add_argument("path", metavar="PATH")
    return parser


def _shown(path: str) -> str:
    # A name may hold line breaks or other control characters: one line each.
    return "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in path)


def _fail(message: str) -> int:
    print(f"dravlen: {message}", file=sys.stderr)
    return 1


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.url is None:
        cls = _path_class(args.section)
    else:
        from dravlen.ftp.connect import server

        try:
            cls = server(args.url)
        except (TypeError, ValueError) as exc:  # ConfigError too
            parser.error(str(exc))
    try:
        args.run(cls, args)
    except Failure as failure:
        return _fail(f"{failure.path}: {failure.reason}")
    except Failures as failures:
        for path, reason in failures.failures:
            print(f"dravlen: {_shown(path)}: {reason}", file=sys.stderr)
        return _fail(f"{len(failures.failures)} failed; {failures.progress.summary()} done")
    except tree.Interrupted as stopped:
        print(f"dravlen: {stopped}", file=sys.stderr)
        return 130
    except ConfigError as exc:
        return _fail(str(exc))
    except _StdoutClosed:
        return 141  # as a shell reports a command ended by SIGPIPE
    except (OSError, EOFError, ftplib.Error) as exc:
        # Connection trouble and the server's refusals, in any command.
        subject = {"put": "remote", "get": "remote", "mv": "source"}.get(args.command, "path")
        subject = getattr(args, subject)
        return _fail(f"{subject}: {_reason(exc)}")
    except KeyboardInterrupt:
        return 130
    return 0
