"""Download: a remote file or tree made the copy here."""

from __future__ import annotations

import datetime
import errno
import ftplib
import os
import select
import socket
import stat
from collections.abc import Callable
from functools import partial
from pathlib import PurePosixPath
from typing import TYPE_CHECKING, BinaryIO

from dravlen.base import BasePath
from dravlen.ftp.tree.pool import Pool
from dravlen.ftp.tree.results import Outcome, Progress
from dravlen.ftp.tree.sync import Rules, below, by_content, hashes_first, local_extras, local_size, planned_copy
from dravlen.ftp.wire.checksums import VERIFY, hash_check
from dravlen.ftp.wire.dialects import NO_MDTM
from dravlen.ftp.wire.replies import lost, reason
from dravlen.ftp.wire.times import time_told
from dravlen.ftp.tree.worker import BLOCK, DEFAULT_CONNECTIONS, REPORT_EVERY, Final, Stopped, Task, Worker
from dravlen.ftp.wire.client import connected, direct, finish, no_delay, preliminary, start_passive
from dravlen.ftp.wire.client import transfer
from dravlen.whole import Partial
from dravlen.ftp.wire.client import ask_passive
from dravlen.ftp.wire.rate import RateLimit
from dravlen.ftp.copies import call_limit, start_again, why_not_continued
from dravlen.ftp.tree.walk import as_posix, child, class_of, entries, same_time, top_entry

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Entry


try:  # the longest link target this system takes is one byte less
    _PATH_MAX = os.pathconf("/", "PC_PATH_MAX")
except (AttributeError, OSError, ValueError):
    _PATH_MAX = 4096


def _local_dir(path: str) -> bool:
    """Make the local directory *path* (True), or take the one that is there
    (False); never go through a local link, which the server did not list."""
    try:
        os.mkdir(path)
        return True
    except FileExistsError:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            raise Final("exists locally and is not a directory") from None
        return False


class _Sink:
    """The temporary file a download writes, and the bytes counted into it."""

    __slots__ = ("file", "local", "pool", "got", "reported")

    def __init__(self, file: BinaryIO, local: str, pool: Pool) -> None:
        self.file, self.local, self.pool = file, local, pool
        self.got = self.reported = 0

    def take(self, conn: socket.socket) -> bool:
        """Write one block from *conn* (no more than the call's rate limit
        holds at once); False at its end."""
        if self.pool.stop.is_set():
            raise Stopped()
        rate = self.pool.rate
        block = conn.recv(min(BLOCK, rate.block) if rate.rate else BLOCK)
        if not block:
            return False
        rate.take(len(block))
        try:
            self.file.write(block)
        except OSError as exc:
            raise Final(f"writing {self.local}: {reason(exc)}", clean=False) from None
        self.got += len(block)
        if self.got - self.reported >= REPORT_EVERY:
            self.pool.moved(self.got - self.reported)
            self.reported = self.got
        return True


def _retr(worker: Worker, client: ftplib.FTP, remote: str, sink: _Sink,
          address: tuple[str, int] | None = None) -> None:
    """RETR through ftplib's own data connection (TLS, active mode, IPv6);
    *address*: the passive one asked already (with a REST)."""
    with transfer(worker.path, client, address, "RETR " + remote) as conn:
        worker.sockets.append(conn)
        while sink.take(conn):
            pass
        finish(client, conn)


