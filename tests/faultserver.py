"""A small FTP server on loopback that misbehaves on purpose.

It keeps an in-memory tree (path -> bytes, or DIR) and speaks the commands
ftplib and FTPPath use.  ``fault(word, action)`` plans a misbehaviour for the
next command(s) with that word:

* ``close``: hang up without a reply; ``partial``: send part of the reply
  (``cut`` bytes of it, default half) and hang up; ``421``: answer
  ``421`` and hang up; ``temp``: answer ``450`` instead of serving;
* ``stall``: say nothing until the client gives up (or ``seconds`` pass);
* ``garbage`` / ``long``: send a malformed / an oversized line, then serve
  the command as usual (so the real reply arrives after it);
* ``race`` (MKD): make the folder just before the command, as another
  client would, so the command is refused with 550;
* ``delay`` (an attribute, not a fault): every reply comes that many
  seconds late;
* ``cut226`` / ``cut426`` (RETR, STOR, LIST): move half the data, close the
  data connection, then claim success or report the abort.

Old and small servers are imitated with attributes: ``mlst`` / ``mdtm`` /
``stat_style`` (False: the command is unknown; ``stat_style`` "inetutils" or
"busybox": their STAT replies), ``mlst_size`` (MLST tells a file's size, as
aioftp's does), ``rest`` (REST is taken and RETR starts there),
``missing_at_once`` (NLST of a missing path is answered ``226`` with no 1xx,
as Twisted does), ``out_of_turn`` (PASV is answered after the command that
came with it, as aioftp runs them at once), ``data_first`` (after PASV no
command is read until the data connection is made, as Twisted does).  RNFR
takes any path (as busybox does); RNTO of a missing one is ``550 Error``.

A hostile server is planned with attributes: ``list_lines`` / ``mlsd_lines``
(path -> the lines LIST / MLSD answer, verbatim, names that leave the folder
among them), ``size_reply`` (the SIZE reply line, verbatim), ``greeting``
(a list of lines sent before ``220``, each after ``drip`` seconds), and
``endless`` (a command word answered with ``NNN-`` lines that never end, or
with a listing that never ends: ``"LIST"``/``"MLSD"``).

``log`` holds every command line received, ``injected`` counts the faults
that fired.  Every connection ends by itself after ``conn_lifetime`` seconds
and the server after ``lifetime``; `stop` ends everything at once.
"""

from __future__ import annotations

import os
import posixpath
import socket
import threading
import time

import pytest

from dravlen.base import Local
from dravlen.ftp.path import FTPPath

DIR = object()
MDTM = "20240102030405"
SIMPLE = {"USER": "331 Password required.", "TYPE": "200 Type set.", "NOOP": "200 NOOP ok."}


class FaultPath(FTPPath):
    """FTPPath bound to the fault server through its own section."""

    _section = ("fault",)


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def tell(request, line: str) -> None:
    """Print a count past pytest's capture, for the run's summary."""
    plugins = request.config.pluginmanager
    with plugins.get_plugin("capturemanager").global_and_fixture_disabled():
        plugins.get_plugin("terminalreporter").write_line(line)


@pytest.fixture
def fault(monkeypatch):
    """A fresh fault server, FaultPath's section pointed at it (1 s timeout),
    and no client of this thread left over from before."""
    srv = FaultServer()
    for key, value in dict(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                           timeout=1, pasv="true", encoding="utf-8").items():
        monkeypatch.setenv(f"DRAVLEN_FAULT_{key.upper()}", str(value))
    Local.clear()
    yield srv
    Local.clear()
    srv.stop()


class _Hangup(Exception):
    pass


