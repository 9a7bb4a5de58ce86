"""The parser of the command line, and `main`: the one place that reads the
parser's namespace, hands each verb its arguments, and turns what the verb
raised into an exit status.

Nothing of the verbs is imported until the line is parsed: ``--help`` and
``--version`` need only the parser.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

import dravlen

if TYPE_CHECKING:
    from dravlen.ftp.cli.servers import Servers
    from dravlen.ftp.wire.rate import RateLimit

__all__ = ["PROG", "build_parser", "main", "run"]

PROG = "python -m dravlen.ftp"


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    # The verbs, their servers and the tree engine, now that a verb is to run.
    import ftplib

    from dravlen.ftp.cli import output
    from dravlen.ftp.cli.errors import Failure, Failures, Reported, StdoutClosed, Stopped, Usage
    from dravlen.ftp.cli.servers import Servers

    output.set_debug(args.debug)
    output.warnings_on_stderr()
    try:
        servers = Servers(args.section, args.url, settings_given(args))
    except ValueError as exc:  # a URL that names no usable server (ConfigError too)
        output.debug(exc)
        parser.error(str(exc))
    if args.verbose:
        output.show_conversation()
    try:
        _run(servers, args)
    except Usage as exc:
        args.command_parser.error(str(exc))
    except Reported:
        return 1
    except (Failure, Failures) as failure:
        output.report(failure)
        return 1
    except Stopped as stopped:
        print(f"dravlen: {output.shown(str(stopped))}", file=sys.stderr)
        return 130
    except StdoutClosed:
        return 141  # as a shell reports a command ended by SIGPIPE
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # noqa: BLE001 - one line, never a traceback (but for --debug)
        output.debug(exc)
        message = str(exc) if isinstance(exc, (ValueError, OSError, ftplib.Error)) else f"{type(exc).__name__}: {exc}"
        print(f"dravlen: {output.shown(message)}", file=sys.stderr)
        return 1
    return 0


def run() -> int:
    """The ``dravlen`` command."""
    return main(prog="dravlen")


def _run(servers: Servers, args: argparse.Namespace) -> None:
    """Run the verb the line names with the arguments given to it."""
    from dravlen.ftp.cli import verbs

    match args.command:
        case "ls":
            verbs.ls(servers, args.paths, long=args.long, all_names=args.all, human_sizes=args.human,
                     classify=args.classify)
        case "stat":
            verbs.stat(servers, args.paths)
        case "cat":
            verbs.cat(servers, args.paths)
        case "get":
            verbs.get(servers, args.paths, recursive=args.recursive, jobs=args.jobs,  # a tree's only
                      resume=args.resume, max_rate=_limit(args), segments=args.segments)
        case "mv":
            verbs.mv(servers, args.paths)
        case "put":
            verbs.put(servers, args.paths, temporary_names=args.temporary_names, jobs=int(args.jobs),
                      resume=args.resume, max_rate=_limit(args))
        case "rm":
            verbs.rm(servers, args.paths, recursive=args.recursive, force=args.force, jobs=int(args.jobs))
        case "sync":
            verbs.sync(servers, args.source, args.destination, delete=args.delete, dry_run=args.dry_run,
                       checksum=args.checksum,
                       exclude=args.exclude, jobs=int(args.jobs), max_rate=_limit(args))
        case "mkdir":
            verbs.mkdir(servers, args.paths)


def _limit(args: argparse.Namespace) -> RateLimit | None:
    """``--limit-rate``'s one limit, shared by everything the command line
    moves; None: the server's ``max_rate``."""
    from dravlen.ftp.wire.rate import RateLimit

    rate: int | None = args.limit_rate
    return None if rate is None else RateLimit(rate)


# ---------------------------------------------------------------------------
# the parser


def _rate(text: str) -> int:
    from dravlen.ftp.wire.rate import parse_rate

    try:
        return parse_rate(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _transfer_options(sub: argparse.ArgumentParser, resume: bool = True) -> None:
    if resume:
        sub.add_argument("-c", "--continue", dest="resume", action="store_true",
                         help="continue partial files (sizes compared, the partial one taken for the start"
                         " of the file, as curl -C - and lftp get -c do): a download its own .NAME.dravlen-part"
                         " file, an upload the server's shorter file (REST and STOR, or APPE); partial files"
                         " are kept when it fails")
    sub.add_argument("--limit-rate", metavar="RATE", type=_rate, default=None,
                     help="move at most RATE bytes a second, all connections together (k, M, G: KiB, MiB,"
                     " GiB; default: the server's max_rate, else no limit)")


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"needs a whole number of connections, at least 1: {text!r}")
    return value


class _EngineConnections:
    """``-j``'s default, the tree engine's, read only once help shows it or a
    verb runs (``int()``): building the parser imports no engine."""

    def __int__(self) -> int:
        from dravlen.ftp.tree import DEFAULT_CONNECTIONS

        return DEFAULT_CONNECTIONS

    def __str__(self) -> str:
        return str(int(self))


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
    for option, setting, value, metavar, summary in _SETTINGS:
        if value is None:
            parser.add_argument(option, metavar=metavar, dest=_DEST + setting, default=default(None), help=summary)
        else:
            parser.add_argument(option, action="store_const", const=value, dest=_DEST + setting,
                                default=default(None), help=summary)


