"""Names that real servers hold and that read like other names: blanks at the
start, " -> ", shell patterns, NUL, a file nobody may read.  Entries are made
on each server's disk, then worked on through FTPPath; what lies outside the
tree must survive, and every answer must be about the path asked for."""

from __future__ import annotations

import errno
import ftplib
import os
import signal
import time
from pathlib import Path

import pytest

from conftest import bound_class


def snapshot(root: Path) -> dict[str, bytes | None]:
    """Every entry below root (links not followed): file content, None for the rest."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = Path(dirpath, name)
            found[str(full.relative_to(root))] = full.read_bytes() if full.is_file() and not full.is_symlink() else None
    return found


def outside(home: Path) -> dict[str, bytes | None]:
    """A folder outside every tree the tests delete, with four entries."""
    out = home / "outside"
    (out / "sub").mkdir(parents=True)
    for name in ["a", "b", "sub/c"]:
        (out / name).write_bytes(name.encode())
    return snapshot(out)


# (the real directory, the link beside it that points outside)
LOOKALIKES = [(" ln", "ln"), ("ln", " ln"), ("x", "x -> y"), ("x -> y", "x"), ("  two", " two")]


@pytest.mark.parametrize("real, link", LOOKALIKES, ids=[f"{r!r}+link{n!r}" for r, n in LOOKALIKES])
def test_delete_removes_a_link_not_what_it_points_to(remote, home, real, link):
    kept = outside(home.path)
    tree = home.path / "tree"
    (tree / real).mkdir(parents=True)
    (tree / real / "inside").write_bytes(b"i")
    (tree / link).symlink_to(home.path / "outside")
    assert sorted(p.name for p in remote("tree").glob()) == sorted([real, link])
    remote("tree").delete()
    assert not os.path.lexists(tree)
    assert snapshot(home.path / "outside") == kept


def test_a_link_whose_target_holds_an_arrow(remote, home):
    # "a -> b -> c": the link "a" to "b -> c", beside a link "a -> b" to "c"
    tree = home.path / "tree"
    tree.mkdir()
    (home.path / "b -> c").mkdir()
    (home.path / "b -> c" / "kept").write_bytes(b"k")
    (tree / "a").symlink_to(home.path / "b -> c")
    (tree / "a -> b").symlink_to("c")
    assert sorted(p.name for p in remote("tree").glob()) == ["a", "a -> b"]
    remote("tree").delete()
    assert not os.path.lexists(tree) and (home.path / "b -> c" / "kept").read_bytes() == b"k"


@pytest.mark.parametrize("name", ["victim\x00.bak", "\x00", "dir\x00/victim"])
def test_nul_reaches_no_server(remote, home, tmp_path, name):
    (home.path / "dir").mkdir()
    (home.path / "dir/victim").write_bytes(b"keep")
    (home.path / "victim").write_bytes(b"keep")
    before = snapshot(home.path)
    local = tmp_path / "l"
    local.write_bytes(b"new")
    p = remote(f"dir/{name}")
    for use in (lambda: p.write(b"new"), p.delete, lambda: p.upload(str(local)), p.mkdir, lambda: p.exists):
        with pytest.raises(ValueError, match="NUL"):
            use()
    assert snapshot(home.path) == before
    assert remote("dir/victim").read() == b"keep"  # the client is in step


# A name with pattern characters, and an entry that the pattern matches.
PATTERNS = [("[x]", "x"), ("s*r", "sXr"), ("q?", "qz"), ("{p,q}", "p"), ("a b", "a"), ("*", "any")]


@pytest.mark.parametrize("kind", ["file", "dir"])
@pytest.mark.parametrize("name, neighbour", PATTERNS, ids=[n for n, _ in PATTERNS])
def test_a_pattern_names_only_itself(remote, home, server, name, neighbour, kind):
    box = home.path / "box"
    box.mkdir()
    if kind == "dir":
        (box / neighbour).mkdir()
        (box / neighbour / "theirs").write_bytes(b"t")
    else:
        (box / neighbour).write_bytes(b"t")
    before = snapshot(box)
    p = remote(f"box/{name}")
    assert p.exists is False
    with pytest.raises(FileNotFoundError):
        p.is_dir()
    try:
        p.mkdir()
    except FileNotFoundError:  # ProFTPD's own rule: no "*" in a name it makes
        assert server.kind == "proftpd" and "*" in name
        (box / name).mkdir()
    assert (box / name).is_dir()
    (p / "mine").write(b"m")
    assert (box / name / "mine").read_bytes() == b"m"
    assert p.exists and p.is_dir() and not (p / "mine").is_dir()
    assert [q.name for q in p.glob()] == ["mine"]
    p.delete()
    assert snapshot(box) == before
    assert remote(f"box/{neighbour}").exists


def test_leading_blanks_survive_glob_delete_and_upload(remote, home, tmp_path):
    tree = home.path / "tree"
    (tree / "  dir").mkdir(parents=True)
    (tree / "  dir" / " in").write_bytes(b"i")
    (tree / " lead").write_bytes(b"l")
    (tree / "lead").write_bytes(b"other")
    (tree / "y").write_bytes(b"y")
    (tree / "x -> y").symlink_to("y")
    assert sorted(p.name for p in remote("tree").glob()) == sorted(["  dir", " lead", "lead", "y", "x -> y"])
    assert remote("tree/ lead").read() == b"l" and remote("tree/  dir").is_dir()
    remote("tree/ lead").delete()
    assert (tree / "lead").read_bytes() == b"other" and not (tree / " lead").exists()
    remote("tree").delete()
    assert not os.path.lexists(tree)

    local = tmp_path / "local"
    (local / " sub").mkdir(parents=True)
    (local / " sub" / " f").write_bytes(b"f")
    (local / " top").write_bytes(b"t")
    remote("up").upload(str(local))
    assert (home.path / "up" / " sub" / " f").read_bytes() == b"f"
    remote("up").delete()
    assert not (home.path / "up").exists()


def test_a_file_nobody_may_read_is_a_file(remote, home):
    box = home.path / "box"
    box.mkdir()
    (box / "secret").write_bytes(b"s")
    os.chmod(box / "secret", 0)
    p = remote("box/secret")
    assert p.exists and p.is_dir() is False
    try:
        assert p.read() == b"s"  # a server that reads as root may
    except PermissionError as exc:
        assert "box/secret" in str(exc)
    with pytest.raises(TypeError, match="is not a directory"):
        next(p.glob())
    remote("box").delete()
    assert not box.exists()


def test_names_that_are_no_valid_text_round_trip(remote, home, server):
    box = bytes(home.path / "box")
    os.makedirs(box + b"/d\xe9r")
    for name, data in [(b"caf\xe9.txt", b"latin"), (b"d\xe9r/x", b"x"), (b"ok.txt", b"ok")]:
        Path(os.fsdecode(box + b"/" + name)).write_bytes(data)
    if server.kind == "pyftpdlib":
        # pyftpdlib's default turns such bytes into "?" in every answer and cannot
        # find them by name: a clear error, and nothing is lost.
        assert sorted(p.name for p in remote("box").glob()) == ["caf?.txt", "d?r", "ok.txt"]
        with pytest.raises(FileNotFoundError, match=r"/(caf\?\.txt|d\?r)' does not exist"):
            remote("box").delete()
        assert os.path.exists(box + b"/caf\xe9.txt") and os.path.exists(box + b"/d\xe9r/x")
        return
    latin = "caf\udce9.txt"  # the byte 0xE9 kept as an escape
    assert sorted(p.name for p in remote("box").glob()) == sorted([latin, "d\udce9r", "ok.txt"])
    p = remote(f"box/{latin}")
    assert p.exists and not p.is_dir() and p.read() == b"latin" and p.mtime.year > 2000
    assert remote("box/d\udce9r").is_dir() and [q.name for q in remote("box/d\udce9r").glob()] == ["x"]
    remote("box/n\udcff.bin").write(b"new")
    assert open(box + b"/n\xff.bin", "rb").read() == b"new"
    remote("box").delete()
    assert not os.path.exists(box)


class Alarm(Exception):
    """What a signal handler raises, at any point of the member it lands in."""


def test_an_interrupted_listing_leaves_the_next_read_right(remote, home):
    big = home.path / "big"
    big.mkdir()
    for i in range(4000):
        (big / f"entry-{i:04}").write_bytes(b"")
    text = b"line\n" * 600  # LFs: a read in ASCII mode would turn them into CRLF
    (home.path / "text.bin").write_bytes(text)
    assert len(list(remote("big").glob())) == 4000
    # The alarms are spread over a glob as long as the ones below: the first,
    # cold one (a login, the server's first read of the folder) can take
    # several times as long, and alarms set by it would mostly come too late.
    started = time.monotonic()
    assert len(list(remote("big").glob())) == 4000
    took = time.monotonic() - started

    def alarm(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, alarm)
    interrupted = 0
    try:
        for i in range(24):
            # spread over the glob: its probes, the LIST, the walk of the lines
            try:
                try:
                    signal.setitimer(signal.ITIMER_REAL, took * (i + 0.5) / 24)
                    list(remote("big").glob())
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            except Alarm:
                interrupted += 1
            assert remote("text.bin").read() == text, f"round {i}"
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert interrupted >= 8


class WithoutSize(ftplib.FTP):
    """A client that offers only what FTPPath relies on: no size()."""

    def __getattribute__(self, name):
        if name == "size":
            raise AttributeError(name)
        return super().__getattribute__(name)


def test_transfers_confirm_their_size_without_a_size_method(server, config_file, home, tmp_path):
    bound = bound_class(server, config_file, suffix="_nosize")
    plain = type(bound.__name__ + "_plain", (bound,), {"_creator": WithoutSize})
    data = os.urandom(100_000)
    (tmp_path / "f").write_bytes(data)
    p = plain(f"{home.remote}/d/f")
    p.write(data)
    assert p.read() == data
    plain(f"{home.remote}/d/g").upload(str(tmp_path / "f"))
    assert (home.path / "d/g").read_bytes() == data
    assert isinstance(p.client, WithoutSize)


def test_a_local_link_loop_is_refused_before_anything_is_made_for_it(remote, home, tmp_path):
    local = tmp_path / "local"
    (local / "a" / "b").mkdir(parents=True)
    (local / "a" / "b" / "f").write_bytes(b"f")
    (local / "a" / "b" / "up").symlink_to(local / "a")  # a loop two levels up
    with pytest.raises(OSError) as caught:
        remote("up").upload(str(local))
    assert caught.value.errno == errno.ELOOP and caught.value.filename == str(local / "a/b/up")
    assert "a/b/up" in str(caught.value) and "loop" in str(caught.value)
    assert not os.path.lexists(home.path / "up/a/b/up")
    sibling = home.path / "up/a/b/f"  # made before or after the link, as the local listing goes
    assert not sibling.exists() or sibling.read_bytes() == b"f"
