"""Upload: a local file or tree made the copy on the server."""

from __future__ import annotations

import ftplib
import os
import socket
import stat
from collections.abc import Callable
from functools import partial
from pathlib import PurePosixPath
from typing import TYPE_CHECKING

from dravlen.base import BasePath
from dravlen.ftp.wire.dialects import NO_MLSD, waits_out_transfers
from dravlen.ftp.wire.replies import IncompleteTransfer, reason
from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.results import Outcome, Progress
from dravlen.ftp.tree.sync import (Rules, by_content, hashes_first, planned_copy, prune, remote_extras, same_content,
                                   set_remote_time)
from dravlen.ftp.wire.checksums import VERIFY, ChecksumMismatch, hash_check
from dravlen.ftp.tree.worker import (ASKED_AT_ONCE, BLOCK, DEFAULT_CONNECTIONS, REPORT_EVERY, Final, Stopped,
                                     Task, Worker)
from dravlen.ftp.wire.client import finish, finish_then, passive_ipv4, transfer
from dravlen.whole import temporary_name
from dravlen.ftp.copies import call_limit, start_again, upload_start
from dravlen.ftp.wire.pacing import Sender
from dravlen.ftp.wire.rate import RateLimit
from dravlen.ftp.wire.transfer import open_continued, size_or_none
from dravlen.ftp.wire.listing import KIND_WORDS
from dravlen.ftp.tree.walk import (LocalDir, as_posix, child, class_of, entries,
                                   no_earlier, top_entry, walk_local)

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Entry

_STORE = "cannot store the file"


def _temporary(remote: str) -> str:
    path = PurePosixPath(remote)
    return str(path.with_name(temporary_name(path.name)))


def _delete_cut_short(worker: Worker, pool: Pool, target: str) -> None:
    """Delete what a transfer stopped half-way left, on the worker's own
    connection; where that fails, the calling thread tries again."""
    if not worker.end_stopped_transfer():
        return
    try:
        worker.client.voidcmd("DELE " + target)
    except Exception:
        worker.path._drop_client()
    else:
        pool.writing_ends(target)


class Batch:
    """The files stored into one folder, confirmed together by one machine
    listing (MLSD) of it once the last is stored, in place of a SIZE per file.  A file the
    listing shows short is stored again; one it gives no size for is asked
    with SIZE.  Until then each stays among the files being written."""

    def __init__(self, pool: Pool, folder: str, count: int) -> None:
        self.pool, self.folder, self.left = pool, folder, count
        self.held: dict[str, tuple[int, int, Callable[[Worker], None]]] = {}  # remote -> sent, reported, again

    def stored(self, remote: str, sent: int, reported: int, again: Callable[[Worker], None]) -> None:
        with self.pool.cond:
            self.held[remote] = (sent, reported, again)
        self.one_less()

    def one_less(self) -> None:
        """A file of the folder is stored, or given up."""
        with self.pool.cond:
            self.left -= 1
            last = self.left == 0 and bool(self.held)
        if last:
            self.pool.put(Task(self.folder, self.check, directory=True))

    def check(self, worker: Worker) -> None:
        listed: dict[str, Entry | None] = {}
        for e in worker.list_once(self.folder):
            path = child(self.folder, e.name)
            listed[path] = None if path in listed else e  # named twice: neither is taken
        pool = self.pool
        if hasattr(worker.client, NO_MLSD):
            # LIST's names and sizes are the server's text, not facts: SIZE asks.
            pool.plain_listing = True
            self.check_sizes(worker)
            return
        for remote, (sent, reported, again) in sorted(self.held.items()):
            entry = listed.get(remote)
            if entry is not None and entry.kind == "file" and entry.size == sent:
                pool.writing_ends(remote)
                pool.finished(remote, sent - reported)
            else:
                task = again if entry is not None and entry.size is not None else partial(
                    _confirm_alone, pool=pool, remote=remote, sent=sent, reported=reported, again=again)
                if reported:
                    pool.moved(-reported)
                pool.put(Task(remote, task))


    def check_sizes(self, worker: Worker) -> None:
        """Confirm the held files by their SIZE, asked together (a round trip
        for up to a hundred files, not one each).  Each leaves the held ones
        once decided, so a try again after a lost connection asks only the rest."""
        pool = self.pool
        while self.held:
            some = sorted(self.held.items())[:ASKED_AT_ONCE]
            for (remote, (sent, reported, again)), answer in zip(some, worker.sizes([r for r, _ in some])):
                try:
                    worker.confirm(remote, sent, answer=answer)
                except IncompleteTransfer:
                    del self.held[remote]
                    if reported:
                        pool.moved(-reported)
                    pool.put(Task(remote, again))
                    continue
                del self.held[remote]
                pool.writing_ends(remote)
                pool.finished(remote, sent - reported)


