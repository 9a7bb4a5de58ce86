"""Whole trees moved for the verbs (``put``, ``get -r``, ``rm -r``, ``sync``)
by the tree engine (`dravlen.ftp.tree`), with the progress bar, SIGTERM
taken as Ctrl-C, and closing lines that say what was skipped."""

from __future__ import annotations

import ftplib
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from dravlen.ftp import tree
from dravlen.ftp.cli.errors import Failure, Failures, Stopped, failure_of, reason_of, words
from dravlen.ftp.cli.output import Bar, name_bytes, names_for_stdout, out, shown
from dravlen.ftp.remote import RemotePath
from dravlen.ftp.tree.results import LEAVES_FOLDER
from dravlen.ftp.tree.sync import Rules
from dravlen.ftp.wire.rate import RateLimit

__all__ = ["download", "remove", "sync", "upload"]


def _into(destination: str, name: str) -> str:
    # As lftp's mirror: the destination is the copy of the source, whether it
    # exists or not; one ending in / receives the source under its own name.
    if destination.endswith("/"):
        return destination.rstrip("/") + "/" + name if destination.rstrip("/") else "/" + name
    return destination


def upload(cls: type[RemotePath], local: str, remote: str, *, jobs: int, temporary_names: bool,
           resume: bool = False, max_rate: RateLimit | None = None) -> None:
    """``put``: *local* (a file or a tree) becomes *remote*, or goes inside
    it when *remote* ends in /."""
    local = local.rstrip("/") or "/"
    remote = _into(remote, os.path.basename(os.path.abspath(local)))
    if not os.path.exists(local):
        raise Failure(local, "No such file or directory")
    try:
        target = cls(remote)
        _run(lambda bar: tree.upload_tree(local, target, connections=jobs, progress=bar,
                                          temporary_names=temporary_names, resume=resume, max_rate=max_rate),
             "put", target)
    except OSError as exc:
        raise failure_of(exc, remote) from None


def download(source: RemotePath, local: str | None, *, jobs: int, resume: bool = False,
             max_rate: RateLimit | None = None) -> None:
    """``get -r``: *local* (by default the source's name, here) becomes the
    copy of the tree *source*, or receives it when *local* ends in /."""
    name = source.path.name if source.path.name not in ("", ".", "..") else "download"
    local = _into(local, name) if local is not None else name
    try:
        _run(lambda bar: tree.download_tree(source, local, connections=jobs, progress=bar, resume=resume,
                                            max_rate=max_rate), "get", source)
    except FileNotFoundError as exc:
        raise Failure(exc.filename or source, "No such file or directory") from None
    except OSError as exc:
        raise Failure(exc.filename or local, reason_of(exc)) from None


def remove(path: RemotePath, *, jobs: int) -> None:
    """``rm -r``: *path* and everything below it."""
    try:
        _run(lambda bar: tree.remove_tree(path, connections=jobs, progress=bar), "rm", path, in_files=True)
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None


def sync(local: str, remote: RemotePath, *, up: bool, delete: bool, dry_run: bool, exclude: Sequence[str],
         jobs: int, checksum: bool = False, max_rate: RateLimit | None = None) -> None:
    """``sync``: *remote* made the copy of *local* (*up*) or the other way
    round, moving only what is missing or differs; with *checksum*, by
    content, each copy confirmed by hash too."""
    rules = Rules(exclude=tuple(exclude), delete=delete, dry_run=dry_run, checksum=checksum)
    verify = "hash" if checksum else "size"
    if up:
        def work(bar: Bar) -> tree.Outcome:
            return tree.upload_tree(local, remote, connections=jobs, progress=bar, rules=rules, verify=verify,
                                    max_rate=max_rate)
    else:
        def work(bar: Bar) -> tree.Outcome:
            # Its own partial files (.NAME.dravlen-part) a stopped run left are continued.
            return tree.download_tree(remote, local, connections=jobs, progress=bar, rules=rules, verify=verify,
                                      resume=True, max_rate=max_rate)
    try:
        _run(work, "sync", remote, rules=rules)
    except FileNotFoundError as exc:
        if up:  # the local side was there: what went missing is the one named
            raise failure_of(exc, remote) from None
        raise Failure(remote, "No such file or directory") from None
    except OSError as exc:
        raise failure_of(exc, remote) from None
    except (EOFError, ftplib.Error) as exc:
        raise Failure(remote, words("sync", reason_of(exc))) from None


# What each verb's failures say could not be done, before a bare reply.
_DOING = {"put": "upload", "get": "download", "rm": "remove", "sync": "sync"}


def _run(work: Callable[[Bar], tree.Outcome], verb: str, remote: RemotePath, in_files: bool = False,
         rules: Rules | None = None) -> tree.Outcome:
    """Run a tree operation with a progress bar; its failures are raised as
    `Failures`, about *remote*'s server.  SIGTERM stops it as Ctrl-C does
    (files being written are removed).  A run that skipped or deleted files
    says how many, on stderr, and so does one that passed entries over (exit
    status 0 all the same)."""
    try:
        with _terminate_as_interrupt(), Bar(verb, tree=True, in_files=in_files) as bar:
            outcome = work(bar)
    except tree.Interrupted as stopped:
        raise Stopped(str(stopped)) from None
    except tree.TreeError as error:
        # Said once the bar is gone.
        _passed_over(verb, error.passed_over)
        raise Failures(error.failures, error.progress, _DOING[verb], remote) from None
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


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


@contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    # Only the main thread may set a signal's handler.
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


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