class FaultServer:
    user, password = "tester", "secret"

    def __init__(self, host="127.0.0.9", size=True, lifetime=60.0, conn_lifetime=15.0):
        self.host, self.size, self.conn_lifetime = host, size, conn_lifetime
        self.nodes = {"/": DIR}
        self.faults: list[dict] = []
        self.list_lines: dict[str, list[str]] = {}  # LIST answers given verbatim
        self.mlsd_lines: dict[str, list[str]] | None = None  # MLSD answers verbatim; None: no MLSD
        self.size_reply: str | None = None  # the SIZE reply line given verbatim
        self.greeting: list[str] = []  # lines before the 220, each `drip` seconds apart
        self.banner = "220 fault server ready"
        self.drip = 0.0
        self.endless: str | None = None  # a command whose reply or listing never ends
        self.mdtm_reply: str | None = None  # the MDTM reply line given verbatim
        self.mlst = self.mdtm = True  # False: the command is unknown (500)
        self.mlst_size = False  # MLST tells a file's size
        self.stat_style = "default"  # "inetutils", "busybox", or False: unknown
        self.rest = False  # REST taken (350), RETR from there; else unknown
        self.missing_at_once = False  # NLST of a missing path: 226 alone
        self.out_of_turn = False  # PASV answered after the next command
        self.data_first = False  # nothing read after PASV until the data connection
        self.delay = 0.0  # seconds every reply (the greeting too) is held back
        self.log: list[str] = []
        self.injected = 0
        self.open = 0
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        self.listener = socket.create_server((host, 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.deadline = time.monotonic() + lifetime
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    # -- the tree and the plan ----------------------------------------------

    def add(self, path, data=DIR):
        path = posixpath.normpath(path)
        parent = posixpath.dirname(path)
        if parent not in self.nodes:
            self.add(parent)
        self.nodes[path] = data if data is DIR else bytes(data)

    def fault(self, word, action, times=1, **options):
        """Plan *action* for the next *times* commands *word* (None: all of them)."""
        self.faults.append(dict(word=word.upper(), action=action, times=times, **options))

    def _take_fault(self, word):
        with self.lock:
            for f in self.faults:
                if f["word"] == word and f["times"] != 0:
                    if f["times"] is not None:
                        f["times"] -= 1
                    self.injected += 1
                    return f
        return None

    # -- running ------------------------------------------------------------

    def wait_idle(self, seconds=3.0):
        end = time.monotonic() + seconds
        while self.open and time.monotonic() < end:
            time.sleep(0.01)
        return self.open == 0

    def stop(self):
        self.stopped.set()
        self.thread.join(5)
        self.wait_idle()

    def _accept(self):
        try:
            while not self.stopped.is_set() and time.monotonic() < self.deadline:
                try:
                    sock, _ = self.listener.accept()
                except socket.timeout:
                    continue
                with self.lock:
                    self.open += 1
                threading.Thread(target=self._session, args=(sock,), daemon=True).start()
        finally:
            self.listener.close()

    def _session(self, sock):
        session = _Session(self, sock)
        try:
            session.run()
        except (OSError, _Hangup):
            pass
        finally:
            session.close()
            with self.lock:
                self.open -= 1


class _Session:
    MAX_LINE = 2 << 20

    def __init__(self, server: FaultServer, sock):
        self.srv, self.sock = server, sock
        # Replies go out in several small writes; without this each waits out a delayed ACK.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.end = time.monotonic() + server.conn_lifetime
        self.buf = b""
        self.pasv = None  # listening socket for the next transfer
        self.port_addr = None
        self.cut_reply = None  # bytes of the next reply to send before hanging up
        self.data = None
        self.cwd = "/"
        self.offset = 0  # from REST, for the next RETR
        self.held: str | None = None  # a reply sent after the next one (out_of_turn)
        self.renaming: str | None = None

    def close(self):
        for s in (self.pasv, self.data, self.sock):
            if s is not None:
                s.close()

    def alive(self):
        return not self.srv.stopped.is_set() and time.monotonic() < self.end

    def readline(self):
        while b"\n" not in self.buf:
            if not self.alive() or len(self.buf) > self.MAX_LINE:
                return None
            self.sock.settimeout(min(0.2, max(0.01, self.end - time.monotonic())))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return None
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r").decode("utf-8", "surrogateescape")

    def line_waiting(self, seconds):
        """Whether another command line came with the last (within *seconds*)."""
        end = time.monotonic() + seconds
        while b"\n" not in self.buf and time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            self.buf += chunk
        return b"\n" in self.buf

    def reply(self, text):
        if self.srv.delay:
            time.sleep(self.srv.delay)
        data = (text + "\r\n").encode("utf-8", "surrogateescape")
        if self.cut_reply is not None:
            self.sock.sendall(data[:self.cut_reply if self.cut_reply >= 0 else len(data) // 2])
            raise _Hangup
        held, self.held = self.held, None
        self.sock.sendall(data + (held + "\r\n").encode() if held is not None else data)

    def stall(self, seconds):
        # Silent, but ends as soon as the client hangs up.
        end = min(self.end, time.monotonic() + seconds)
        while self.alive() and time.monotonic() < end:
            self.sock.settimeout(0.05)
            try:
                if not self.sock.recv(65536):
                    break
            except socket.timeout:
                pass
        raise _Hangup

    def endless_reply(self, code):
        # Continuation lines until the client hangs up (or the session ends).
        chunk = (f"{code}-" + "x" * 70 + "\r\n").encode() * 64
        while self.alive():
            self.sock.sendall(chunk)
        raise _Hangup

    def endless_data(self, line):
        conn = self.open_data()
        chunk = (line * 256).encode()
        try:
            while self.alive():
                conn.sendall(chunk)
        except OSError:
            pass
        raise _Hangup

    def run(self):
        for line in self.srv.greeting:
            time.sleep(self.srv.drip)
            self.sock.sendall(line.encode() + b"\r\n")
        if self.srv.endless == "greeting":
            self.endless_reply("220")
        self.reply(self.srv.banner)
        while (line := self.readline()) is not None:
            self.srv.log.append(line)
            word, _, arg = line.partition(" ")
            word = word.upper()
            fault = self.srv._take_fault(word)
            action = fault and fault["action"]
            if action == "close":
                raise _Hangup
            if action == "421":
                self.sock.sendall(b"421 Service not available, closing control connection.\r\n")
                raise _Hangup
            if action == "temp":
                self.reply("450 Requested action not taken, try again later.")
                continue
            if action == "stall":
                self.stall(fault.get("seconds", 5.0))
            if action == "partial":
                self.cut_reply = fault.get("cut", -1)
            if action == "race":  # another client makes the folder first
                self.srv.nodes[self.norm(arg)] = DIR
            if action == "garbage":
                self.sock.sendall(b"Hello? this is no reply\r\n")
            if action == "long":
                self.sock.sendall(b"200 " + b"x" * 10000 + b"\r\n")
            if word == self.srv.endless and word in ("LIST", "MLSD", "NLST"):
                self.endless_data("-rw-r--r-- 1 o g 1 Jan 02 03:04 f\r\n" if word != "MLSD" else "type=file; f\r\n")
            elif word == self.srv.endless:
                self.endless_reply("250")
            handler = getattr(self, "do_" + word, None) if word.isalpha() else None
            if word in SIMPLE:
                self.reply(SIMPLE[word])
            elif handler is None:
                self.reply("500 Unknown command.")
            else:
                handler(arg, action)

    # -- commands -------------------------------------------------------------

    def norm(self, arg):
        return posixpath.normpath(posixpath.join(self.cwd, arg))

    def node(self, arg):
        return self.srv.nodes.get(self.norm(arg))

    def children(self, path):
        return sorted(p for p in self.srv.nodes if p != path and posixpath.dirname(p) == path)

    def do_PASS(self, arg, _):
        self.reply("230 Logged in." if arg == self.srv.password else "530 Login incorrect.")

    def do_QUIT(self, arg, _):
        self.reply("221 Bye.")
        raise _Hangup

    def listen(self):
        for old in (self.pasv, self.data):
            if old is not None:
                old.close()
        self.data = None
        self.pasv = socket.create_server((self.srv.host, 0))
        return self.pasv.getsockname()[1]

    def do_PASV(self, arg, _):
        port = self.listen()
        text = f"227 Entering Passive Mode ({self.srv.host.replace('.', ',')},{port >> 8},{port & 255})."
        if self.srv.out_of_turn and self.line_waiting(0.2):
            self.held = text  # sent after the reply to the command that came with it
            return
        self.reply(text)
        if self.srv.data_first:
            self.pasv.settimeout(5)
            try:
                self.data, _ = self.pasv.accept()
            except socket.timeout:
                pass

    def do_REST(self, arg, _):
        if not self.srv.rest:
            return self.reply("500 Unknown command.")
        self.offset = int(arg)
        self.reply(f"350 Restarting at {arg}.")

    def do_CWD(self, arg, _):
        if self.node(arg) is not DIR:
            return self.reply("550 Failed to change directory.")
        self.cwd = self.norm(arg)
        self.reply("250 Directory changed.")

    def do_PWD(self, arg, _):
        self.reply(f'257 "{self.cwd}" is the current directory.')

    def do_RNFR(self, arg, _):
        self.renaming = self.norm(arg)
        self.reply("350 Ready for RNTO.")

    def do_RNTO(self, arg, _):
        source, self.renaming = self.renaming, None
        target = self.norm(arg)
        if source not in self.srv.nodes or self.srv.nodes.get(posixpath.dirname(target)) is not DIR:
            return self.reply("550 Error")
        for path in [p for p in self.srv.nodes if p == source or p.startswith(source + "/")]:
            self.srv.nodes[target + path[len(source):]] = self.srv.nodes.pop(path)
        self.reply("250 Rename successful.")

    def do_EPSV(self, arg, _):
        self.reply(f"229 Entering Extended Passive Mode (|||{self.listen()}|)")

    def do_PORT(self, arg, _):
        nums = arg.split(",")
        self.port_addr = (".".join(nums[:4]), int(nums[4]) << 8 | int(nums[5]))
        self.reply("200 PORT ok.")

    def open_data(self):
        self.reply("150 Opening data connection.")
        if self.data is not None:  # made before the command (data_first)
            pass
        elif self.pasv is not None:
            self.pasv.settimeout(3)
            self.data, _ = self.pasv.accept()
            self.pasv.close()
            self.pasv = None
        else:
            self.data = socket.create_connection(self.port_addr, timeout=3)
        self.data.settimeout(3)
        return self.data

    def close_data(self, action, cut):
        self.data.close()
        self.data = None
        if cut and action == "cut426":
            self.reply("426 Connection closed; transfer aborted.")
        else:
            self.reply("226 Transfer complete.")

    def send_data(self, payload: bytes, action):
        cut = action in ("cut226", "cut426")
        conn = self.open_data()
        try:
            conn.sendall(payload[: len(payload) // 2] if cut else payload)
        except OSError:  # the client abandoned the transfer
            self.data.close()
            self.data = None
            return self.reply("426 Connection closed; transfer aborted.")
        self.close_data(action, cut)

    def listing(self, arg, long):
        if arg.startswith("-"):  # "LIST -a path": options before the path, as Unix servers take them
            arg = arg.partition(" ")[2]
        path = self.norm(arg)
        if long and path in self.srv.list_lines:
            return self.srv.list_lines[path]
        node = self.srv.nodes.get(path)
        if node is None:
            return None
        entries = self.children(path) if node is DIR else [path]
        if not long:
            return [posixpath.basename(p) if node is DIR else arg for p in entries]
        lines = []
        for p in entries:
            value = self.srv.nodes[p]
            mode, size = ("drwxr-xr-x", 4096) if value is DIR else ("-rw-r--r--", len(value))
            lines.append(f"{mode}    1 owner    group {size:>10} Jan 02 03:04 {posixpath.basename(p)}")
        return lines

    def do_NLST(self, arg, action, long=False):
        lines = self.listing(arg, long)
        if lines is None and self.srv.missing_at_once and not long:
            return self.reply("226 Transfer Complete.")
        if lines is None:
            return self.reply("550 No such file or directory.")
        self.send_data("".join(line + "\r\n" for line in lines).encode("utf-8", "surrogateescape"), action)

    def do_LIST(self, arg, action):
        self.do_NLST(arg, action, long=True)

    def do_RETR(self, arg, action):
        node = self.node(arg)
        if not isinstance(node, bytes):
            return self.reply("550 Failed to open file.")
        offset, self.offset = self.offset, 0
        self.send_data(node[offset:], action)

    def do_STOR(self, arg, action):
        path = self.norm(arg)
        if self.srv.nodes.get(posixpath.dirname(path)) is not DIR or self.srv.nodes.get(path) is DIR:
            return self.reply("553 Could not create file.")
        # cut426 hangs up the data connection after 32 KiB; cut226 takes all
        # the data but keeps only half, so the client surely sees its 226.
        cut = action in ("cut226", "cut426")
        conn, chunks, got = self.open_data(), [], 0
        while action != "cut426" or got < 32768:
            chunk = conn.recv(65536 if action != "cut426" else 32768 - got)
            if not chunk:
                break
            chunks.append(chunk)
            got += len(chunk)
        data = b"".join(chunks)
        self.srv.nodes[path] = data[: len(data) // 2] if action == "cut226" else data
        self.close_data(action, cut)

    def do_MLSD(self, arg, action):
        lines = None if self.srv.mlsd_lines is None else self.srv.mlsd_lines.get(self.norm(arg))
        if self.srv.mlsd_lines is None:
            return self.reply("500 Unknown command.")
        if lines is None:
            node = self.node(arg)
            if node is not DIR:
                return self.reply("550 No such directory.")
            lines = [f"type={'dir' if self.srv.nodes[p] is DIR else 'file'};"
                     f"size={0 if self.srv.nodes[p] is DIR else len(self.srv.nodes[p])}; {posixpath.basename(p)}"
                     for p in self.children(self.norm(arg))]
        self.send_data("".join(line + "\r\n" for line in lines).encode("utf-8", "surrogateescape"), action)

    def do_SIZE(self, arg, _):
        if self.srv.size_reply is not None:
            return self.reply(self.srv.size_reply)
        node = self.node(arg)
        if not self.srv.size:
            return self.reply("502 SIZE not implemented.")
        if not isinstance(node, bytes):
            return self.reply("550 Could not get file size.")
        self.reply(f"213 {len(node)}")

    def do_MDTM(self, arg, _):
        if not self.srv.mdtm:
            return self.reply("502 MDTM not implemented.")
        if self.node(arg) is None:
            return self.reply("550 Could not get file modification time.")
        self.reply(self.srv.mdtm_reply if self.srv.mdtm_reply is not None else "213 " + MDTM)

    def do_MLST(self, arg, _):
        if not self.srv.mlst:
            return self.reply("500 Unknown command.")
        node = self.node(arg)
        if node is None:
            return self.reply("550 No such file or directory.")
        kind = "dir" if node is DIR else "file"
        size = f"Size={len(node)};" if self.srv.mlst_size and node is not DIR else ""
        self.reply(f"250-Listing {arg}\r\n {size}type={kind};modify={MDTM}; {self.norm(arg)}\r\n250 End")

    def do_STAT(self, arg, _):
        style = self.srv.stat_style
        if not style:
            return self.reply("500 Unknown command.")
        lines = self.listing(arg, True)
        if style == "default":
            lines = [" " + line for line in lines or []]
            return self.reply("\r\n".join([f"213-Status of {arg}:", *lines, "213 End of status"]))
        node = self.node(arg)
        if node is not None and node is not DIR:  # the file's line names it as asked
            lines = [line.rpartition(" ")[0] + " " + arg for line in lines]
        if style == "busybox":  # a missing path lists as an empty folder does
            return self.reply("\r\n".join(["213-File status:", *(lines or []), "213 Operation successful"]))
        if lines is None:
            lines = [f"{arg}: No such file or directory"]
        elif node is DIR and lines:
            lines = [f"total {len(lines)}", *lines]
        self.reply("\r\n".join([f"211- status of {arg}:", *lines, "211 End of Status"]))

    def do_MKD(self, arg, _):
        path = self.norm(arg)
        if path in self.srv.nodes or self.srv.nodes.get(posixpath.dirname(path)) is not DIR:
            return self.reply("550 Create directory operation failed.")
        self.srv.nodes[path] = DIR
        self.reply(f'257 "{path}" created.')

    def do_RMD(self, arg, _):
        path = self.norm(arg)
        if path == "/" or self.srv.nodes.get(path) is not DIR or self.children(path):
            return self.reply("550 Remove directory operation failed.")
        del self.srv.nodes[path]
        self.reply("250 Directory removed.")

    def do_DELE(self, arg, _):
        path = self.norm(arg)
        if not isinstance(self.srv.nodes.get(path), bytes):
            return self.reply("550 Delete operation failed.")
        del self.srv.nodes[path]
        self.reply("250 File deleted.")