def _retr_ahead(worker: Worker, pool: Pool, client: ftplib.FTP, remote: str, sink: _Sink,
                address: tuple[str, int] | None, also: str | None = None,
                size: int | None = None) -> tuple[tuple[str, int] | None, str | ftplib.Error | None]:
    """RETR on a plain passive connection, with the round trips overlapped.

    *address*: the passive address a PASV sent ahead gave (else one is asked
    now).  The data is read as soon as it comes, not after the 150: until the
    first reply, the data and the control connection are waited on together,
    so a refusal (which sends no data) is seen at once.  Once the data has
    ended the server has finished the transfer, so when another file is to
    come the next PASV goes before the transfer's replies are read; they are
    read in order, then its 227, whose address is returned.  *also* (an
    MDTM of the file) goes in the same round trip; its reply is returned
    too (None where it was not sent).  Nothing goes ahead of a file whose
    *size* was not what the listing said: its SIZE comes next (and some
    servers read nothing after a PASV until its data connection is made).
    """
    if address is None:
        address = worker.passive(client)
    control = client.sock
    if control is None:
        raise ConnectionError("the control connection is closed")
    # The handshake and the RETR travel at once: one round trip, not two.
    with start_passive(client, address) as conn:
        worker.sockets.append(conn)
        client.putcmd("RETR " + remote)
        try:
            connected(conn, client.timeout)
        except ConnectionError:
            preliminary(client)  # a refusal that closed its port says so here
            raise
        opened = False
        while True:
            if not opened:
                ready = select.select([conn, control], [], [], client.timeout)[0]
                if not ready:
                    raise TimeoutError(f"no reply to RETR {remote} in {client.timeout} s")
                if conn not in ready:
                    preliminary(client)  # a refusal raises here, the client in step
                    opened = True
                    continue
            try:
                if not sink.take(conn):
                    break
            except ConnectionResetError:
                if opened or sink.got:
                    raise
                break  # a refusal dropping the connection waiting for it: its reply says why
    # Before any reply or byte, the end may be a refusal's: its reply comes first.
    going = opened or sink.got > 0
    ahead = going and size is not None and sink.got == size and pool.file_next()
    also = also if going else None
    if ahead or also:
        no_delay(client)  # these must not wait for RETR's replies
    if also:
        client.putcmd(also)
    if ahead:
        client.putcmd("PASV")
    try:
        if not opened:
            preliminary(client)
        client.voidresp()
    except ftplib.Error:
        if also:
            _reply(client)
        if ahead:
            _ahead_reply(worker, client)
        raise
    told = _reply(client) if also else None
    return (_ahead_reply(worker, client) if ahead else None), told


def _reply_to(client: ftplib.FTP, command: str) -> str | ftplib.Error:
    client.putcmd(command)
    return _reply(client)


def _reply(client: ftplib.FTP) -> str | ftplib.Error:
    """The next reply, or the refusal it is (read whole: the client stays in step)."""
    try:
        return client.getresp()
    except ftplib.Error as exc:
        if lost(exc):
            raise
        return exc


def _ahead_reply(worker: Worker, client: ftplib.FTP) -> tuple[str, int] | None:
    """The address from the reply to a PASV sent ahead; None if it was refused
    (the reply was read whole, so the client stays in step)."""
    try:
        return worker.passive(client, client.getresp())
    except ftplib.Error:
        return None


def _continue_at(worker: Worker, client: ftplib.FTP, remote: str, file: BinaryIO, size: int | None,
                 mtime: datetime.datetime | None, why: str | None = None) -> tuple[int, tuple[str, int] | None]:
    """Where the transfer into *file* starts: its end, after a ``REST``
    there, where it can be the start of the listed file (sizes alone, and
    the listed time where it is exact); else 0, *file* emptied, and a
    warning naming the path and the server.  The passive address asked
    for with the REST."""
    offset = file.tell()
    why = why or why_not_continued(offset, size, mtime, os.fstat(file.fileno()).st_mtime)
    # No REST for a file that is whole already: it would hold for the next transfer.
    answers, address = ask_passive(client, [], after=() if why or offset == size else (f"REST {offset}",))
    if why is None and answers and isinstance(answers[0], BaseException):
        if not isinstance(answers[0], ftplib.error_perm):
            raise answers[0]
        why = f"the server refuses REST ({answers[0]})"
    if why is None:
        return offset, address
    start_again(worker.path, remote, why)
    file.seek(0)
    file.truncate()
    return 0, address