#: The options that set one setting of every server the line names (the
#: section's, --url's, each URL argument's), over what that server's own
#: settings say: option, setting, value (None: the option's argument),
#: metavar, help.
_SETTINGS: tuple[tuple[str, str, object, str | None, str], ...] = (
    ("--active", "pasv", False, None,
     "active mode: the server connects back for data (PORT/EPRT), where a firewall blocks its passive ports"),
    ("--proxy", "proxy", None, "URL",
     "connect through this proxy: socks5://, socks5h:// or http://[user[:password]@]host:port; none for none"),
    ("--certfile", "certfile", None, "FILE", "client certificate (PEM) for an ftps:// server that requires one"),
    ("--keyfile", "keyfile", None, "FILE", "the private key of --certfile (default: in the same file)"),
)
_DEST = "setting_"


def settings_given(args: argparse.Namespace) -> dict[str, object]:
    """The settings the parsed line *args* gives every server (`_SETTINGS`)."""
    return {setting: getattr(args, _DEST + setting) for _, setting, *_ in _SETTINGS
            if getattr(args, _DEST + setting, None) is not None}


_TREE_RULE = ("put SRC DST and get -r SRC DST make DST the copy of SRC whether DST exists or not;"
              " a second run moves only what is missing or differs.")


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
    parser.add_argument("--version", action="version", version=f"%(prog)s {dravlen.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str, usage: str | None = None,
                add_help: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=summary, usage=usage,
                                  add_help=add_help)
        sub.set_defaults(command_parser=sub)
        return sub

    def jobs(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=_EngineConnections(),
                         help="connections used at once (default: %(default)s; fewer where the"
                         " server allows fewer)")

    # -h is ls's "human sizes", as with ls -lh; --help stays.
    ls = command("ls", "List remote directories, or the files named.", add_help=False)
    ls.add_argument("--help", action="help", help="show this help message and exit")
    ls.add_argument("paths", metavar="PATH", nargs="*", help="default: the start directory")
    ls.add_argument("-l", "--long", action="store_true",
                    help="show kind, size and modification time (UTC), all from the one listing")
    ls.add_argument("-a", "--all", action="store_true", help="show names starting with '.' too")
    ls.add_argument("-h", "--human-readable", dest="human", action="store_true",
                    help="with -l, sizes as 1.5K, 12M")
    ls.add_argument("-F", "--classify", action="store_true", help="append / to directories, @ to links")

    command("stat", "Show whether PATH exists, its kind, size and modification time (UTC)."
            ).add_argument("paths", metavar="PATH", nargs="+")

    command("cat", "Write the bytes of remote files to stdout.").add_argument("paths", metavar="PATH", nargs="+")

    get = command("get", "Download remote files, or with -r directory trees. " + _TREE_RULE,
                  usage="%(prog)s [options] REMOTE... [LOCAL]")
    get.add_argument("paths", metavar="REMOTE... [LOCAL]", nargs="+",
                     help="what to download, then where: a local name, a directory (needed for"
                     " several), or - for stdout (default: here, same name)")
    get.add_argument("-r", "-R", "--recursive", action="store_true",
                     help="download directories and everything below them")
    _transfer_options(get)
    get.add_argument("--segments", metavar="N", type=_jobs, default=None,
                     help="a file over N connections at once, each a REST and RETR of its own part (as lftp's"
                     " pget -n); default: several for a big file, else 1; 1 where the server refuses REST")
    jobs(get)

    mv = command("mv", "Rename or move remote files or directories.", usage="%(prog)s [options] SOURCE... TARGET")
    mv.add_argument("paths", metavar="SOURCE... TARGET", nargs="+",
                    help="TARGET ending in / (or several sources) moves into that directory")

    put = command("put", "Upload local files or directory trees. " + _TREE_RULE,
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
    _transfer_options(put)
    jobs(put)

    rm = command("rm", "Delete remote files, or with -r directories and all below them.")
    rm.add_argument("paths", metavar="PATH", nargs="+")
    rm.add_argument("-r", "-R", "--recursive", action="store_true",
                    help="delete directories and their contents (links are removed, not followed)")
    rm.add_argument("-f", "--force", action="store_true", help="what is not there is no error")
    jobs(rm)

    sync = command("sync", "Make DST the copy of SRC, moving only what is missing or differs in size or time."
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
    sync.add_argument("-c", "--checksum", action="store_true",
                      help="compare files of the same size by content (the server's hash: HASH, XSHA256...)"
                      " instead of time, and confirm each copy by hash; fails if the server has none")
    _transfer_options(sync, resume=False)
    jobs(sync)

    mkdir = command("mkdir", "Create remote directories and any missing parents.")
    mkdir.add_argument("paths", metavar="PATH", nargs="+")
    mkdir.add_argument("-p", "--parents", action="store_true", help="accepted for habit: always so")
    return parser
