"""What users do, on the older or plainer servers of `servers.OLD_KINDS`:
GNU inetutils ftpd, BusyBox's ftpd, Twisted's and aioftp's servers, most
with a clock zone that is not UTC (`servers.ZONES`).  Short timeouts: an
answer a client waits on for nothing shows as a failure, not a hang."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from datetime import datetime, timezone

import pytest

import servers
from conftest import bound_class
from dravlen.ftp import tree
from dravlen.ftp.tree.sync import Rules
from servers import old_home, old_server  # noqa: F401  (fixtures)

TIMEOUT = 5  # seconds a reply may take


@pytest.fixture(scope="module")
def cls(old_server, config_file):
    from dravlen.ftp.remote import RemotePath

    return bound_class(old_server, config_file, suffix="-old", base=RemotePath, timeout=TIMEOUT)


@pytest.fixture
def at(cls, old_home):
    """at("a/b") is the RemotePath of a/b inside the test's own folder."""
    return lambda rel: cls(f"{old_home.remote}/{rel}")


def files_below(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def sync(old_server, tmp_path, source, destination):
    """``python -m dravlen.ftp sync SOURCE DESTINATION`` as a user runs it."""
    config = tmp_path / "cli.ini"
    if not config.exists():
        servers.make_config(old_server, config, "ftp", timeout=TIMEOUT)
    env = {k: v for k, v in os.environ.items() if not k.startswith("DRAVLEN_")}
    done = subprocess.run([sys.executable, "-m", "dravlen.ftp", "sync", str(source), str(destination)],
                          env=dict(env, DRAVLEN_CONFIG=str(config)), capture_output=True, timeout=60)
    return done.returncode, done.stderr.decode(errors="replace")


def test_probes_folders_and_writes(at, old_home):
    for rel in ("made", "made2/sub/deeper"):
        began = time.monotonic()
        at(rel).mkdir()
        took = time.monotonic() - began
        assert (old_home.path / rel).is_dir(), rel
        assert took < TIMEOUT / 2, f"mkdir {rel} took {took:.1f} s"

    (old_home.path / "empty").mkdir()
    assert at("missing").exists is False
    assert at("missing/deeper").exists is False
    assert at("empty").exists is True
    assert at("empty").is_dir() is True

    at("new/nested/f.bin").write(b"\x00payload\r\n")
    assert (old_home.path / "new" / "nested" / "f.bin").read_bytes() == b"\x00payload\r\n"

    (old_home.path / "doomed" / "a" / "b").mkdir(parents=True)
    (old_home.path / "doomed" / "a" / "b" / "deep.txt").write_bytes(b"deep")
    (old_home.path / "doomed" / "top.txt").write_bytes(b"top")
    (old_home.path / "doomed" / "hollow").mkdir()
    at("doomed").delete()
    assert not (old_home.path / "doomed").exists()
    assert sorted(os.listdir(old_home.path)) == ["empty", "made", "made2", "new"]


def test_folder_with_blanks_listed_and_fetched(at, old_home, tmp_path):
    spaced = old_home.path / "sp dir"
    (spaced / "in ner").mkdir(parents=True)
    (spaced / "one.txt").write_bytes(b"1")
    (spaced / "in ner" / "two words.txt").write_bytes(b"22")

    assert sorted(p.name for p in at("sp dir").iterdir()) == ["in ner", "one.txt"]
    assert at("sp dir").info().kind == "dir"
    one = at("sp dir/one.txt").info()
    assert (one.kind, one.size) == ("file", 1)
    walked = {str(top.path.relative_to(at("sp dir").path)): (sorted(dirs), sorted(files))
              for top, dirs, files in at("sp dir").walk()}
    assert walked == {".": (["in ner"], ["one.txt"]), "in ner": ([], ["two words.txt"])}

    assert at("sp dir/in ner/two words.txt").download(tmp_path / "two") == 2
    assert (tmp_path / "two").read_bytes() == b"22"
    tree.download_tree(at("sp dir"), tmp_path / "copy", connections=2)
    assert files_below(tmp_path / "copy") == files_below(spaced)

    for rel in ("sp dir/missing.txt", "missing/x", "missing"):
        with pytest.raises(FileNotFoundError):
            at(rel).info()


def test_keeping_in_step_both_ways(old_server, at, old_home, tmp_path):
    src = tmp_path / "src"
    (src / "sub").mkdir(parents=True)
    (src / "f.txt").write_bytes(b"version-1")
    (src / "sub" / "g.txt").write_bytes(b"g")
    remote = f":{old_home.remote}/t"
    there = old_home.path / "t"

    assert sync(old_server, tmp_path, src, remote) == (0, "")
    assert files_below(there) == files_below(src)
    time.sleep(1.5)
    (src / "f.txt").write_bytes(b"version-2")  # same size, 1.5 s later
    code, err = sync(old_server, tmp_path, src, remote)
    assert code == 0, err
    assert (there / "f.txt").read_bytes() == b"version-2", err

    back = tmp_path / "back"
    tree.download_tree(at("t"), back, connections=2, rules=Rules())
    assert files_below(back) == files_below(there)
    # The server's file time, as a UTC instant, whatever zone its clock is in.
    assert abs((back / "f.txt").stat().st_mtime - (there / "f.txt").stat().st_mtime) < 3
    time.sleep(1.5)
    (there / "f.txt").write_bytes(b"version-3")  # same size, on the server
    tree.download_tree(at("t"), back, connections=2, rules=Rules())
    assert (back / "f.txt").read_bytes() == b"version-3"


def test_tree_upload_sizes_and_times(at, old_home, tmp_path):
    src = tmp_path / "src"
    (src / "one" / "two").mkdir(parents=True)
    (src / "a.bin").write_bytes(os.urandom(70_000))
    (src / "one" / "b.txt").write_bytes(b"b" * 1000)
    (src / "one" / "two" / "c.txt").write_bytes(b"")
    outcome = tree.upload_tree(src, at("up"), connections=2)
    assert outcome.files == 3
    assert files_below(old_home.path / "up") == files_below(src)

    now = datetime.now(timezone.utc)
    for rel, size in [("up/a.bin", 70_000), ("up/one/b.txt", 1000), ("up/one/two/c.txt", 0)]:
        path = at(rel)
        info = path.info()
        assert (info.kind, info.size) == ("file", size), rel
        assert info.mtime is not None and abs((info.mtime - now).total_seconds()) < 120, (rel, info)
        stat = path.stat()
        assert stat.st_size == size and abs(stat.st_mtime - now.timestamp()) < 120, (rel, stat)
    folder = at("up/one").info()
    assert folder.kind == "dir"
    assert folder.mtime is None or abs((folder.mtime - now).total_seconds()) < 120, folder


def test_partial_and_ranged_reads(old_server, at, old_home):
    from dravlen.ftp.filesystem.fs import FTPFileSystem

    data = bytes(range(256)) * 64  # 16 KiB
    (old_home.path / "data.bin").write_bytes(data)
    with at("data.bin").open("rb") as reader:
        assert reader.read(10) == data[:10]  # then closed half-way
    assert at("data.bin").read_bytes() == data  # and the client is still in step

    fs = FTPFileSystem(host=old_server.host, port=old_server.port, user=old_server.user,
                       password=old_server.password, timeout=TIMEOUT, skip_instance_cache=True)
    name = f"{old_home.remote}/data.bin"
    if old_server.kind == "twisted":  # no REST: a read that is not from the start says so at once
        from dravlen.ftp.filesystem.fs import RestRefused

        began = time.monotonic()
        with pytest.raises(RestRefused):
            fs.cat_file(name, start=1000, end=1010)
        assert time.monotonic() - began < TIMEOUT / 2
        assert fs.cat_file(name, start=0, end=10) == data[:10]
        return
    assert fs.cat_file(name, start=1000, end=1010) == data[1000:1010]
    with fs.open(name, "rb") as f:
        f.seek(5000)
        assert f.read(7) == data[5000:5007]
        f.seek(20)
        assert f.read(3) == data[20:23]


def test_touch_and_rename(at, old_home):
    at("fresh.txt").touch()
    assert (old_home.path / "fresh.txt").read_bytes() == b""
    with pytest.raises(FileNotFoundError):
        at("missing.txt").rename(at("anything.txt"))
    assert not (old_home.path / "anything.txt").exists()
    assert at("fresh.txt").rename(at("renamed.txt")).exists
    assert os.listdir(old_home.path) == ["renamed.txt"]
