"""Upload: a local file or tree made the copy on the server."""

from __future__ import annotations

import ftplib
import os
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
from dravlen.ftp.tree.sync import Rules, planned_copy, prune, remote_extras, set_remote_time
from dravlen.ftp.tree.worker import (ASKED_AT_ONCE, BLOCK, DEFAULT_CONNECTIONS, REPORT_EVERY, Final, Stopped,
                                     Task, Worker)
from dravlen.ftp.wire.client import finish, finish_then, passive_ipv4, transfer
from dravlen.whole import temporary_name
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
          temporary: bool = False, mtime: float | None = None, batch: Batch | None = None) -> None:
    """STOR one file (under a temporary name beside it, renamed into place,
    when *temporary*), then check with SIZE that the server has all of it
    (or leave that to the folder's *batch*); then give it the local time
    *mtime* where the server can."""
    try:
        source = open(local, "rb")
    except OSError as exc:
        raise Final(reason(exc)) from None
    target = _temporary(remote) if temporary else remote
    reported = sent = 0
    with source:
        address = worker.take_ahead()  # before anything else is sent on the client
        client = worker.binary()
        worker.doing = _STORE
        pool.writing_begins(target)
        try:
            # Nothing goes on the data connection before the server's 150: a
            # server that accepts data connections at once (pyftpdlib) drops
            # one whose bytes, or end, arrive before the STOR is read, and
            # then waits for a connection that never comes.
            with transfer(worker.path, client, address, "STOR " + target) as conn:
                worker.sockets.append(conn)
                while True:
                    if pool.stop.is_set():
                        raise Stopped()
                    try:
                        block = source.read(BLOCK)
                    except OSError as exc:
                        raise Final(f"reading {local}: {reason(exc)}", clean=False) from None
                    if not block:
                        break
                    conn.sendall(block)
                    sent += len(block)
                    if sent - reported >= REPORT_EVERY:
                        pool.moved(sent - reported)
                        reported = sent
                alone = batch is None or pool.plain_listing or hasattr(client, NO_MLSD)
                ahead = not temporary and mtime is None and pool.file_next()
                early = _sent_early(client, target, alone, ahead) if waits_out_transfers(client) else []
                answers = finish_then(client, conn, early) if early else [finish(client, conn)]
            # The address kept must be the last thing the client was asked.
            passive = answers[-1] if early and early[-1] == "PASV" else None
            if not alone:
                assert batch is not None
                if passive is not None:
                    worker.keep_passive(client, passive)
                batch.stored(remote, sent, reported, partial(store, pool=pool, local=local, remote=remote,
                                                             size=size))
                return
            if early:
                # Asked as the data ended, answered after the transfer's reply.
                worker.confirm(target, sent, answer=answers[0])
                if passive is not None:
                    worker.keep_passive(client, passive)
            else:
                # Nothing else follows here: the next file's PASV rides with the SIZE.
                worker.confirm(target, sent, ahead=ahead)
            if temporary:
                worker.doing = "cannot rename the file into place"
                client.rename(target, remote)
            if mtime is not None:
                worker.doing = "cannot set the file's time"
                set_remote_time(worker, remote, mtime)
        except BaseException as exc:
            if reported:
                pool.moved(-reported)
            if isinstance(exc, Stopped):
                _delete_cut_short(worker, pool, target)
            elif not (pool.stop.is_set() or isinstance(exc, KeyboardInterrupt)):
                pool.writing_ends(target)  # a failure: reported, and tried again or not
                if temporary and isinstance(exc, (ftplib.error_perm, IncompleteTransfer)):
                    try:  # the client is in step: the file set aside goes (a retry uses a new name)
                        client.delete(target)
                    except Exception:
                        pass
            raise
        finally:
            del worker.sockets[1:]
    pool.writing_ends(target)
    # If the file changed while it was read, what is there is what was read.
    pool.finished(remote, sent - reported)
    if batch is not None:
        batch.one_less()  # confirmed by itself (no machine listing here)


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
                temporary_names: bool = False, rules: Rules | None = None) -> Outcome:
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
    down (a dry run).  Raises `TreeError`
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
    send = partial(store, pool=pool, temporary=temporary_names)
    # Keeping in step (rules given): a single file is compared first, and
    # each file gets its local time (one more command per file).
    in_step = rules is not None
    rules = rules or Rules()

    if stat.S_ISREG(st.st_mode):
        pool.add_total(1, st.st_size)

        stamp = st.st_mtime if in_step else None

        def one_file(worker: Worker) -> None:
            if in_step:
                try:
                    entry = top_entry(worker, top)
                except (ftplib.error_perm, FileNotFoundError):
                    entry = None
                complete = None if entry is None else _complete_remotely(entry, st.st_size, st.st_mtime)
                if complete is None and entry is not None:
                    when = worker.exact_time(top)
                    complete = when is not None and when + 1 >= st.st_mtime
                if complete:
                    pool.finished(top, st.st_size, skipped=True)
                    return
                if rules.dry_run:
                    planned_copy(rules, pool, "upload", top, st.st_size)
                    return
            try:
                send(worker, local=local_top, remote=top, size=st.st_size, mtime=stamp)
            except ftplib.error_perm:
                # Refused: most often a missing parent, which is made once here
                # rather than probed before every upload.
                parent = PurePosixPath(top).parent
                if parent.name in ("", ".", ".."):
                    raise
                worker.make_dirs(parent.as_posix())
                send(worker, local=local_top, remote=top, size=st.st_size, mtime=stamp)

        pool.put(Task(top, one_file))
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
        unsure = [child(there, name) for name, size, mtime in node.files
                  if name in existing and _complete_remotely(existing[name], size, mtime) is None]
        exact = worker.exact_times(unsure) if unsure and worker is not None else {}
        queued: list[tuple[str, str, int, float]] = []
        for name, size, mtime in node.files:
            target = child(there, name)
            entry = existing.get(name)
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
        # One listing confirms a folder's files, unless each must be renamed
        # or given its time once confirmed.
        batch = Batch(pool, there, len(queued)) if len(queued) > 1 and not (temporary_names or in_step) else None
        for source, target, size, mtime in queued:
            pool.put(Task(target, partial(send, local=source, remote=target, size=size,
                                          mtime=mtime if in_step else None, batch=batch),
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

    pool.put(Task(top, start, directory=True, top=True))
    pool.run()
    return pool.outcome()