def _confirm_alone(worker: Worker, pool: Pool, remote: str, sent: int, reported: int,
                   again: Callable[[Worker], None]) -> None:
    try:
        worker.confirm(remote, sent)
    except IncompleteTransfer:
        again(worker)
        return
    pool.writing_ends(remote)
    pool.finished(remote, sent)


def store(worker: Worker, pool: Pool, local: str, remote: str, size: int,
          temporary: bool = False, mtime: float | None = None, batch: Batch | None = None,
          verify: str = "size", start: int = 0, keep: bool = False, tries: Tries | None = None) -> None:
    """STOR one file (under a temporary name beside it, renamed into place,
    when *temporary*), then check with SIZE that the server has all of it
    (or leave that to the folder's *batch*), and with *verify* ``"hash"``
    that its hash is that of the bytes sent (a copy that differs is
    deleted); then give it the local time *mtime* where the server can.
    *start*: the bytes the server's file holds already, continued (REST and
    STOR, or APPE: `open_continued`) where the server can, else sent again
    whole, and said so.  *keep*: a file cut short stays on the server (for
    a later call to continue) rather than being removed.  *tries*: the
    task's own, so that a try after one cut short on the way continues from
    the server's ``SIZE`` of the file."""
    try:
        source = open(local, "rb")
    except OSError as exc:
        raise Final(reason(exc)) from None
    target = _temporary(remote) if temporary else remote
    reported = sent = 0
    with source:
        check = None
        if verify != "size":
            worker.give_up_ahead()
            check = hash_check(worker.path, verify)
        address = worker.take_ahead()  # before anything else is sent on the client
        client = worker.binary()
        worker.doing = _STORE
        if not keep:
            pool.writing_begins(target)
        rate = pool.rate
        try:
            if tries is not None and tries.cut and check is None and not temporary:
                address = None  # a SIZE goes between the PASV sent ahead and the STOR
                start = _start_of(worker.path, target, size_or_none(worker.sizes([target])[0]), size)
            # A hash must cover every byte, and a temporary name is new: both start at 0.
            conn = _continued(worker, target, start) if start and check is None and not temporary else None
            start = start if conn is not None else 0
            source.seek(start)
            # Nothing goes on the data connection before the server's 150: a
            # server that accepts data connections at once (pyftpdlib) drops
            # one whose bytes, or end, arrive before the STOR is read, and
            # then waits for a connection that never comes.
            with conn or transfer(worker.path, client, address, "STOR " + target) as conn:
                worker.sockets.append(conn)
                sender = Sender(conn)
                while True:
                    if pool.stop.is_set():
                        raise Stopped()
                    try:
                        block = source.read(min(BLOCK, rate.block) if rate.rate else BLOCK)
                    except OSError as exc:
                        raise Final(f"reading {local}: {reason(exc)}", clean=False) from None
                    if not block:
                        break
                    rate.take(len(block))
                    sender.send(block)
                    if check is not None:
                        check.update(block)
                    sent += len(block)
                    if sent - reported >= REPORT_EVERY:
                        pool.moved(sent - reported)
                        reported = sent
                alone = batch is None or pool.plain_listing or hasattr(client, NO_MLSD)
                ahead = not temporary and mtime is None and check is None and pool.file_next()
                early = _sent_early(client, target, alone, ahead) if waits_out_transfers(client) else []
                answers = finish_then(client, conn, early) if early else [finish(client, conn)]
            # The address kept must be the last thing the client was asked.
            passive = answers[-1] if early and early[-1] == "PASV" else None
            if not alone:
                assert batch is not None
                if passive is not None:
                    worker.keep_passive(client, passive)
                batch.stored(remote, start + sent, reported, partial(store, pool=pool, local=local, remote=remote,
                                                                     size=size))
                return
            if early:
                # Asked as the data ended, answered after the transfer's reply.
                worker.confirm(target, start + sent, answer=answers[0])
                if passive is not None:
                    worker.keep_passive(client, passive)
            else:
                # Nothing else follows here: the next file's PASV rides with the SIZE.
                worker.confirm(target, start + sent, ahead=ahead)
            if check is not None:
                worker.doing = "cannot confirm the file's hash"
                check.confirm(worker.cls(target), sent)
            if temporary:
                worker.doing = "cannot rename the file into place"
                client.rename(target, remote)
            if mtime is not None:
                worker.doing = "cannot set the file's time"
                set_remote_time(worker, remote, mtime)
        except BaseException as exc:
            if tries is not None and sent:
                # The server may hold some of it: the next try asks, unless it
                # was continued and found the wrong size (then all goes again).
                tries.cut = not (start and isinstance(exc, IncompleteTransfer))
            if reported:
                pool.moved(-reported)
            if isinstance(exc, Stopped) and keep:
                worker.end_stopped_transfer()  # the part sent stays, for the next call to continue
            elif isinstance(exc, Stopped):
                _delete_cut_short(worker, pool, target)
            elif not (pool.stop.is_set() or isinstance(exc, KeyboardInterrupt)):
                pool.writing_ends(target)  # a failure: reported, and tried again or not
                if (temporary and isinstance(exc, (ftplib.error_perm, IncompleteTransfer))
                        or isinstance(exc, ChecksumMismatch)):
                    # The client is in step: the file set aside goes (a retry
                    # uses a new name), and so does a copy that is not the file.
                    try:
                        client.delete(target)
                    except Exception:
                        pass
            raise
        finally:
            del worker.sockets[1:]
    pool.writing_ends(target)
    # If the file changed while it was read, what is there is what was read.
    pool.finished(remote, start + sent - reported)
    if batch is not None:
        batch.one_less()  # confirmed by itself (no machine listing here)


