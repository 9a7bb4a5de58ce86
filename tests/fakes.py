"""An in-memory stand-in for ``ftplib.FTP`` that records what it is asked.

`FakeFTP` keeps a small tree of directories and files and answers the
client methods `FTPPath` uses the way a Unix FTP server reached through
ftplib would: permanent refusals are ``ftplib.error_perm`` with a 5xx text,
downloads call back once per block, ``LIST`` gives ``ls -l`` lines.  Every
call is appended as a tuple to ``log``; `RecordingPath` appends its
``_valid_reset`` and ``_drop_client`` calls to the same list, so one list
shows the whole conversation in order.
"""

from __future__ import annotations

import ftplib
import functools
import posixpath
import socket
import sys

from dravlen.ftp.path import FTPPath

DIR = object()  # marks a directory in FakeFTP.nodes


@functools.lru_cache(maxsize=4096)  # the benchmarks ask for the same few paths millions of times
def _norm(path: str) -> str:
    # The session starts in "/", so a relative path is taken from there.
    return posixpath.normpath(posixpath.join("/", path))


class FakeFTP:
    """Recording fake of the ``ftplib.FTP`` methods that FTPPath calls.

    Knobs:

    * ``extra_lines[dir]``: lines put before the entries of ``LIST dir``
      ("total 3", link lines, anything); ``LIST -a`` adds "." and ".." and
      the names that begin with a dot, which plain ``LIST`` leaves out;
    * ``mdtm_reply``: the reply text of ``MDTM`` for an existing path
      (``MLST`` is answered as servers that have it do, other commands 500);
    * ``fail(method, exc, path=None, times=1)``: make a method raise ``exc``
      (for the given path only, if given), ``times`` times or, with
      ``times=None``, always.  The call is logged before it fails;
    * ``log = None``: nothing is recorded (nor kept in ``streams``), for the
      benchmarks that repeat a call millions of times;
    * ``keeps_changes = False``: ``mkd`` and ``delete`` answer as done but
      change nothing, so that a benchmark can repeat them;
    * ``missing_lists_nothing = True``: ``NLST`` of a missing path lists
      nothing, as some servers answer it, in place of a 550.
    """

    #: Added to what SIZE reports: a server whose transfers end early.
    size_skew = 0
    #: The whole reply to SIZE, in place of "213 <size>".
    size_reply: str | None = None
    keeps_changes = True
    missing_lists_nothing = False

    def __init__(self) -> None:
        self.log: list[tuple] | None = []
        self.nodes: dict[str, object] = {"/": DIR}
        self.extra_lines: dict[str, list[str]] = {}
        self.mdtm_reply = "213 20240102030405"
        self.cwd = "/"
        self.streams: list = []  # every stream handed to storbinary
        self._failures: list[list] = []

    # -- setting up (not logged) -----------------------------------------

    def add_dir(self, path: str) -> None:
        path = _norm(path)
        if path != "/":
            self.add_dir(posixpath.dirname(path))
        self.nodes.setdefault(path, DIR)

    def add_file(self, path: str, data: bytes = b"") -> None:
        path = _norm(path)
        self.add_dir(posixpath.dirname(path))
        self.nodes[path] = bytes(data)

    def fail(self, method: str, exc: BaseException, path: str | None = None, times: int | None = 1) -> None:
        self._failures.append([method, path, exc, times])

    def tree(self) -> dict[str, object]:
        """Every node but the root: path -> bytes, or DIR."""
        return {p: v for p, v in self.nodes.items() if p != "/"}

    # -- helpers -----------------------------------------------------------

    def _call(self, entry: tuple, path: str | None) -> None:
        if self.log is not None:
            self.log.append(entry)
        for failure in self._failures:
            method, where, exc, times = failure
            if method == entry[0] and (where is None or where == path) and times != 0:
                if times is not None:
                    failure[3] = times - 1
                raise exc

    def _children(self, path: str) -> list[str]:
        return [p for p in self.nodes if p != path and posixpath.dirname(p) == path]

    def _is_dir(self, path: str) -> bool:
        return self.nodes.get(path) is DIR

    def _abs(self, path: str) -> str:
        return _norm(path if path[:1] == "/" else posixpath.join(self.cwd, path))

    def _argument(self, command: str) -> str:
        return self._abs(command.split(" ", 1)[1])

    def _line(self, path: str) -> str:
        value = self.nodes[path]
        if value is DIR:
            kind, size = "drwxr-xr-x", 4096
        else:
            kind, size = "-rw-r--r--", len(value)
        return f"{kind}    1 owner    group    {size:>8} Jan 02 03:04 {posixpath.basename(path)}"

    # -- the client methods ------------------------------------------------

    def nlst(self, *args):
        path = self._abs(args[0]) if args else self.cwd
        self._call(("nlst", *args), path)
        if path not in self.nodes:
            if self.missing_lists_nothing:
                return []
            raise ftplib.error_perm("550 No such file or directory.")
        if self._is_dir(path):
            return [posixpath.basename(p) for p in self._children(path)]
        return [args[0]]

    def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
        path = self._argument(cmd)
        self._call(("retrbinary", cmd, blocksize), path)
        if path not in self.nodes or self._is_dir(path):
            raise ftplib.error_perm("550 Failed to open file.")
        data = self.nodes[path]
        for start in range(0, len(data), blocksize):
            callback(data[start:start + blocksize])
        return "226 Transfer complete."

    def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
        path = self._argument(cmd)
        if self.log is not None:
            self.streams.append(fp)
        # Logged as refused before any data moved; the data read replaces b"".
        self._call(("storbinary", cmd, b""), path)
        chunks = []
        while block := fp.read(blocksize):
            chunks.append(block)
        data = b"".join(chunks)
        if self.log is not None:
            self.log[-1] = ("storbinary", cmd, data)
        if self._is_dir(path) or not self._is_dir(posixpath.dirname(path)):
            raise ftplib.error_perm("553 Could not create file.")
        self.nodes[path] = data
        return "226 Transfer complete."

    def retrlines(self, cmd, callback=None):
        callback = print if callback is None else callback
        word, _, argument = cmd.partition(" ")
        every = argument == "-a" or argument.startswith("-a ")  # as Unix servers take it: dot-files, "." and ".." too
        path = self._abs(argument[3:] if every else argument)
        self._call(("retrlines", cmd), path)
        if word != "LIST":
            raise ftplib.error_perm("500 Unknown command.")
        if path not in self.nodes:
            raise ftplib.error_perm("550 No such file or directory.")
        if self._is_dir(path):
            lines = list(self.extra_lines.get(path, ()))
            if every:
                lines += [f"drwxr-xr-x    2 owner    group        4096 Jan 02 03:04 {dot}" for dot in (".", "..")]
            lines += [self._line(p) for p in self._children(path) if every or not posixpath.basename(p).startswith(".")]
        else:
            lines = [self._line(path)]
        for line in lines:
            callback(line)
        return "226 Directory send OK."

    def sendcmd(self, cmd):
        word = cmd.split(" ", 1)[0].upper()
        path = self._argument(cmd) if " " in cmd else None
        self._call(("sendcmd", cmd), path)
        if word in ("MDTM", "MLST", "SIZE", "CWD") and path not in self.nodes:
            raise ftplib.error_perm("550 No such file or directory.")
        if word == "MDTM":
            return self.mdtm_reply
        if word == "MLST":
            kind = "dir" if self._is_dir(path) else "file"
            return f"250-Listing {path}\n type={kind}; {path}\n250 End."
        if word == "SIZE" and not self._is_dir(path):
            return self.size_reply or f"213 {len(self.nodes[path]) + self.size_skew}"
        if word == "PWD":
            return '257 "' + self.cwd.replace('"', '""') + '" is the current directory'
        if word == "CWD" and self._is_dir(path):
            self.cwd = path
            return "250 Directory successfully changed."
        raise ftplib.error_perm("550 Could not get file size." if word == "SIZE" else "500 Unknown command.")

    def mkd(self, dirname):
        path = self._abs(dirname)
        self._call(("mkd", dirname), path)
        if path in self.nodes or not self._is_dir(posixpath.dirname(path)):
            raise ftplib.error_perm("550 Create directory operation failed.")
        if self.keeps_changes:
            self.nodes[path] = DIR
        return path

    def rmd(self, dirname):
        path = self._abs(dirname)
        self._call(("rmd", dirname), path)
        if path == "/" or not self._is_dir(path) or self._children(path):
            raise ftplib.error_perm("550 Remove directory operation failed.")
        del self.nodes[path]
        return "250 Remove directory operation successful."

    def delete(self, filename):
        path = self._abs(filename)
        self._call(("delete", filename), path)
        if path not in self.nodes or self._is_dir(path):
            raise ftplib.error_perm("550 Delete operation failed.")
        if self.keeps_changes:
            del self.nodes[path]
        return "250 Delete operation successful."


