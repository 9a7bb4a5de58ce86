"""RemotePath's everyday members on every server of the matrix, and under a
server that misbehaves on purpose."""

from __future__ import annotations

import ftplib
import gc
import hashlib
import os
import random
import time

import pytest

from dravlen.base import Local
from dravlen.ftp.remote import IncompleteTransfer, RemotePath
from conftest import descriptors, opened_since
from faultserver import DIR, fault  # noqa: F401  (fixture)

# within the last six months, so that LIST shows the time of day too
STAMP = (int(time.time()) - 86400) // 60 * 60 + 7


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Commands:
    """The command lines a client sends, recorded around its putcmd."""

    def __init__(self, client, monkeypatch):
        self.lines: list[str] = []
        real = client.putcmd

        def putcmd(line):
            self.lines.append(line)
            return real(line)

        monkeypatch.setattr(client, "putcmd", putcmd)

    def words(self) -> list[str]:
        return [line.split(" ", 1)[0] for line in self.lines]


# ---------------------------------------------------------------------------
# metadata


def test_info_size_and_iterdir(rpath, home, server, monkeypatch):
    (home.path / "d" / "sub").mkdir(parents=True)
    blank = home.path / "d" / " two  blanks "
    blank.write_bytes(b"12345")
    os.utime(blank, (STAMP, STAMP))
    for i in range(20):
        (home.path / "d" / f"f{i:02}.csv").write_bytes(b"x" * i)
    os.symlink("sub", home.path / "d" / "ln")

    info = rpath("d/ two  blanks ").info()
    assert (info.name, info.kind, info.size) == (" two  blanks ", "file", 5)
    assert info.mtime is not None and info.mtime.utcoffset().total_seconds() == 0
    assert abs(info.mtime.timestamp() - STAMP) < 1  # the exact time, where LIST tells minutes
    assert rpath("d/ two  blanks ").size == 5
    assert rpath("d/sub").info().kind == "dir"
    with pytest.raises(IsADirectoryError):
        rpath("d/sub").size
    for missing in ("nope", "d/nope", "nope/deeper", "d/f01.csv/below"):
        with pytest.raises(FileNotFoundError, match=f"{missing}' does not exist"):
            rpath(missing).info()

    # once the server's abilities are known, a listing is one transfer: no probe per entry
    listed = dict(rpath("d").iterdir(detail=True))
    commands = Commands(rpath().client, monkeypatch)
    again = dict(rpath("d").iterdir(detail=True))
    assert again == listed
    assert [w for w in commands.words() if w not in ("TYPE", "PASV", "EPSV")] in (["MLSD"], ["LIST"])
    by_name = {p.name: e for p, e in listed.items()}
    assert {p.path.parent for p in listed} == {rpath("d").path}
    assert set(by_name) == {" two  blanks ", "sub", "ln"} | {f"f{i:02}.csv" for i in range(20)}
    assert by_name["f07.csv"].size == 7 and by_name["sub"].kind == "dir"
    assert by_name["ln"].kind == ("dir" if server.kind == "pyftpdlib" else "link")
    assert sorted(p.name for p in rpath("d").iterdir()) == sorted(by_name)

    # info is one command on servers with MLST; elsewhere one listing, and
    # the file's exact time (LIST tells the minute)
    commands.lines.clear()
    rpath("d/f03.csv").info()
    assert commands.words() in (["MLST"], ["TYPE", "PASV", "LIST", "MDTM"])


# ---------------------------------------------------------------------------
# streaming


def test_open_reads_streams_and_abandons(rpath, home):
    data = random.Random(3).randbytes(3 << 20)
    (home.path / "big.bin").write_bytes(data)
    (home.path / "text.txt").write_bytes("héllo\r\nwörld\n".encode())
    (home.path / "dir").mkdir()
    client = rpath().client

    with rpath("big.bin").open() as f:
        assert digest(f.read()) == digest(data)
    with rpath("big.bin").open("rb") as f:
        assert f.read(1000) == data[:1000]
    # closed before its end: abandoned, the client kept and in step
    with rpath("text.txt").open("r", newline="") as f:
        assert f.read() == "héllo\r\nwörld\n"
    with rpath("text.txt").open("r") as f:
        assert f.readline() == "héllo\n"
    assert rpath().client is client
    assert rpath("text.txt").read() == "héllo\r\nwörld\n".encode()

    with pytest.raises(FileNotFoundError, match="does not exist"):
        rpath("nope.bin").open()
    with pytest.raises(IsADirectoryError):
        rpath("dir").open()
    with pytest.raises(ValueError, match="mode"):
        rpath("big.bin").open("ab")
    assert rpath().client is client