def _continued(worker: Worker, target: str, start: int) -> socket.socket | None:
    """The data connection continuing *target* at byte *start*; None, said
    in a warning naming the path and the server, where the server continues
    no upload (the file is then sent whole)."""
    try:
        return open_continued(worker.cls(target), start)[1]
    except (ftplib.error_perm, ftplib.error_temp) as exc:
        start_again(worker.path, target, f"the server continues no upload ({exc})")
        return None


class Tries:
    """What the tries of one upload task have done: *cut*, whether one was
    cut short after sending some of the file."""

    __slots__ = ("cut",)

    def __init__(self) -> None:
        self.cut = False


def _file_size(entry: Entry | None) -> int | None:
    """The size of the listed *entry*, where it is a file."""
    return entry.size if entry is not None and entry.kind == "file" else None


def _start_of(path: BasePath, target: str, there: int | None, size: int) -> int:
    """Where a resumed upload of *size* bytes onto the server's file *target*
    of *there* bytes starts (`upload_start`); 0 where the sizes agree: such
    a file is not complete by its time, and goes again whole."""
    start = upload_start(path, target, there, size)
    return start if start < size else 0


def _sent_early(client: ftplib.FTP, target: str, alone: bool, ahead: bool) -> list[str]:
    """What goes as an upload's data ends, to a server that reads it only
    once the transfer has ended: the file's SIZE where it is confirmed
    *alone*, and with *ahead* the next transfer's PASV (last: some servers
    read nothing after it until its data connection is made)."""
    return [*(["SIZE " + target] if alone else []), *(["PASV"] if ahead and passive_ipv4(client) else [])]


def _complete_remotely(entry: Entry, size: int, mtime: float) -> bool | None:
    """Whether the listed *entry* already holds the local file: same size,
    and a server time no earlier than the local one; None where only the
    file's exact time can tell."""
    if entry.kind != "file" or entry.size != size:
        return False
    return no_earlier(entry, mtime)