def fetch(worker: Worker, pool: Pool, remote: str, local: str, size: int | None,
          mtime: datetime.datetime | None, exact: bool = True, verify: str = "size",
          part: Partial | None = None) -> None:
    """RETR one file into a temporary name beside *local*, then rename it
    and give it the server's time: *mtime*, or where that is not *exact*
    (a coarse listing) the file's exact time, asked with the transfer.
    With *verify* ``"hash"``, the bytes are hashed as they are written and
    must match the server's hash of the file before the rename.  The bytes
    go to *part* (by default a temporary file), from where an earlier try
    (or, resuming, an earlier call) left it."""
    stamp: float | None = mtime.timestamp() if mtime is not None else None
    # The exact time of a file a listing gave coarsely is asked with the transfer.
    ask = None if exact or getattr(worker.path.client, NO_MDTM, False) else "MDTM " + remote
    part = part or Partial(local, False)
    temp = part.path
    sink: _Sink | None = None
    offset = 0
    try:
        try:
            file = part.open()
        except OSError as exc:
            raise Final(reason(exc)) from None
        with file:
            check = None
            if verify != "size":
                worker.give_up_ahead()
                check = hash_check(worker.path, verify)
            sink = _Sink(file if check is None else check.writing(file), local, pool)
            ahead = worker.take_ahead()
            client = worker.binary()
            worker.doing = "cannot read the file"
            resumed = file.tell() > 0
            if resumed:
                # A hash must cover every byte: one that is checked starts again.
                offset, ahead = _continue_at(worker, client, remote, file, size, mtime if exact else None,
                                             None if check is None else "the file's hash is to be checked")
            told: str | ftplib.Error | None = None
            if offset and offset == size:
                pass  # the partial file is the whole file: nothing to move
            elif direct(client) and not resumed:
                # No PASV goes ahead of a transfer whose hash is asked next.
                ahead, told = _retr_ahead(worker, pool, client, remote, sink, ahead, also=ask,
                                          size=None if check is not None or size is None else size - offset)
            else:
                # After the PASV asked with the REST, ftplib's way takes a data
                # connection a server that waits for it made the wire open early.
                _retr(worker, client, remote, sink, ahead if resumed else None)
                if resumed:
                    ahead = None  # used
            if ask and told is None:  # not sent with the transfer (an empty file, say)
                told = _reply_to(client, ask)
            exact_time = time_told(client, told) if told is not None else None
            if exact_time is not None:
                stamp = exact_time.timestamp()
        got = offset + sink.got
        if size is None or got != size:
            # The listing did not say, or the file changed since: the server's
            # present size must be what came.
            worker.confirm(remote, got)
        if check is not None:
            worker.doing = "cannot confirm the file's hash"
            check.confirm(worker.cls(remote), got)
        try:
            os.replace(temp, local)
        except OSError as exc:
            raise Final(f"writing {local}: {reason(exc)}") from None
        if stamp is not None:
            try:
                os.utime(local, (stamp, stamp))
            except OSError:
                pass
        if ahead is not None:
            worker.keep_ahead(client, ahead)
    except BaseException as exc:
        if sink is not None and sink.reported:
            pool.moved(-sink.reported)
        if isinstance(exc, Stopped):
            worker.end_stopped_transfer()
        if isinstance(exc, (Stopped, KeyboardInterrupt)) or pool.stop.is_set():
            part.drop()  # no try follows; one that fails for good is dropped by its task
        raise
    finally:
        del worker.sockets[1:]
    pool.finished(remote, got - sink.reported)


def _complete_locally(local: str, entry: Entry) -> bool | None:
    """Whether *local* already holds the listed file: same size, and the
    time a download gives it; None where the listing is too coarse to tell."""
    try:
        st = os.lstat(local)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or entry.size is None or st.st_size != entry.size:
        return False
    return same_time(entry, st.st_mtime)


def _same_file(local: str, size: int | None, when: float) -> bool:
    """Whether *local* holds *size* bytes and the exact time *when*."""
    try:
        st = os.lstat(local)
    except OSError:
        return False
    return stat.S_ISREG(st.st_mode) and st.st_size == size and abs(st.st_mtime - when) < 1


def _unmakeable(where: str) -> str | None:
    """Why no link here can point to *where*, a target the server listed."""
    if "\0" in where:
        return "a symbolic link whose target holds NUL"
    try:
        length = len(os.fsencode(where))
    except UnicodeError:
        return "a symbolic link whose target is no file name on this system"
    if length >= _PATH_MAX:
        return "a symbolic link whose target is longer than a path can be on this system"
    return None