def wired(store: FakeFTP) -> type:
    """An ``ftplib.FTP`` class whose clients answer from *store* (all share
    its nodes, record nothing) but connect for real, to one end of a
    socketpair that never receives anything: a check for stale replies on the
    control connection then runs, and finds none."""

    class WiredFakeFTP(FakeFTP, ftplib.FTP):
        voidcmd = FakeFTP.sendcmd

        def __init__(self, timeout=None, encoding="utf-8", **_):
            FakeFTP.__init__(self)
            self.nodes, self.log, self.encoding = store.nodes, None, encoding

        def connect(self, *args, **kwargs):
            self.sock, self._peer = socket.socketpair()
            self.file = self.sock.makefile("r", encoding=self.encoding)
            return "220 in memory"

        def login(self, *args, **kwargs):
            return "230 in"

        def close(self):
            super().close()
            self._peer.close()

    return WiredFakeFTP


class RecordingPath(FTPPath):
    """FTPPath on `fake` (set per test) that logs the base class's recovery
    calls next to the client's: ``("valid_reset", <type of the exception
    being handled>)`` and ``("drop_client",)`` (what ``retry`` does before it
    tries again).  ``parent`` and ``join`` give this class too, by way of
    ``type(self)`` in the base class."""

    fake: FakeFTP

    @property
    def client(self):
        return type(self).fake

    def _valid_reset(self):
        self.fake.log.append(("valid_reset", type(sys.exc_info()[1])))

    def _drop_client(self):
        self.fake.log.append(("drop_client",))
