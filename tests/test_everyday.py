"""pathlib's names on RemotePath: the commands and round trips each costs
(pinned on a wire-level fake), and the same calls on every real server."""

from __future__ import annotations

import collections
import ftplib
import posixpath
import socket
import stat

import pytest

from dravlen.ftp.wire.dialects import NO_MLST
from dravlen.ftp.wire.replies import IncompleteTransfer
from dravlen.ftp.remote import RemotePath
from fakes import DIR, FakeFTP


def count_rounds(client):
    """Wrap *client*'s putcmd and getresp: the command lines sent, and a
    count of waits: a reply read after commands were sent, or when none is
    unanswered (a transfer's closing reply); a batch sent together, one."""
    sent: list[str] = []
    state = {"rounds": 0, "fresh": False, "open": 0}
    put, get = client.putcmd, client.getresp

    def putcmd(line):
        sent.append(line)
        state["fresh"] = True
        state["open"] += 1
        return put(line)

    def getresp():
        if state["fresh"] or state["open"] == 0:
            state["rounds"] += 1
        state["fresh"] = False
        state["open"] = max(0, state["open"] - 1)
        return get()

    client.putcmd, client.getresp = putcmd, getresp
    return sent, lambda: state["rounds"]


class WireFake(ftplib.FTP):
    """ftplib's own client logic over a server played here, line by line, on
    the tree of a `FakeFTP`; data connections are real loopback sockets."""

    def __init__(self, disk: FakeFTP):
        super().__init__()
        self.disk, self.mfmt, self.refuse = disk, True, {}  # refuse: command word -> its reply
        self.opening = "150 Here it comes."  # RETR's, formatted with the file's size
        self.sock, self.af, self.replies = self, socket.AF_INET, collections.deque()

    def getpeername(self):
        return ("127.0.0.1", 21)

    def setsockopt(self, *option):
        pass

    def putline(self, line):
        word, _, arg = line.partition(" ")
        where, nodes, say = self.disk._abs(arg.split(" ")[-1]), self.disk.nodes, self.replies.append
        node = nodes.get(where)
        if word in self.refuse:
            say(self.refuse[word])
        elif word == "TYPE":
            say("200 Type set.")
        elif word == "PASV":
            self.listener = socket.create_server(("127.0.0.1", 0))
            port = self.listener.getsockname()[1]
            say(f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255}).")
        elif word in ("RETR", "STOR", "APPE"):
            conn = self.listener.accept()[0]
            self.listener.close()
            if not (isinstance(node, bytes) if word == "RETR" else self.disk._is_dir(posixpath.dirname(where))):
                conn.close()
                return say("553 Could not open file.")
            say(self.opening.format(len(node)) if word == "RETR" else "150 Here it comes.")
            if word == "RETR":
                conn.sendall(node)
                conn.close()
                return say("226 Done.")

            def closing():  # read once the client has closed its end
                with conn:
                    data = b"".join(iter(lambda: conn.recv(65536), b""))
                    nodes[where] = (node or b"" if word == "APPE" else b"") + data
                return "226 Done."
            say(closing)
        elif word == "SIZE" and isinstance(node, bytes):
            say(f"213 {len(node)}")
        elif word == "DELE" and isinstance(node, bytes):
            del nodes[where]
            say("250 Deleted.")
        elif word == "MLST" and node is not None:
            facts = "type=dir;" if node is DIR else f"type=file;size={len(node)};"
            say(f"250-Listing\n {facts}modify=20240102030405; {where}\n250 End.")
        elif word == "MKD":
            ok = node is None and self.disk._is_dir(posixpath.dirname(where))
            nodes.update({where: DIR} if ok else {})
            say("257 Created." if ok else "550 Cannot create.")
        elif word == "MFMT" and self.mfmt:
            say("213 Modified." if node is not None else "550 No such file.")
        else:
            say("500 Unknown command." if word in ("MFMT", "EPSV") else "550 No such file.")

    def getline(self):
        reply = self.replies.popleft()
        head, _, rest = (reply() if callable(reply) else reply).partition("\n")
        if rest:
            self.replies.appendleft(rest)
        return head