def _link(pool: Pool, rules: Rules, source: str, target: str, entry: Entry) -> None:
    where = getattr(entry, "target", None)
    if not where:
        pool.pass_over(source, "a symbolic link whose target the server does not tell")
        return
    # A target is the server's text: one no link can hold is passed over,
    # never a failure of the whole folder.
    why = _unmakeable(where)
    if why is not None:
        pool.pass_over(source, why)
        return
    if rules.dry_run:
        rules.plan("link", target)
        return
    try:
        if os.path.islink(target):
            if os.readlink(target) == where:
                return
            os.unlink(target)
        os.symlink(where, target)
    except OSError as exc:
        pool.fail(target, reason(exc))


def download_tree(remote: BasePath | str, local: str | os.PathLike[str], *,
                  connections: int = DEFAULT_CONNECTIONS,
                  progress: Callable[[Progress], object] | None = None,
                  rules: Rules | None = None, verify: str = "size", resume: bool = False,
                  max_rate: int | str | RateLimit | None = None) -> Outcome:
    """Download the remote file or directory *remote* to *local* (the path it
    will have here) over *connections* connections.

    An existing local directory becomes the copy of *remote*.  Each file is
    written under a temporary name beside its own and renamed once its size
    is confirmed, then given the server's time; files already there with the
    same size and time are skipped.  A remote symbolic link becomes a local
    one where the listing names a target a link here can hold (it is never
    followed); special files, other links, and listing lines whose name
    cannot be an entry of the folder (``../x``: nothing is written for them,
    here or anywhere) are passed over (`Outcome.passed_over`).  *rules* (`Rules`) leave
    entries out, remove what the server does not have, or only write the
    steps down (a dry run).  With *verify* ``"hash"``, each file must also
    have, on a server that computes one, the server's hash of it before it
    takes its name (`dravlen.ftp.wire.checksums`).  Raises `TreeError`
    listing what failed (after doing the rest), `Interrupted` on Ctrl-C,
    `FileNotFoundError` when *remote* is not there.

    A try of a file that fails on the way continues the partial file from
    where it ended (``REST``).  With *resume*, each partial file has the
    one name `dravlen.whole.partial_name` gives, is kept when the call
    fails or is stopped, and is continued by the next call with *resume*,
    as `RemotePath.download` does (sizes alone, and the listed time where
    it is exact; a file of the target's own name is never continued).
    *max_rate* (bytes a second, ``"2M"``, or a shared `RateLimit`) limits
    all the call's connections together; by default the server's
    ``max_rate``.
    """
    local_top = os.fspath(local)
    if not isinstance(local_top, str):
        raise TypeError(f"download_tree needs a text local path, not {local_top!r}")
    cls = class_of(remote)
    top = as_posix(remote)
    if verify not in VERIFY:
        raise ValueError(f"verify must be one of {', '.join(map(repr, VERIFY))}, not {verify!r}")
    pool = Pool(f"download of {top} to {local_top}", cls, top, connections, progress)
    pool.rate = call_limit(cls, max_rate)
    rules = rules or Rules()

    def get(source: str, target: str, entry: Entry | None, exact_time: float | None = None) -> None:
        size = entry.size if entry is not None else None
        if rules.dry_run:
            planned_copy(rules, pool, "download", target, size or 0)
            return
        mtime = entry.mtime if entry is not None else None
        if exact_time is not None:
            mtime = datetime.datetime.fromtimestamp(exact_time, datetime.timezone.utc)
        part = Partial(target, resume)
        pool.put(Task(source, partial(fetch, pool=pool, remote=source, local=target, size=size, mtime=mtime,
                                      exact=entry is None or entry.exact or exact_time is not None,
                                      verify=verify, part=part), given_up=part.drop))

    def get_unless_same(worker: Worker, files: list[tuple[str, str, Entry]]) -> None:
        """Get the *files* (source, target, entry) whose listing was too
        coarse to tell whether the local copy is complete, but those whose
        exact times, asked together, say it is."""
        times = worker.exact_times([source for source, _, _ in files])
        for source, target, entry in files:
            when = times[source]
            if when is not None and _same_file(target, entry.size, when):
                pool.finished(source, entry.size or 0, skipped=True)
            else:
                get(source, target, entry, when)

    def scan_later(there: str, here: str) -> None:
        pool.scan_queued(there)
        pool.put(Task(there, partial(scan, there=there, here=here), directory=True))

    def scan(worker: Worker, there: str, here: str) -> None:
        try:
            scan_now(worker, there, here)
        finally:
            pool.scan_done(there)

    def scan_now(worker: Worker, there: str, here: str, found: dict[str, Entry] | None = None) -> None:
        if found is None:
            found = entries(worker, there, pool, passing_over=True)
        doubtful: set[str] = getattr(found, "doubtful", set())
        found = {name: entry for name, entry in found.items()
                 if not rules.excluded(below(top, child(there, name)))}
        if rules.delete:
            # A name a left-out line may give is not known to be gone: kept.
            local_extras(pool, rules, top, here, there, set(found) | doubtful)
        listed = [e for e in found.values() if e.kind == "file"]
        pool.add_total(len(listed), sum(e.size or 0 for e in listed))
        unsure: list[tuple[str, str, Entry]] = []
        for name, entry in found.items():
            source, target = child(there, name), os.path.join(here, name)
            if entry.kind == "dir" and rules.dry_run:
                if not os.path.isdir(target):
                    rules.plan("make directory", target)
                scan_later(source, target)
            elif entry.kind == "dir":
                try:
                    if _local_dir(target):
                        pool.made_directory()
                except (OSError, Final) as exc:
                    pool.fail(target, reason(exc))
                    continue
                scan_later(source, target)
            elif (entry.kind == "file" and rules.checksum and entry.size is not None
                  and local_size(target) == entry.size):
                by_content(pool, source, target, entry.size, partial(get, source, target, entry))
            elif entry.kind == "file":
                complete = _complete_locally(target, entry)
                if complete:
                    pool.finished(source, entry.size or 0, skipped=True)
                elif complete is None:
                    unsure.append((source, target, entry))
                else:
                    get(source, target, entry)
            elif entry.kind == "link":
                _link(pool, rules, source, target, entry)
            else:
                pool.pass_over(source, "neither a file, a directory nor a link")
        if unsure:
            get_unless_same(worker, unsure)

    def start(worker: Worker) -> None:
        try:
            begin(worker)
        finally:
            pool.scan_done("")

    def begin(worker: Worker) -> None:
        name = PurePosixPath(top).name
        entry = None
        try:
            # Most often a directory: its own listing says so, and is the
            # one needed (a link named as the top is followed).
            found = entries(worker, top, pool, passing_over=True)
        except (FileNotFoundError, NotADirectoryError):
            if name in ("", ".", ".."):
                raise
        else:
            make_top()
            pool.scan_queued(top)
            try:
                scan_now(worker, top, local_top, found)
            finally:
                pool.scan_done(top)
            return
        if name not in ("", ".", ".."):
            entry = top_entry(worker, top)
            if entry is None:
                raise FileNotFoundError(errno.ENOENT, f"'{top}' does not exist on the server", top)
        if entry is not None and entry.kind == "file":
            pool.add_total(1, entry.size or 0)
            if rules.checksum and entry.size is not None and local_size(local_top) == entry.size:
                by_content(pool, top, local_top, entry.size, partial(get, top, local_top, entry))
                return
            complete = _complete_locally(local_top, entry)
            if complete:
                pool.finished(top, entry.size or 0, skipped=True)
            elif complete is None:
                get_unless_same(worker, [(top, local_top, entry)])
            else:
                get(top, local_top, entry)
            return
        if entry is not None and entry.kind == "link":
            # A link named as the top is what the user asked for, and is followed.
            try:
                worker.listing(top)
            except NotADirectoryError:
                pool.add_total(1, 0)
                get(top, local_top, None)
                return
        if entry is not None and entry.kind not in ("dir", "link"):
            raise ValueError(f"'{top}' is neither a file nor a directory on the server")
        make_top()
        scan_later(top, local_top)

    def make_top() -> None:
        if rules.dry_run:
            if not os.path.isdir(local_top):
                rules.plan("make directory", local_top)
            return
        try:
            parent = os.path.dirname(os.path.abspath(local_top))
            os.makedirs(parent, exist_ok=True)
            _local_dir(local_top)
        except Final as exc:
            raise FileExistsError(errno.EEXIST, f"{local_top!r} {exc}", local_top) from None

    pool.scan_queued("")  # the top, until it is known
    pool.put(Task(top, hashes_first(rules, start), directory=True, top=True))
    pool.run()
    return pool.outcome()