def upload_tree(local: str | os.PathLike[str], remote: BasePath | str, *,
                connections: int = DEFAULT_CONNECTIONS,
                progress: Callable[[Progress], object] | None = None,
                temporary_names: bool = False, rules: Rules | None = None, verify: str = "size",
                resume: bool = False, max_rate: int | str | RateLimit | None = None) -> Outcome:
    """Upload the local file or directory *local* to *remote* (the path it
    will have on the server) over *connections* connections.

    Missing remote parents are made; an existing remote directory becomes
    the copy of *local*, skipping files that are there already with the same
    size and a time no earlier than the local file's.  With
    *temporary_names*, each file is stored under a temporary name beside its
    own and renamed into place once its size is confirmed (two more commands
    per file), for folders that other programs watch.  With *rules*
    (`Rules`: keeping in step), each file is given its local time with
    ``MFMT`` where the server knows the command, and the rules leave entries
    out, remove what the local side does not have, or only write the steps
    down (a dry run).  With *verify* ``"hash"``, each file sent must have,
    on a server that computes one, the hash of the bytes read (a copy that
    differs is deleted and sent again; `dravlen.ftp.wire.checksums`).
    With *resume*, a file on the server shorter than the local one (and
    not complete by size and time) is taken for its start and continued
    (`store`), and a file cut short is kept rather than removed, for the
    next call to continue; sizes alone are compared, as lftp's ``put -c``
    does.  *max_rate* (bytes a second, ``"2M"``, or a shared `RateLimit`)
    limits all the call's connections together; by default the server's
    ``max_rate``.  Raises `TreeError`
    listing what failed (after doing the rest), `Interrupted` on Ctrl-C
    (after removing the files it was writing), `FileNotFoundError` when
    *local* does not exist.
    """
    local_top = os.fspath(local)
    if not isinstance(local_top, str):
        raise TypeError(f"upload_tree needs a text local path, not {local_top!r}")
    cls = class_of(remote)
    top = as_posix(remote)
    pool = Pool(f"upload of {local_top} to {top}", cls, top, connections, progress)
    st = os.stat(local_top)  # a missing local path fails here, naming it
    if verify not in VERIFY:
        raise ValueError(f"verify must be one of {', '.join(map(repr, VERIFY))}, not {verify!r}")
    send = partial(store, pool=pool, temporary=temporary_names, verify=verify, keep=resume)
    pool.rate = call_limit(cls, max_rate)
    # Keeping in step (rules given): a single file is compared first, and
    # each file gets its local time (one more command per file).
    in_step = rules is not None
    rules = rules or Rules()

    if stat.S_ISREG(st.st_mode):
        pool.add_total(1, st.st_size)

        stamp = st.st_mtime if in_step else None

        tries = Tries()

        def one_file(worker: Worker) -> None:
            if in_step:
                try:
                    entry = top_entry(worker, top)
                except (ftplib.error_perm, FileNotFoundError):
                    entry = None
                complete = None if entry is None else _complete_remotely(entry, st.st_size, st.st_mtime)
                if rules.checksum and entry is not None:  # by content, where the sizes agree
                    complete = (entry.kind == "file" and entry.size == st.st_size
                                and same_content(worker, top, local_top))
                if complete is None and entry is not None:
                    when = worker.exact_time(top)
                    complete = when is not None and when + 1 >= st.st_mtime
                if complete:
                    pool.finished(top, st.st_size, skipped=True)
                    return
                if rules.dry_run:
                    planned_copy(rules, pool, "upload", top, st.st_size)
                    return
            start = 0
            if resume:
                try:
                    start = _start_of(worker.path, top, _file_size(top_entry(worker, top)), st.st_size)
                except (ftplib.error_perm, FileNotFoundError):
                    pass  # no parent either: nothing to continue
            try:
                send(worker, local=local_top, remote=top, size=st.st_size, mtime=stamp, start=start, tries=tries)
            except ftplib.error_perm:
                # Refused: most often a missing parent, which is made once here
                # rather than probed before every upload.
                parent = PurePosixPath(top).parent
                if parent.name in ("", ".", ".."):
                    raise
                worker.make_dirs(parent.as_posix())
                send(worker, local=local_top, remote=top, size=st.st_size, mtime=stamp)

        pool.put(Task(top, hashes_first(rules, one_file)))
        pool.run()
        return pool.outcome()
    if not stat.S_ISDIR(st.st_mode):
        raise ValueError(f"{local_top!r} is neither a regular file nor a directory")

    walk_failures: list[tuple[str, str]] = []
    tree = walk_local(local_top, walk_failures)
    prune(tree, rules)
    unreadable = {path for path, _ in walk_failures}
    for path, why in walk_failures:
        pool.fail(path, why)
    pool.add_total(*tree.count())

    def fill(node: LocalDir, there: str, existing: dict[str, Entry] | None, worker: Worker | None = None) -> None:
        """Queue the work for *node*, whose remote directory *there* now exists;
        *existing* is its listing, None when it was just made (and so empty)."""
        existing = existing or {}
        if rules.delete and existing and node.path not in unreadable:
            keep = {name for name, _, _ in node.files} | {sub.name for sub in node.dirs}
            # What could not be read here is not gone: its copy stays.
            keep |= {name for name in existing if os.path.join(node.path, name) in unreadable}
            remote_extras(pool, rules, top, there, existing, keep)
        # Where the listing is too coarse to tell, the exact times decide,
        # asked together.
        unsure = [child(there, name) for name, size, mtime in node.files if name in existing and not rules.checksum
                  and _complete_remotely(existing[name], size, mtime) is None]
        exact = worker.exact_times(unsure) if unsure and worker is not None else {}
        queued: list[tuple[str, str, int, float]] = []
        starts: dict[str, int] = {}  # resumed: the bytes each file has on the server
        for name, size, mtime in node.files:
            target = child(there, name)
            entry = existing.get(name)
            if entry is not None and rules.checksum and entry.kind == "file" and entry.size == size:
                source = os.path.join(node.path, name)
                by_content(pool, target, source, size, partial(upload_later, source, target, size, mtime))
                continue
            if entry is not None:
                complete = _complete_remotely(entry, size, mtime)
                if complete is None:
                    when = exact.get(target)
                    complete = when is not None and when + 1 >= mtime
                if complete:
                    pool.finished(target, size, skipped=True)
                    continue
                if entry.kind != "file":
                    pool.fail(target, f"is a {KIND_WORDS.get(entry.kind, entry.kind)} on the server;"
                                      " not replaced")
                    continue
            if rules.dry_run:
                planned_copy(rules, pool, "upload", target, size)
                continue
            queued.append((os.path.join(node.path, name), target, size, mtime))
            if resume:
                starts[target] = _start_of(pool.cls(target), target, _file_size(entry), size)
        # One listing confirms a folder's files, unless each must be renamed
        # or given its time once confirmed.
        batch = (Batch(pool, there, len(queued))
                 if len(queued) > 1 and not (temporary_names or in_step or verify != "size") else None)
        for source, target, size, mtime in queued:
            pool.put(Task(target, partial(send, local=source, remote=target, size=size,
                                          mtime=mtime if in_step else None, batch=batch,
                                          start=starts.get(target, 0), tries=Tries()),
                          given_up=batch.one_less if batch is not None else None))
        for sub in node.dirs:
            target = child(there, sub.name)
            entry = existing.get(sub.name)
            if entry is None and rules.dry_run:
                rules.plan("make directory", target)
                fill(sub, target, None)
            elif entry is None:
                pool.put(Task(target, partial(make, node=sub, there=target), directory=True))
            elif entry.kind == "dir":
                pool.put(Task(target, partial(refill, node=sub, there=target), directory=True))
            else:
                pool.fail(target, f"is a {KIND_WORDS.get(entry.kind, entry.kind)} on the server,"
                                  " where the local side has a directory")

    def upload_later(source: str, target: str, size: int, mtime: float) -> None:
        """Queue (or, in a dry run, plan) the upload of a file found to differ."""
        if rules.dry_run:
            planned_copy(rules, pool, "upload", target, size)
        else:
            pool.put(Task(target, partial(send, local=source, remote=target, size=size, mtime=mtime)))

    def refill(worker: Worker, node: LocalDir, there: str) -> None:
        fill(node, there, entries(worker, there, pool), worker)

    def make(worker: Worker, node: LocalDir, there: str) -> None:
        worker.cmd("MKD " + there, "cannot create the directory")
        pool.made_directory()
        fill(node, there, None)

    def start(worker: Worker) -> None:
        name = PurePosixPath(top).name
        if name in ("", ".", ".."):
            fill(tree, top, entries(worker, top, pool), worker)
            return
        if rules.dry_run:
            try:
                entry = top_entry(worker, top)
            except (ftplib.error_perm, FileNotFoundError):
                entry = None  # no parent either
            if entry is None:
                rules.plan("make directory", top)
                fill(tree, top, None)
            elif entry.kind in ("dir", "link"):
                fill(tree, top, entries(worker, top, pool), worker)
            else:
                raise Final(f"exists on the server and is a {KIND_WORDS.get(entry.kind, entry.kind)},"
                            " not a directory")
            return
        try:
            worker.cmd("MKD " + top, "cannot create the directory")
        except ftplib.error_perm as refusal:
            # MKD is the probe: refused, the parent's listing tells why.
            try:
                entry = top_entry(worker, top)
            except (ftplib.error_perm, FileNotFoundError):
                # No parent: made once, with its own missing parents.
                worker.make_dirs(PurePosixPath(top).parent.as_posix())
                worker.cmd("MKD " + top, "cannot create the directory")
            else:
                if entry is None:
                    raise Final(f"cannot create the directory: {reason(refusal)}") from None
                if entry.kind not in ("dir", "link"):
                    raise Final(f"exists on the server and is a {KIND_WORDS.get(entry.kind, entry.kind)},"
                                " not a directory") from None
                # An existing directory (or a link the user named) is filled.
                fill(tree, top, entries(worker, top, pool), worker)
                return
        pool.made_directory()
        fill(tree, top, None)

    pool.put(Task(top, hashes_first(rules, start), directory=True, top=True))
    pool.run()
    return pool.outcome()