class P(RemotePath):
    """A RemotePath on the `WireFake` of the test."""

    fake: WireFake
    client = property(lambda self: self.fake)
    _valid_reset = _drop_client = lambda self: None


@pytest.fixture
def wire(monkeypatch):
    """(fake disk, client, sent lines, rounds()) for one test."""
    disk = FakeFTP()
    monkeypatch.setattr(P, "fake", WireFake(disk), raising=False)
    return (disk, P.fake, *count_rounds(P.fake))


def test_commands_and_round_trips(wire):
    disk, client, sent, rounds = wire
    disk.add_file("/d/f", b"x" * 1024)

    def call(func, *args, **kwargs):
        sent.clear()
        before = rounds()
        result = func(*args, **kwargs)
        return result, [line.split(" ", 1)[0] for line in sent], rounds() - before

    # SIZE rides with TYPE I and PASV: the bytes that come must be that many.
    assert call(P("/d/f").read_bytes) == (b"x" * 1024, ["TYPE", "SIZE", "PASV", "RETR"], 3)
    assert call(P("/d/f").write_bytes, b"y" * 1024) == (1024, ["TYPE", "PASV", "STOR", "SIZE"], 4)
    assert disk.nodes["/d/f"] == b"y" * 1024
    # A missing folder costs the refused STOR and one MKD, sent with the
    # next TYPE I and PASV; three cost one more batch of MKD for every level.
    assert call(P("/d/new/f").write_bytes, b"z") == (
        1, ["TYPE", "PASV", "STOR", "MKD", "TYPE", "PASV", "STOR", "SIZE"], 6)
    _, words, waits = call(P("/d/a/b/c/f").write_bytes, b"z")
    assert (words, waits) == (["TYPE", "PASV", "STOR"] + ["MKD", "TYPE", "PASV"] + ["MKD"] * 4
                              + ["TYPE", "PASV", "STOR", "SIZE"], 7)
    assert disk.nodes["/d/a/b/c/f"] == b"z" and sent[6:10] == [
        "MKD /d", "MKD /d/a", "MKD /d/a/b", "MKD /d/a/b/c"]

    got, words, waits = call(P("/d/f").stat)
    assert (got.kind, got.st_size, got.st_mtime, words, waits) == ("file", 1024, 1704164645.0, ["MLST"], 1)
    assert stat.S_ISREG(got.st_mode) and stat.S_ISDIR(P("/d").stat().st_mode)
    assert call(P("/d/f").is_file) == (True, ["MLST"], 1)
    assert call(P("/d").is_file)[0] is False and call(P("/d/no").is_file)[0] is False
    assert call(P("/d/f").touch) == (None, ["MFMT"], 1)
    assert call(P("/d/t").touch) == (None, ["MFMT", "TYPE", "PASV", "APPE"], 4)
    assert call(P("/d/t").unlink) == (None, ["DELE"], 1)
    assert call(P("/d/t").unlink, missing_ok=True) == (None, ["DELE", "MLST"], 2)
    assert disk.nodes["/d/f"] == b"y" * 1024 and "/d/t" not in disk.nodes


def test_refusals_name_what_was_wrong(wire):
    disk, client, sent, rounds = wire
    disk.add_file("/d/f", b"keep")
    with pytest.raises(NotADirectoryError, match="'/d/f' is no folder"):
        P("/d/f/x").write_bytes(b"1")
    # A STOR refused where the folder is there makes nothing and says why.
    client.refuse["STOR"] = "553 Permission denied."
    before = dict(disk.nodes)
    with pytest.raises(PermissionError, match="'/d/f' cannot be written: 553 Permission denied"):
        P("/d/f").write_bytes(b"new")
    assert disk.nodes == before
    client.refuse.clear()
    # Without MFMT, touch learns so once and leaves an existing file's bytes.
    client.mfmt = False
    P("/d/f").touch()
    P("/d/f").touch()
    assert disk.nodes["/d/f"] == b"keep"
    assert [line.split(" ")[0] for line in sent].count("MFMT") == 1


