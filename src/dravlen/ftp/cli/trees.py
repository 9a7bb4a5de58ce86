"""The command line's tree verbs: ``put``, ``get -r``, ``rm -r`` and
``sync``, all on the one tree engine (`dravlen.ftp.tree`), with a progress
bar that fits the terminal and a closing line that says what was skipped."""

from __future__ import annotations

import argparse
import ftplib
import os
import signal
import sys
import threading
from typing import Any, Callable, Optional

from dravlen.ftp import tree
from dravlen.ftp.wire import replies
from dravlen.ftp.clisupport import Failure, Servers, name_bytes, names_for_stdout, out, shown, where_of, words
from dravlen.ftp.path import FTPPath
from dravlen.ftp.tree.results import LEAVES_FOLDER
from dravlen.ftp.tree.sync import Rules
from dravlen.urls import is_url

__all__ = ["Failures", "Usage", "cmd_get_tree", "cmd_put", "cmd_rm", "cmd_sync", "failure_of", "reason_of",
           "report_tree"]


class Usage(Exception):
    """The arguments cannot be taken as given; exit 2."""


def reason_of(exc: BaseException) -> str:
    return replies.reason(exc).rstrip(".")


def failure_of(exc: OSError, remote: object, reason: str | None = None) -> Failure:
    """The failure to report for *exc*: about the local file it names, if it
    names one (the local side failed), else about *remote*."""
    if exc.filename:
        return Failure(exc.filename, reason_of(exc).removeprefix(f"{exc.filename!r} "))
    return Failure(remote, reason if reason is not None else reason_of(exc))


class Failures(Exception):
    """Several paths failed; each is reported, then exit 1.  *path*: the
    remote side, whose server the report names."""

    def __init__(self, failures: list[tuple[str, str]], progress: tree.Progress, path: Any = None) -> None:
        super().__init__(f"{len(failures)} failed")
        self.failures = failures
        self.progress = progress
        self.path = path


def report_tree(failures: Failures, servers: Servers, verb: str, path: Any = None) -> None:
    for where, reason in failures.failures:
        print(f"dravlen: {shown(where)}: {shown(words(verb, reason))}", file=sys.stderr)
    server = where_of(path if path is not None else failures.path if failures.path is not None
                      else servers.default)
    on = f" on {server}" if server else ""
    print(f"dravlen: {len(failures.failures)} failed{on}; {failures.progress.summary()} done", file=sys.stderr)


# ---------------------------------------------------------------------------
# progress


# Below this width the rate and the time left give way to the counts.
_NARROW = 80
_WIDE_FORMAT = "{l_bar}{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}, {rate_fmt}{postfix}]"
_NARROW_FORMAT = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt}{unit}{postfix}"


class _Bar:
    """Progress on stderr when it is a terminal (tqdm), nothing elsewhere:
    in bytes with the files beside them, or (*in_files*, for a removal) in
    files.  Files found complete are counted as skipped, in words."""

    def __init__(self, verb: str, in_files: bool = False) -> None:
        self.verb = verb
        self.in_files = in_files
        self.bar = None
        self.shown = 0
        if not sys.stderr.isatty():
            return
        from tqdm import tqdm

        try:
            columns, lines = os.get_terminal_size(sys.stderr.fileno())
        except OSError:
            columns = lines = 0
        # A terminal that tells no size (0 x 0) would get no bar at all.
        narrow = 0 < columns < _NARROW
        units: dict[str, Any] = (dict(unit=" files") if in_files
                                 else dict(unit="B", unit_scale=True, unit_divisor=1024))
        self.bar = tqdm(total=0, file=sys.stderr, dynamic_ncols=bool(columns and lines),
                        ncols=None if columns else 80, nrows=None if lines else 24, leave=True,
                        desc=verb, bar_format=_NARROW_FORMAT if narrow else _WIDE_FORMAT, **units)

    def __call__(self, progress: tree.Progress) -> None:
        bar = self.bar
        if bar is None:
            return
        total, done = ((progress.files_total, progress.files_done) if self.in_files
                       else (progress.bytes_total, progress.bytes_done))
        if bar.total != total:
            bar.total = total
        if not self.in_files:
            more = "+" if progress.listing else ""
            text = f"{progress.files_done}/{progress.files_total}{more} files"
            if progress.skipped:
                text += f", {progress.skipped} skipped"
            bar.set_postfix_str(text, refresh=False)
        bar.update(done - self.shown)
        self.shown = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _passed_over(verb: str, entries: tuple[tuple[str, str], ...]) -> None:
    """Say on stderr what a tree operation left alone: one line counting the
    listed names that leave their folder (the listing's warnings name each),
    one line for each other entry.  They are no failure: a folder holds no
    such name, and the copy is of everything it does hold."""
    leaving = sum(1 for _, why in entries if why.startswith(LEAVES_FOLDER))
    if leaving:
        print(f"{verb}: skipped {leaving} {'entry whose name leaves' if leaving == 1 else 'entries whose names leave'}"
              " the folder", file=sys.stderr)
    for path, why in entries:
        if not why.startswith(LEAVES_FOLDER):
            print(f"{verb}: skipped {shown(path)}: {shown(why)}", file=sys.stderr)