def test_open_writes_and_cuts_on_error(rpath, home, server):
    chunks = [random.Random(i).randbytes(100_000) for i in range(12)]
    with rpath("new/deeper/w.bin").open("wb") as f:  # parents made first
        for chunk in chunks:
            f.write(chunk)
    assert (home.path / "new/deeper/w.bin").read_bytes() == b"".join(chunks)
    with rpath("t.txt").open("w", encoding="latin-1") as f:
        f.write("ça\n")
    assert (home.path / "t.txt").read_bytes() == "ça\n".encode("latin-1")

    client = rpath().client
    with pytest.raises(RuntimeError) as caught:
        with rpath("cut.bin").open("wb") as f:
            f.write(chunks[0])
            raise RuntimeError("the producer failed")
    assert any("partly written" in note for note in caught.value.__notes__)
    # the client is back in step for the next command (or replaced: pyftpdlib
    # at times sends no closing reply at all for an upload cut by a reset)
    assert rpath("new/deeper/w.bin").read() == b"".join(chunks)
    if server.kind != "pyftpdlib":
        assert rpath().client is client


def test_download(rpath, home, tmp_path):
    data = random.Random(4).randbytes((5 << 20) + 3)
    (home.path / "f.bin").write_bytes(data)
    (home.path / "empty").write_bytes(b"")
    (home.path / "dir").mkdir()
    target = tmp_path / "out.bin"
    blocks: list[int] = []
    assert rpath("f.bin").download(target, progress=blocks.append) == len(data)
    assert digest(target.read_bytes()) == digest(data)
    assert len(blocks) > 1 and sum(blocks) == len(data)
    assert rpath("empty").download(str(tmp_path / "empty")) == 0
    assert (tmp_path / "empty").read_bytes() == b""

    # a failed download leaves the target as it was and no temporary file
    target.write_bytes(b"kept")
    for bad, error in [("nope", FileNotFoundError), ("dir", IsADirectoryError)]:
        with pytest.raises(error):
            rpath(bad).download(target)
    assert target.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty", "out.bin"]
    with pytest.raises(FileNotFoundError, match="no such folder"):
        rpath("f.bin").download(tmp_path / "no such folder" / "x")
    with pytest.raises(IsADirectoryError):  # refused before anything is sent
        rpath("f.bin").download(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty", "out.bin"]


@pytest.mark.parametrize("at", [1, 2, 4, 8])  # a control reply or the data
def test_interrupted_download_leaves_nothing_and_drops_the_client(rpath, home, tmp_path, monkeypatch, at):
    import socket

    (home.path / "f.bin").write_bytes(random.Random(6).randbytes(4 << 20))
    before = rpath().client
    real = socket.socket.recv_into
    calls = []

    def interrupted(self, *args):
        calls.append(1)
        if len(calls) == at:
            raise KeyboardInterrupt
        return real(self, *args)

    monkeypatch.setattr(socket.socket, "recv_into", interrupted)
    with pytest.raises(KeyboardInterrupt):
        rpath("f.bin").download(tmp_path / "out")
    monkeypatch.setattr(socket.socket, "recv_into", real)
    assert list(tmp_path.iterdir()) == []
    assert rpath().client is not before  # given up at once, not waited on
    assert rpath("f.bin").download(tmp_path / "out") == 4 << 20


# ---------------------------------------------------------------------------
# rename


def test_rename(rpath, home, server):
    (home.path / "a.txt").write_bytes(b"a")
    (home.path / "full").mkdir()
    (home.path / "full" / "x").write_bytes(b"x")
    (home.path / "src dir").mkdir()
    (home.path / "src dir" / "y").write_bytes(b"y")
    client = rpath().client

    if server.kind == "pureftpd":  # it stores " b " as " b_" and says it renamed
        with pytest.raises(FileNotFoundError, match="changed the new name"):
            rpath("a.txt").rename(rpath("full/ b ").path)
        [mangled] = set(os.listdir(home.path / "full")) - {"x"}
        assert mangled != " b "
        (home.path / "full" / mangled).rename(home.path / "a.txt")
    else:
        moved = rpath("a.txt").rename(rpath("full/ b ").path)
        assert moved == rpath("full/ b ")
        assert (home.path / "full" / " b ").read_bytes() == b"a" and not (home.path / "a.txt").exists()
        moved.rename(rpath("a.txt").path)
    assert rpath("a.txt").rename(rpath("full/a -> b").path) == rpath("full/a -> b")
    assert (home.path / "full" / "a -> b").read_bytes() == b"a"
    rpath("src dir").rename(f"{home.remote}/dst dir")
    assert (home.path / "dst dir" / "y").read_bytes() == b"y"

    with pytest.raises(FileNotFoundError, match="'.*nope' does not exist"):
        rpath("nope").rename(rpath("other").path)
    with pytest.raises(FileNotFoundError, match="missing' does not exist"):
        rpath("full/x").rename(rpath("missing/x").path)
    with pytest.raises(FileExistsError):
        rpath("dst dir").rename(rpath("full").path)  # a folder with entries is not replaced
    assert (home.path / "full" / "x").read_bytes() == b"x"
    assert (home.path / "dst dir" / "y").read_bytes() == b"y"
    assert rpath().client is client


# ---------------------------------------------------------------------------
# walking


def test_walk_rglob_and_find_never_loop(rpath, home):
    root = home.path / "t"
    (root / "a" / "b").mkdir(parents=True)
    (root / "c").mkdir()
    (root / "top.csv").write_bytes(b"1")
    (root / "a" / "one.csv").write_bytes(b"1")
    (root / "a" / "b" / "two.csv").write_bytes(b"1")
    (root / "a" / "b" / "note.txt").write_bytes(b"1")
    os.symlink("../..", root / "a" / "b" / "up")  # back to t: a loop if followed

    seen = {str(d.path.relative_to(rpath("t").path)): (sorted(dirs), sorted(files))
            for d, dirs, files in rpath("t").walk()}
    assert seen["."] == (["a", "c"], ["top.csv"])
    assert seen["a"] == (["b"], ["one.csv"])
    assert seen["a/b"][0] == [] and {"two.csv", "note.txt"} <= set(seen["a/b"][1])
    assert set(seen) == {".", "a", "a/b", "c"}

    bottom_up = [str(d.path.relative_to(rpath("t").path)) for d, _, _ in rpath("t").walk(top_down=False)]
    assert bottom_up.index("a/b") < bottom_up.index("a") < bottom_up.index(".")
    pruned = []
    for d, dirs, _ in rpath("t").walk():
        pruned.append(d.name)
        dirs[:] = [n for n in dirs if n != "a"]
    assert sorted(pruned) == ["c", "t"]

    def rel(paths):
        return sorted(str(p.path.relative_to(rpath("t").path)) for p in paths)

    assert rel(rpath("t").rglob("*.csv")) == ["a/b/two.csv", "a/one.csv", "top.csv"]
    assert rel(rpath("t").find("a/**/*.csv")) == ["a/b/two.csv", "a/one.csv"]
    assert rel(rpath("t").find("*/b")) == ["a/b"]
    detail = {d.name: files for d, _, files in rpath("t").walk(detail=True)}
    assert {e.name: e.size for e in detail["a"]} == {"one.csv": 1}
    with pytest.raises(NotADirectoryError):
        list(rpath("t/top.csv").walk())


# ---------------------------------------------------------------------------
# a server that misbehaves


class FaultRemote(RemotePath):
    _section = ("fault",)


DATA = random.Random(5).randbytes(200_000)


@pytest.mark.parametrize("action", ["cut226", "cut426", "close", "partial", "421", "temp", "stall"])
def test_download_under_faults_is_whole_or_absent(fault, tmp_path, action):
    fault.add("/d/f", DATA)
    target = tmp_path / "out"
    gc.collect()
    before = descriptors()
    fault.fault("RETR", action)
    try:
        FaultRemote("/d/f").download(target)
    except (ftplib.Error, ConnectionError, EOFError, TimeoutError):
        assert not target.exists()
    else:
        assert target.read_bytes() == DATA
    assert [p.name for p in tmp_path.iterdir()] in ([], ["out"])  # no temporary file left
    assert fault.injected
    assert FaultRemote("/d/f").read() == DATA  # the thread's next operation works
    Local.clear()
    assert fault.wait_idle()
    gc.collect()
    assert opened_since(before) == {}, "a socket or a local file was left open"


def test_streams_do_not_take_a_cut_transfer_for_whole(fault):
    fault.add("/d/f", DATA)
    fault.fault("RETR", "cut226")
    with pytest.raises(IncompleteTransfer, match="moved"):
        with FaultRemote("/d/f").open() as f:
            f.read()
    fault.fault("STOR", "cut226")
    with pytest.raises(IncompleteTransfer):
        with FaultRemote("/d/w").open("wb") as f:
            f.write(DATA)
    assert FaultRemote("/d/f").read() == DATA


def test_listing_from_list_lines_and_its_faults(fault):
    fault.add("/d/sub", DIR)
    fault.add("/d/f", b"abc")
    assert {(e.name, e.kind, e.size) for _, e in FaultRemote("/d").iterdir(detail=True)} == {
        ("sub", "dir", None), ("f", "file", 3)}
    fault.list_lines["/d"] = ["weird line", "-rw-r--r-- 1 a b 1 Jan 02 03:04 ok"]
    with pytest.raises(ValueError, match="'/d': the server listed a line in no known format: 'weird line'"):
        list(FaultRemote("/d").iterdir())
    fault.list_lines["/d"] = ["-rw-r--r-- 1 a b 1 Jan 02 03:04 f"]
    with pytest.raises(NotADirectoryError):
        FaultRemote("/d/f").walk().__next__()
    for action in ("close", "421", "temp", "cut426"):
        fault.fault("LIST", action)
        assert [p.name for p in FaultRemote("/d").iterdir()] == ["f"]


def test_many_threads_each_on_its_own_client(rpath, home, tmp_path):
    from concurrent.futures import ThreadPoolExecutor

    files = {f"f{i}.bin": random.Random(10 + i).randbytes(300_000 + i) for i in range(8)}
    for name, data in files.items():
        (home.path / name).write_bytes(data)

    def work(name):
        client = rpath().client
        assert rpath(name).download(tmp_path / name) == len(files[name])
        with rpath(name).open() as f:
            head = f.read(1000)  # abandoned: the rest is never read
        listed = {e.name: e.size for _, e in rpath().iterdir(detail=True)}
        with rpath(f"out/{name}").open("wb") as f:
            f.write(head)
        return client is rpath().client, listed

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, files))
    assert all(same for same, _ in results)
    for _, listed in results:
        assert {k: v for k, v in listed.items() if k in files} == {k: len(v) for k, v in files.items()}
    for name, data in files.items():
        assert (tmp_path / name).read_bytes() == data
        assert (home.path / "out" / name).read_bytes() == data[:1000]


