"""The command line of the FTP backend: ``dravlen`` (or ``python -m dravlen.ftp``).

Every command works through the public members of `RemotePath` (the core
`FTPPath` and the everyday members beside it), on the server of the
configuration section ``[ftp]`` (or the one ``--section`` names) of the file
``DRAVLEN_CONFIG`` names, on the server ``--url`` names, or on the one a path
given as an ``ftp://`` URL names.  Exit status: 0 done, 1 the operation failed
(one line ``dravlen: <path>: <reason>`` per failure on stderr), 2 a usage
error, 130 interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import ftplib
import io
import logging
import os
import sys
from typing import Callable, Iterator, Optional, Sequence, cast

from dravlen.config import ConfigError
from dravlen.ftp import tree
from dravlen.ftp.clitree import Failures, Usage as _Usage, cmd_get_tree, cmd_put, cmd_rm, cmd_sync, report_tree
from dravlen.ftp.clitree import failure_of as _failure, reason_of as _reason
from dravlen.ftp.clisupport import (BLOCK, Failure, Servers, StdoutClosed, debug, expand, get_file, human, name_bytes,
                                    names_for_stdout, out, report, set_debug, show_conversation, shown, to_stdout,
                                    where_of, words)
from dravlen.ftp.remote import Entry, RemotePath

PROG = "python -m dravlen.ftp"


# ---------------------------------------------------------------------------
# commands


def _long_line(entry: Entry, name: str, show: Callable[[str], str], human_sizes: bool = False) -> bytes:
    size = "-" if entry.size is None else human(entry.size) if human_sizes else str(entry.size)
    when = "-" if entry.mtime is None else entry.mtime.strftime("%Y-%m-%d %H:%M:%S")
    target = "" if entry.target is None else f" -> {show(entry.target)}"
    return name_bytes(f"{entry.kind:<5} {size:>12} {when:<19} {show(name)}{target}\n")


_MARKS = {"dir": "/", "link": "@"}


def cmd_ls(servers: Servers, args: argparse.Namespace) -> None:
    # Kinds, sizes and times all come from the one listing of each directory;
    # like ls, files named on the line list as themselves, first.
    files: list[tuple[RemotePath, Optional[Entry]]] = []
    folders: list[tuple[RemotePath, list[Entry]]] = []
    arguments = _Arguments()
    for text in args.paths or ["."]:
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
                    raise Failure(path, words("list", _reason(exc))) from None
                folders.append((path, listed))
    show = names_for_stdout()  # a server's names never drive the terminal
    for path, entry in files:
        if args.long:
            out(_long_line(entry or path.info(), str(path), show, args.human))
        else:
            out(name_bytes(f"{show(str(path))}\n"))
    headed = len(files) + len(folders) > 1
    for number, (path, entries) in enumerate(folders):
        if headed:
            out(name_bytes(f"{'' if number == 0 and not files else chr(10)}{show(str(path))}:\n"))
        for entry in entries:
            if entry.name.startswith(".") and not args.all:
                continue
            if args.long:
                out(_long_line(entry, entry.name, show, args.human))
            else:
                mark = _MARKS.get(entry.kind, "") if args.classify else ""
                out(name_bytes(f"{show(entry.name)}{mark}\n"))
    arguments.done()


class _Reported(Exception):
    """Failures were reported already; exit 1."""


_KINDS = {"dir": "directory", "file": "file", "link": "link", "other": "other"}


def cmd_stat(servers: Servers, args: argparse.Namespace) -> None:
    show = names_for_stdout()

    def one(path: RemotePath, entry: Optional[Entry]) -> None:
        try:
            entry = entry or path.info()
        except FileNotFoundError:
            out(name_bytes(f"path: {show(str(path))}\nexists: no\n"))
            raise Failure(path, "No such file or directory") from None
        # The listing's time is UTC and aware; servers need not date a
        # directory (vsftpd's "/", say).
        mtime = entry.mtime.isoformat(sep=" ") if entry.mtime is not None else "unknown"
        size = f"size: {entry.size}\n" if entry.size is not None and entry.kind != "dir" else ""
        out(name_bytes(f"path: {show(str(path))}\nexists: yes\nkind: {_KINDS.get(entry.kind, entry.kind)}\n"
                         f"mtime: {mtime}\n{size}"))

    _each(servers, args.paths, one, "read the details of")


def cmd_cat(servers: Servers, args: argparse.Namespace) -> None:
    _each(servers, args.paths, lambda path, entry: to_stdout(path), "read")


def cmd_mv(servers: Servers, args: argparse.Namespace) -> None:
    if len(args.paths) < 2:
        raise _Usage("needs a source and a target")
    *sources, target_text = args.paths
    if len(sources) > 1 and not target_text.endswith("/"):
        target_text += "/"  # several go into a directory, like mv
    target = servers.path(target_text)

    def one(source: RemotePath, entry: Optional[Entry]) -> None:
        if type(source) is not type(target):
            raise Failure(source, f"cannot move to another server ({where_of(target)})")
        new = target.join(source.name) if target_text.endswith("/") else target
        try:
            source.rename(new)
        except FileNotFoundError as exc:
            if str(exc).startswith(f"'{source.path}' does not exist"):
                raise Failure(source, "No such file or directory") from None
            raise Failure(source, _reason(exc)) from None
        except OSError as exc:
            raise Failure(source, _reason(exc)) from None

    _each(servers, sources, one, "rename")


def cmd_mkdir(servers: Servers, args: argparse.Namespace) -> None:
    def one(path: RemotePath, entry: Optional[Entry]) -> None:
        try:
            path.mkdir()
        except FileNotFoundError as exc:
            # mkdir() succeeds on a directory, so whatever is there is no directory.
            if path.exists:
                raise Failure(path, "File exists") from None
            raise Failure(path, _reason(exc)) from None

    _each(servers, args.paths, one, "create the directory", wildcards=False)


def _each(servers: Servers, texts: Sequence[str], run: Callable[[RemotePath, Optional[Entry]], None],
          verb: str, wildcards: bool = True, forgive: Callable[[Failure], bool] = lambda f: False) -> None:
    """Run *run* on every path the arguments name; each failure is reported
    (unless *forgive* says it is none) and the others still run, as Unix
    tools do."""
    arguments = _Arguments(servers, verb, forgive)
    for text in texts:
        with arguments.one(text):
            path = arguments.path = servers.path(text)
            for one, entry in expand(path) if wildcards else [(path, None)]:
                try:
                    run(one, entry)
                except (OSError, EOFError, ftplib.Error) as exc:
                    if isinstance(exc, OSError):
                        raise _failure(exc, one, words(verb, _reason(exc))) from None
                    raise Failure(one, words(verb, _reason(exc))) from None
    arguments.done()


class _Arguments:
    """The paths of one command line, each tried in turn: a failure is
    reported (unless *forgive* says it is none) and the others still run, as
    Unix tools do; `done` then exits 1 if any failed."""

    def __init__(self, servers: Optional[Servers] = None, verb: str = "",
                 forgive: Callable[[Failure], bool] = lambda f: False) -> None:
        self.servers, self.verb, self.forgive = servers, verb, forgive
        self.failed = False
        self.path: Optional[RemotePath] = None  # the remote side of a tree's failures

    @contextlib.contextmanager
    def one(self, text: str) -> Iterator[None]:
        self.path = None
        try:
            yield
        except ConfigError:
            raise  # about the server, not the path: once, from main()
        except ValueError as exc:  # a path no FTP command can carry
            debug(exc)
            report(Failure(text, str(exc)))
            self.failed = True
        except Failure as failure:
            if not self.forgive(failure):
                report(failure)
                self.failed = True
        except Failures as failures:
            assert self.servers is not None
            report_tree(failures, self.servers, self.verb, self.path)
            self.failed = True

    def done(self) -> None:
        if self.failed:
            raise _Reported()


def _tree_args(args: argparse.Namespace, **values: object) -> argparse.Namespace:
    return argparse.Namespace(**{**vars(args), **values})


def run_get(servers: Servers, args: argparse.Namespace) -> None:
    *sources, local = args.paths if len(args.paths) > 1 else (*args.paths, None)
    if local == "":
        raise _Usage("the local name is empty")
    if local is not None and local != "-" and len(sources) > 1 and not os.path.isdir(local):
        raise Failure(local, "Not a directory (several sources go into a directory)")

    def one(path: RemotePath, entry: Optional[Entry]) -> None:
        if not args.recursive:
            get_file(path, local)
        elif local == "-":
            raise Failure(path, "a tree cannot go to standard output")
        else:
            # Several trees each become a copy inside the directory, not of it.
            into = local + "/" if local is not None and len(sources) > 1 and not local.endswith("/") else local
            cmd_get_tree(type(path), _tree_args(args, remote=str(path.path), local=into))

    _each(servers, sources, one, "download")


def run_put(servers: Servers, args: argparse.Namespace) -> None:
    if len(args.paths) < 2:
        raise _Usage("needs a local source and a remote destination")
    *sources, remote = args.paths
    if len(sources) > 1 and not remote.endswith("/"):
        remote += "/"  # several go into a directory, like cp
    destination = servers.path(remote)
    text = str(destination.path) + ("/" if remote.endswith("/") else "")
    failed = False
    for local in sources:
        try:
            try:
                if local == "-":
                    _put_stdin(destination, remote)
                else:
                    cmd_put(type(destination), _tree_args(args, local=local, remote=text))
            except OSError as exc:
                raise _failure(exc, destination, words("upload", _reason(exc))) from None
            except (EOFError, ftplib.Error) as exc:
                raise Failure(destination, words("upload", _reason(exc))) from None
        except Failure as failure:
            if failure.server is None and failure.path.rstrip("/") == text.rstrip("/"):
                failure.server = where_of(destination)
            report(failure)
            failed = True
        except Failures as failures:
            report_tree(failures, servers, "upload", destination)
            failed = True
    if failed:
        raise _Reported()


def _put_stdin(destination: RemotePath, remote: str) -> None:
    if remote.endswith("/"):
        raise Failure(destination, "standard input needs a file name, not a directory")
    source = cast(io.BufferedReader, sys.stdin.buffer)
    with destination.open("wb") as upload:
        while block := source.read1(BLOCK):
            upload.write(block)


def run_rm(servers: Servers, args: argparse.Namespace) -> None:
    def one(path: RemotePath, entry: Optional[Entry]) -> None:
        cmd_rm(type(path), _tree_args(args, path=str(path.path)))

    # Like rm -f: what is not there is no error.
    _each(servers, args.paths, one, "remove",
          forgive=lambda f: args.force and f.reason in ("no match", "No such file or directory"))


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


def _global_options(parser: argparse.ArgumentParser, default: Callable[[object], object]) -> None:
    # Accepted before or after the command; the command's own copy must not
    # reset a value given before it, hence SUPPRESS there.
    parser.add_argument("--section", metavar="NAME", type=_section_name, default=default("ftp"),
                        help="configuration section of the server (default: ftp)")
    parser.add_argument("--url", metavar="URL", default=default(None),
                        help="the server as ftp://[user[:password]@]host[:port][/path] or ftps://...,"
                        " instead of a configuration section; relative paths start at its path")
    parser.add_argument("-v", "--verbose", action="store_true", default=default(False),
                        help="show each command sent and each reply on stderr (the password as ***)")
    parser.add_argument("--debug", action="store_true", default=default(False),
                        help="a Python traceback with each error, for reports of faults")


_TREE_RULE = ("put SRC DST and get -r SRC DST make DST the copy of SRC whether DST exists or not;"
              " a second run moves only what is missing or differs.")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("dravlen")
    except PackageNotFoundError:
        return "unknown"


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    _global_options(common, lambda value: argparse.SUPPRESS)
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Work with files on an FTP server. Paths may hold wildcards (* ? [...]),"
        " matched here on the server's listings; a path may be an ftp:// or ftps:// URL. On a"
        " terminal, names are shown with each character that is not printable as an escape (ESC as"
        " \\x1b, a byte that is no valid text as \\xff); to a pipe or a file they go byte for byte.",
        epilog="The server comes from the INI file named by DRAVLEN_CONFIG (else "
        "~/.config/dravlen/dravlen.ini), section [ftp] unless --section names another, or from"
        " --url. A URL without a password takes the section's, if it names the section's host"
        " (or --url's, for a section without one), else ~/.netrc's for its host, else asks on a"
        " terminal. Exit status: 0 done, 1 the operation failed, 2 usage error,"
        " 130 interrupted.",
    )
    _global_options(parser, lambda value: value)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[Servers, argparse.Namespace], None], summary: str,
                usage: Optional[str] = None, add_help: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=summary, usage=usage,
                                  add_help=add_help)
        sub.set_defaults(run=run, command_parser=sub)
        return sub

    def jobs(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=tree.DEFAULT_CONNECTIONS,
                         help="connections used at once (default: %(default)s; fewer where the"
                         " server allows fewer)")

    # -h is ls's "human sizes", as with ls -lh; --help stays.
    ls = command("ls", cmd_ls, "List remote directories, or the files named.", add_help=False)
    ls.add_argument("--help", action="help", help="show this help message and exit")
    ls.add_argument("paths", metavar="PATH", nargs="*", help="default: the start directory")
    ls.add_argument("-l", "--long", action="store_true",
                    help="show kind, size and modification time (UTC), all from the one listing")
    ls.add_argument("-a", "--all", action="store_true", help="show names starting with '.' too")
    ls.add_argument("-h", "--human-readable", dest="human", action="store_true",
                    help="with -l, sizes as 1.5K, 12M")
    ls.add_argument("-F", "--classify", action="store_true", help="append / to directories, @ to links")

    command("stat", cmd_stat, "Show whether PATH exists, its kind, size and modification time (UTC)."
            ).add_argument("paths", metavar="PATH", nargs="+")

    command("cat", cmd_cat, "Write the bytes of remote files to stdout."
            ).add_argument("paths", metavar="PATH", nargs="+")

    get = command("get", run_get, "Download remote files, or with -r directory trees. " + _TREE_RULE,
                  usage="%(prog)s [options] REMOTE... [LOCAL]")
    get.add_argument("paths", metavar="REMOTE... [LOCAL]", nargs="+",
                     help="what to download, then where: a local name, a directory (needed for"
                     " several), or - for stdout (default: here, same name)")
    get.add_argument("-r", "-R", "--recursive", action="store_true",
                     help="download directories and everything below them")
    jobs(get)

    mv = command("mv", cmd_mv, "Rename or move remote files or directories.",
                 usage="%(prog)s [options] SOURCE... TARGET")
    mv.add_argument("paths", metavar="SOURCE... TARGET", nargs="+",
                    help="TARGET ending in / (or several sources) moves into that directory")

    put = command("put", run_put, "Upload local files or directory trees. " + _TREE_RULE,
                  usage="%(prog)s [options] LOCAL... REMOTE")
    put.add_argument("paths", metavar="LOCAL... REMOTE", nargs="+",
                     help="what to upload (- for stdin), then the remote name; REMOTE ending in /"
                     " (or several sources) puts them inside that directory")
    put.add_argument("-r", "-R", "--recursive", action="store_true",
                     help="accepted for habit: directories are always uploaded whole")
    put.add_argument("--temporary-names", action="store_true",
                     help="store each file under a temporary name beside its own and rename it into"
                     " place once its size is confirmed (for folders other programs watch; two more"
                     " commands per file)")
    jobs(put)

    rm = command("rm", run_rm, "Delete remote files, or with -r directories and all below them.")
    rm.add_argument("paths", metavar="PATH", nargs="+")
    rm.add_argument("-r", "-R", "--recursive", action="store_true",
                    help="delete directories and their contents (links are removed, not followed)")
    rm.add_argument("-f", "--force", action="store_true", help="what is not there is no error")
    jobs(rm)

    sync = command("sync", cmd_sync,
                   "Make DST the copy of SRC, moving only what is missing or differs in size or time."
                   " One side is remote: an ftp:// or ftps:// URL, or :PATH on the configured server.",
                   usage="%(prog)s [options] SRC DST")
    sync.add_argument("source", metavar="SRC")
    sync.add_argument("destination", metavar="DST")
    sync.add_argument("--delete", action="store_true",
                      help="remove what SRC no longer has from DST (never anything outside DST)")
    sync.add_argument("-n", "--dry-run", action="store_true",
                      help="print what would be done (on stdout) and change nothing")
    sync.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                      help="leave out names or paths below the top matching PATTERN (*.tmp, logs/*);"
                      " repeatable; what is left out is neither copied nor deleted")
    jobs(sync)

    mkdir = command("mkdir", cmd_mkdir, "Create remote directories and any missing parents.")
    mkdir.add_argument("paths", metavar="PATH", nargs="+")
    mkdir.add_argument("-p", "--parents", action="store_true", help="accepted for habit: always so")
    return parser


def main(argv: Optional[Sequence[str]] = None, prog: str = PROG) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    set_debug(args.debug)
    _warnings_on_stderr()
    try:
        servers = Servers(args.section, args.url)
    except ValueError as exc:  # a URL that names no usable server (ConfigError too)
        debug(exc)
        parser.error(f"--url: {exc}")
    if args.verbose:
        show_conversation()
    try:
        args.run(servers, args)
    except _Usage as exc:
        args.command_parser.error(str(exc))
    except _Reported:
        return 1
    except Failure as failure:
        report(failure)
        return 1
    except Failures as failures:
        report_tree(failures, servers, args.command)
        return 1
    except tree.Interrupted as stopped:
        print(f"dravlen: {shown(str(stopped))}", file=sys.stderr)
        return 130
    except StdoutClosed:
        return 141  # as a shell reports a command ended by SIGPIPE
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # noqa: BLE001 - one line, never a traceback (but for --debug)
        debug(exc)
        return _fail(str(exc) if isinstance(exc, (ValueError, OSError, ftplib.Error))
                     else f"{type(exc).__name__}: {exc}")
    return 0


class _Warning(logging.Handler):
    """The library's warnings (a listing line left out, say) as one line
    each on stderr, escaped: the names in them are a server's."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            print(f"dravlen: warning: {shown(record.getMessage())}", file=sys.stderr, flush=True)
        except Exception:  # noqa: BLE001 - logging's own rule: a failed report never ends the run
            self.handleError(record)


def _warnings_on_stderr() -> None:
    logger = logging.getLogger("dravlen")
    if not any(isinstance(handler, _Warning) for handler in logger.handlers):
        logger.addHandler(_Warning(logging.WARNING))


def _fail(message: str) -> int:
    print(f"dravlen: {shown(message)}", file=sys.stderr)
    return 1


def run() -> int:
    """The ``dravlen`` command."""
    return main(prog="dravlen")
