"""Every operation against each real server of the matrix."""

from __future__ import annotations

import datetime
import hashlib
import os
from pathlib import Path

import pytest

from conftest import bound_class


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def tree_digests(root: Path) -> dict[str, str]:
    """Relative name -> SHA-256 of every file below root, directories as 'dir'."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=True):
        for name in dirnames:
            found[os.path.relpath(os.path.join(dirpath, name), root)] = "dir"
        for name in filenames:
            full = os.path.join(dirpath, name)
            found[os.path.relpath(full, root)] = digest(Path(full).read_bytes())
    return found


@pytest.mark.parametrize("size", [0, 1, 3 << 20, 50 << 20], ids=["empty", "1B", "3MiB", "50MiB"])
def test_round_trip(remote, home, size):
    data = os.urandom(size)
    target = remote("new dir/deeper/data.bin")  # the parents do not exist yet
    target.write(data)
    assert digest((home.path / "new dir/deeper/data.bin").read_bytes()) == digest(data)
    assert digest(target.read()) == digest(data)
    target.write(b"replaced")
    assert target.read() == b"replaced"


def test_queries_keep_the_client(remote, home):
    (home.path / "empty dir").mkdir()
    (home.path / "full").mkdir()
    (home.path / "full/x").write_bytes(b"x")
    (home.path / "file.txt").write_bytes(os.urandom(1 << 20))
    (home.path / "empty.txt").write_bytes(b"")
    client = remote().client
    for rel, exists, is_dir in [
        ("empty dir", True, True),
        ("full", True, True),
        ("file.txt", True, False),
        ("empty.txt", True, False),
        ("missing", False, None),
        ("missing/below", False, None),
    ]:
        p = remote(rel)
        assert p.exists is exists, rel
        if is_dir is None:
            with pytest.raises(FileNotFoundError, match="does not exist"):
                p.is_dir()
        else:
            assert p.is_dir() is is_dir, rel
    # abandoned downloads and refusals were absorbed without a new connection
    assert remote().client is client
    assert remote("file.txt").read() == (home.path / "file.txt").read_bytes()


def test_mtime(remote, home):
    f = home.path / "stamp.txt"
    f.write_bytes(b"t")
    os.utime(f, (1_700_000_000, 1_700_000_000))
    expected = datetime.datetime(2023, 11, 14, 22, 13, 20) + datetime.timedelta(hours=8)
    assert remote("stamp.txt").mtime == expected
    with pytest.raises(FileNotFoundError):
        remote("nope.txt").mtime


def test_mkdir_nested_and_refused(remote, home):
    remote("a/b/c").mkdir()
    assert (home.path / "a/b/c").is_dir()
    remote("a/b/c").mkdir()  # already there: nothing to do
    (home.path / "a/file").write_bytes(b"f")
    with pytest.raises(FileNotFoundError, match=r"^Failed to create directory '.*a/file'\.$") as caught:
        remote("a/file").mkdir()
    assert caught.value.__context__ is not None
    assert remote("a/b").is_dir()  # the client is usable after the refusal


def test_glob(remote, home):
    (home.path / "d").mkdir()
    names = ["plain.txt", ".hidden", "with  two blanks.txt", "sub", "ünï.txt"]
    for name in names:
        if name == "sub":
            (home.path / "d" / name).mkdir()
        else:
            (home.path / "d" / name).write_bytes(b"n")
    found = sorted(p.path.name for p in remote("d").glob())
    assert found == sorted(names)
    assert sorted(p.path.name for p in remote("d").glob("*.txt")) == sorted(n for n in names if n.endswith(".txt"))
    with pytest.raises(TypeError, match="is not a directory"):
        next(remote("d/plain.txt").glob())


def make_local_tree(root: Path) -> None:
    (root / "sub/deeper").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / ".dotfile").write_bytes(b"dot")
    (root / "name with blanks.bin").write_bytes(os.urandom(70_000))
    (root / "sub/deeper/.hidden dir").mkdir()
    (root / "sub/deeper/.hidden dir/f").write_bytes(os.urandom(10))
    (root / "sub/a.txt").write_bytes(b"a" * 5000)
    (root / "linked.txt").symlink_to(root / "sub/a.txt")
    (root / "linked dir").symlink_to(root / "sub/deeper")


def test_upload_tree_then_delete(remote, home, tmp_path):
    local = tmp_path / "local"
    make_local_tree(local)
    remote("up").upload(str(local))
    uploaded = home.path / "up"
    assert tree_digests(uploaded) == tree_digests(local)
    assert not any(p.is_symlink() for p in uploaded.rglob("*"))  # links were followed
    listed = sorted(p.path.name for p in remote("up").glob())
    assert listed == sorted(p.name for p in local.iterdir())
    remote("up").delete()
    assert not uploaded.exists()
    assert not remote("up").exists


def test_upload_single_file_and_missing(remote, home, tmp_path):
    f = tmp_path / "one.bin"
    f.write_bytes(os.urandom(123_457))
    remote("x/y/renamed.bin").upload(str(f))
    assert (home.path / "x/y/renamed.bin").read_bytes() == f.read_bytes()
    with pytest.raises(FileNotFoundError):
        remote("z/missing.bin").upload(str(tmp_path / "absent"))
    assert (home.path / "z").is_dir()  # the remote parent was made before the local open failed


def test_upload_stops_at_a_failing_store(remote, home, tmp_path):
    local = tmp_path / "local"
    local.mkdir()
    for name in ["a", "b", "c", "d"]:
        (local / name).write_bytes(name.encode() * 100)
    order = [p.name for p in local.iterdir()]
    blocked = order[2]
    (home.path / "t" / blocked).mkdir(parents=True)  # a directory where a file must go
    (home.path / "t" / blocked / "inside").write_bytes(b"i")
    with pytest.raises(Exception):
        remote("t").upload(str(local))
    for name in order[:2]:
        assert (home.path / "t" / name).read_bytes() == name.encode() * 100
    for name in order[3:]:
        assert not (home.path / "t" / name).exists()


def test_active_mode(server, config_file, home):
    active = bound_class(server, config_file, suffix="_active", pasv=False)
    p = active(f"{home.remote}/active.bin")
    data = os.urandom(200_000)
    p.write(data)
    assert p.read() == data
    assert [q.path.name for q in active(home.remote).glob()] == ["active.bin"]
    assert p.client.passiveserver is False


def test_wrong_password_is_a_clear_error(server, config_file, home):
    wrong = bound_class(server, config_file, suffix="_wrongpw", password="not-the-password")
    with pytest.raises(Exception) as caught:
        wrong(home.remote).exists
    assert "530" in str(caught.value) or "Login" in str(caught.value)


# --- symbolic links made in the server's own file system ---------------------


def make_links(home: Path) -> dict[str, bytes]:
    """A tree holding links of every kind, and what must survive its deletion."""
    (home / "outside").mkdir()
    (home / "outside/keep.txt").write_bytes(b"keep me")
    (home / "outside.txt").write_bytes(b"file target")
    tree = home / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub/f").write_bytes(b"f")
    (tree / "dlink").symlink_to(home / "outside")
    (tree / "flink").symlink_to(home / "outside.txt")
    (tree / "dangling").symlink_to(home / "nowhere")
    (tree / "sub/cycle").symlink_to("..")
    return {"outside/keep.txt": b"keep me", "outside.txt": b"file target"}


def test_delete_tree_with_links(remote, home):
    kept = make_links(home.path)
    names = sorted(p.path.name for p in remote("tree").glob())
    assert names == ["dangling", "dlink", "flink", "sub"]
    remote("tree").delete()
    assert not os.path.lexists(home.path / "tree")
    for rel, data in kept.items():
        assert (home.path / rel).read_bytes() == data


@pytest.mark.parametrize("link", ["dlink", "flink", "dangling"])
def test_delete_a_link_itself(remote, home, link):
    kept = make_links(home.path)
    remote(f"tree/{link}").delete()
    assert not os.path.lexists(home.path / "tree" / link)
    assert (home.path / "tree/sub/f").exists()
    for rel, data in kept.items():
        assert (home.path / rel).read_bytes() == data