def run_tree(work: Callable[[_Bar], tree.Outcome], verb: str, in_files: bool = False,
             rules: Optional[Rules] = None, where: Any = None) -> tree.Outcome:
    """Run a tree operation with a progress bar; failures become one
    ``dravlen: <path>: <reason>`` line each, and exit status 1.  SIGTERM
    stops it as Ctrl-C does (files being written are removed).  A run that
    skipped or deleted files says how many, on stderr, and so does one that
    passed entries over (exit status 0 all the same)."""
    bar = _Bar(verb, in_files)
    previous = None
    outcome = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        outcome = work(bar)
    except tree.TreeError as error:
        bar.close()  # before anything more is said
        _passed_over(verb, error.passed_over)
        raise Failures(error.failures, error.progress, where) from None
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        bar.close()
    deleted = rules.deleted if rules is not None else 0
    _passed_over(verb, outcome.passed_over)
    if rules is not None and rules.dry_run:
        show = names_for_stdout()
        for action, path in sorted(rules.planned, key=lambda step: step[1]):
            out(name_bytes(f"{action} {show(path)}\n"))
        print(f"{verb}: dry run, nothing changed: {_plural(outcome.files, 'file')} to move,"
              f" {outcome.skipped} skipped (already complete)", file=sys.stderr)
    elif outcome.skipped or deleted:
        text = f"{verb}: {_plural(outcome.files, 'file')} moved, {outcome.skipped} skipped (already complete)"
        print(text + (f", {deleted} deleted" if deleted else ""), file=sys.stderr)
    return outcome


# ---------------------------------------------------------------------------
# the verbs


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
    temporary = args.temporary_names
    try:
        run_tree(lambda bar: tree.upload_tree(local, cls(remote), connections=args.jobs,
                                              progress=bar, temporary_names=temporary), "put")
    except OSError as exc:
        raise failure_of(exc, remote) from None


def cmd_get_tree(cls: type[FTPPath], args: argparse.Namespace) -> None:
    source = cls(args.remote)
    name = source.path.name if source.path.name not in ("", ".", "..") else "download"
    local = _into(args.local, name) if args.local is not None else name
    try:
        run_tree(lambda bar: tree.download_tree(source, local, connections=args.jobs,
                                                progress=bar), "get")
    except FileNotFoundError as exc:
        raise Failure(exc.filename or source, "No such file or directory") from None
    except OSError as exc:
        raise Failure(exc.filename or local, reason_of(exc)) from None


def cmd_rm(cls: type[FTPPath], args: argparse.Namespace) -> None:
    path = cls(args.path)
    if path.path.name in ("", ".", ".."):
        raise Failure(path, "refusing to remove a top or parent directory")
    if args.recursive:
        try:
            run_tree(lambda bar: tree.remove_tree(path, connections=args.jobs, progress=bar), "rm",
                     in_files=True)
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


def _remote(text: str) -> bool:
    return is_url(text) or text.startswith(":")


def cmd_sync(servers: Servers, args: argparse.Namespace) -> None:
    """``sync SRC DST``: DST made the copy of SRC, moving only what is
    missing or differs; one side remote (a URL, or ``:PATH`` on the
    configured server), the other local."""
    up = _remote(args.destination)
    if up == _remote(args.source):
        raise Usage("one side must be remote (an ftp:// or ftps:// URL, or :PATH on the configured"
                    " server) and the other local")
    remote_text, local = (args.destination, args.source) if up else (args.source, args.destination)
    remote = servers.path(remote_text[1:] if remote_text.startswith(":") else remote_text)
    if not local:
        raise Usage("the local side is empty")
    if up and not os.path.exists(local):
        raise Failure(local, "No such file or directory")
    rules = Rules(exclude=tuple(args.exclude), delete=args.delete, dry_run=args.dry_run)
    if up:
        def work(bar: _Bar) -> tree.Outcome:
            return tree.upload_tree(local, remote, connections=args.jobs, progress=bar, rules=rules)
    else:
        def work(bar: _Bar) -> tree.Outcome:
            return tree.download_tree(remote, local, connections=args.jobs, progress=bar, rules=rules)
    try:
        run_tree(work, "sync", rules=rules, where=remote)
    except FileNotFoundError as exc:
        if up:  # the local side was there: what went missing is the one named
            raise failure_of(exc, remote) from None
        raise Failure(remote, "No such file or directory") from None
    except OSError as exc:
        raise failure_of(exc, remote) from None
    except (EOFError, ftplib.Error) as exc:
        raise Failure(remote, words("sync", reason_of(exc))) from None