class Unreachable(RemotePath):
    """A path class whose client must never be asked for."""

    @property
    def client(self):  # type: ignore[override]
        pytest.fail("a command would have been sent")


@pytest.mark.parametrize("text, what", [("d/v\x00.bak", "NUL"), ("d/v\n.bak", "line break"),
                                        ("d\r/v", "line break")])
def test_paths_a_command_cannot_carry_are_refused_before_anything_is_sent(tmp_path, text, what):
    p = Unreachable(text)
    for use in (p.info, lambda: p.size, lambda: list(p.iterdir()), lambda: p.open("rb"),
                lambda: p.download(str(tmp_path / "x")), lambda: p.rename(Unreachable("d/w"))):
        with pytest.raises(ValueError, match=what):
            use()
    assert list(tmp_path.iterdir()) == []


def test_the_core_and_python_share_what_a_client_learnt_and_the_path_check(monkeypatch):
    """The capability names and the refused-path message, written once in
    each language, must stay the same on both sides."""
    from dravlen.ftp.path import FTPPath
    from dravlen.ftp.wire import dialects, names, replies
    from fakes import FakeFTP, RecordingPath as P

    fake = FakeFTP()
    monkeypatch.setattr(P, "fake", fake, raising=False)
    fake.add_dir("/d/sub")
    fake.add_file("/d/f", b"x")
    # What the core learns it writes under the names Python reads.
    fake.fail("sendcmd", ftplib.error_perm("500 MLST not understood."), path="/d/sub")
    fake.fail("retrlines", ftplib.error_perm("501 No such option."), path="/d")
    assert P("/d/sub").is_dir() is True
    assert sorted(p.path.name for p in P("/d").glob("*")) == ["f", "sub"]
    fake.fail("rmd", ftplib.error_perm("550 Directory not empty."), path="/d/sub")
    with pytest.raises(ftplib.error_perm):
        P("/d/sub").delete()  # then MLSD for what the listing left out: 500 from this fake
    learnt = {name for name in dialects.CAPABILITIES if hasattr(fake, name)}
    assert learnt == {dialects.NO_MLST, dialects.PLAIN_LIST, dialects.NO_MLSD, dialects.HOME}
    # ... and reads what Python wrote.
    fresh = FakeFTP()
    monkeypatch.setattr(P, "fake", fresh)
    fresh.add_dir("/d/sub")
    setattr(fresh, dialects.NO_MLST, True)
    assert P("/d/sub").is_dir() is True
    assert not [e for e in fresh.log if e[:1] == ("sendcmd",) and e[1].startswith("MLST")]

    # A transfer found short is one error type, from the core as from Python.
    fresh.add_file("/d/f", b"0123456789")
    fresh.size_skew = 5
    with pytest.raises(replies.IncompleteTransfer, match="10 bytes moved, the server has 15"):
        FTPPath.__dict__["read"].__wrapped__(P("/d/f"))

    for text in ("a\nb", "a\rb", "/x/\0y", "a\0\nb", "a\n\0b"):
        with pytest.raises(ValueError) as core:
            FTPPath(text).exists
        with pytest.raises(ValueError) as ours:
            names.command_text(RemotePath(text))
        assert str(core.value) == str(ours.value)