def test_read_is_confirmed_by_the_size_told(wire):
    disk, client, sent, rounds = wire
    disk.add_file("/d/f", b"x" * 1024)
    client.refuse["SIZE"] = "213 1025"  # told before the transfer, and one byte more than came
    with pytest.raises(IncompleteTransfer, match="1024 bytes moved, the server has 1025"):
        P("/d/f").read_bytes()
    client.refuse["SIZE"] = "550 Cannot size it."  # asked again after the transfer, refused again
    with pytest.raises(IncompleteTransfer, match="tells no size"):
        P("/d/f").read_bytes()
    client.refuse["SIZE"] = "502 Unknown command."  # a server that cannot size: its closing reply is taken
    sent.clear()
    assert P("/d/f").read_bytes() == b"x" * 1024 and [s.split()[0] for s in sent].count("SIZE") == 2
    client.refuse.clear()
    with pytest.raises(FileNotFoundError, match="'/d/none' does not exist"):
        P("/d/none").read_text()

    # An opening reply that told what SIZE did is read instead of SIZE from
    # then on, and holds the bytes to it; a name holding "(" is still sized.
    client.opening = "150 Opening (data) for /d/f ({} bytes)."
    disk.add_file("/d/(9)", b"y" * 9)
    for path, words in [("/d/f", "TYPE SIZE PASV RETR"), ("/d/f", "TYPE PASV RETR"),
                        ("/d/(9)", "TYPE SIZE PASV RETR")]:
        sent.clear()
        assert P(path).read_bytes() == disk.nodes[path] and " ".join(s.split()[0] for s in sent) == words
    client.opening = "150 Opening (1000 bytes)."
    with pytest.raises(IncompleteTransfer, match="1024 bytes moved, the server has 1000"):
        P("/d/f").read_bytes()


def test_text_and_pure_names(wire):
    disk, client, sent, rounds = wire
    assert P("/d/t.txt").write_text("a\nb\n", newline="\r\n") == 4
    assert disk.nodes["/d/t.txt"] == b"a\r\nb\r\n"
    assert P("/d/t.txt").read_text() == "a\nb\n"
    assert P("/d/t.txt").read_text(newline="") == "a\r\nb\r\n"
    P("/d/u").write_text("é", encoding="latin-1")
    assert disk.nodes["/d/u"] == b"\xe9"

    p = P("/d/a.tar.gz")  # pathlib's answers, as paths of the same server
    assert (p.with_suffix(".xz"), p.parents) == (P("/d/a.tar.xz"), (P("/d"), P("/")))
    assert P("/d") / P("e") / "f" == P("/d").joinpath("e", P("f")) == "/d" / P("e/f") == P("/d/e/f")
    with pytest.raises(TypeError, match="another server"):
        P("/d") / RemotePath("e")


def test_on_real_servers(rpath, server):
    top = rpath("new/deeper")
    sent, rounds = count_rounds(top.client)
    data = bytes(range(256)) * 4
    assert (top / "f.bin").write_bytes(data) == 1024
    assert rounds() <= 6 + 2 and sent.count("TYPE I") == 3
    before = rounds()
    assert (top / "f.bin").read_bytes() == data and rounds() - before <= 5
    before = rounds()
    assert (top / "f.bin").write_bytes(data[::-1]) == 1024 and rounds() - before <= 6
    before = rounds()
    info = (top / "f.bin").stat()
    mlst = not hasattr(top.client, NO_MLST)
    assert (info.kind, info.st_size, rounds() - before <= 1 or not mlst) == ("file", 1024, True)
    assert (top / "f.bin").is_file() and not top.is_file() and not (top / "none").is_file()

    (top / "t.txt").write_text("é\n", newline="\r\n")
    (top / "t.txt").touch()
    (top / "e").touch()
    assert (top / "t.txt").read_bytes() == "é\r\n".encode() and (top / "e").stat().st_size == 0
    (top / "e").unlink()
    with pytest.raises(IsADirectoryError):
        top.unlink()
    with pytest.raises(NotADirectoryError):
        (top / "f.bin" / "x").write_bytes(b"1")
    assert sorted(p.name for p in top.iterdir()) == ["f.bin", "t.txt"]
    try:
        (top / " b ").touch()  # made by its own name, or an error: never renamed unsaid
    except FileNotFoundError as exc:
        assert "changed the name" in str(exc)
    else:
        assert " b " in [p.name for p in top.iterdir()]
