"""Hashes where the server has them: asked with HASH or XSHA256 and kin,
trusted for nothing but a hash of the whole file, and used to compare
(``sync --checksum``) and to confirm copies (``verify="hash"``)."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

import pytest
import servers
from hashserver import PASSWORD, USER, HashServer

from dravlen.base import Local
from dravlen.ftp import server, tree
from dravlen.ftp.remote import ChecksumMismatch, ChecksumUnavailable
from dravlen.ftp.wire.checksums import (
    _from_hash_reply,
    _from_older_reply,
    algorithm_named,
)

DATA = os.urandom(300_000)
LOCAL = {"SHA-256": hashlib.sha256(DATA).hexdigest(), "SHA-1": hashlib.sha1(DATA).hexdigest(),
         "MD5": hashlib.md5(DATA).hexdigest(), "CRC32": f"{zlib.crc32(DATA):08x}"}


@pytest.fixture
def hashing(tmp_path):
    root = tmp_path / "served"
    (root / "d").mkdir(parents=True)
    (root / "d" / "f.bin").write_bytes(DATA)
    srv = HashServer(root)
    srv.root = root
    Local.clear()
    yield srv
    Local.clear()
    srv.stop()


def test_each_algorithm_by_either_command(hashing):
    cls = hashing.path_class()
    for style in ("hash", "x"):
        hashing.handler.style = style
        Local.clear()
        # The strongest by default; the others named as hashlib or the draft name them.
        assert cls("d/f.bin").checksum() == ("SHA-256", LOCAL["SHA-256"])
        for name in ("sha1", "MD5", "crc32"):
            assert cls("d/f.bin").checksum(name) == (algorithm_named(name).name, LOCAL[algorithm_named(name).name])
    with pytest.raises(ValueError, match="unknown hash algorithm 'sha3'"):
        cls("d/f.bin").checksum("sha3")


@pytest.fixture
def proftpd_digest(tmp_path, monkeypatch):
    """ProFTPD with its mod_digest: HASH (SHA-1 selected) and XSHA256 and kin,
    each answered after a ``213-Computing ...`` line."""
    modules = servers.CACHE / "proftpd-core" / "usr" / "lib" / "proftpd"
    if not (modules / "mod_digest.so").exists():
        pytest.skip("ProFTPD's mod_digest is not installed")
    launch = servers._LAUNCHERS["proftpd"]

    def with_digest(*args, **kwargs):
        argv, logs = launch(*args, **kwargs)
        with open(argv[-1], "a") as conf:  # the configuration file is the last argument
            conf.write(f"ModulePath {modules}\nLoadModule mod_digest.c\nDigestEngine on\n")
        return argv, logs

    monkeypatch.setitem(servers._LAUNCHERS, "proftpd", with_digest)
    base = Path(tempfile.mkdtemp(prefix="dravlen-digest-"))
    base.chmod(0o755)  # the FTP account walks through it
    srv = servers.start("proftpd", base / "home")
    (srv.root / "f.bin").write_bytes(DATA)
    (srv.root / "f.bin").chmod(0o644)
    Local.clear()
    yield srv
    Local.clear()
    srv.stop()
    shutil.rmtree(base, ignore_errors=True)


def test_proftpd_mod_digest(proftpd_digest, tmp_path):
    srv = proftpd_digest
    cls = server(host=srv.host, port=srv.port, user=srv.user, password=srv.password, timeout=20)
    for name in ("SHA-256", "crc32", "MD5"):  # OPTS HASH first: its own choice is SHA-1
        assert cls("f.bin").checksum(name)[1] == LOCAL[algorithm_named(name).name]
    assert cls("f.bin").download(tmp_path / "f.bin", verify="hash") == len(DATA)
    assert (tmp_path / "f.bin").read_bytes() == DATA
    # Its older commands' replies (upper case, after a 250- line) read as well.
    client = srv.connect()
    assert _from_older_reply(client.sendcmd("XCRC f.bin"), algorithm_named("CRC32")) == LOCAL["CRC32"]
    client.quit()


SHA1 = algorithm_named("SHA-1")
GOOD = "a" * 40


@pytest.mark.parametrize("reply", [
    f"213 SHA-256 0-10 {GOOD} f.bin",      # another algorithm than asked
    f"213 SHA-1 5-10 {GOOD} f.bin",        # a range, not the file
    f"213 SHA-1 0-9999 {GOOD} f.bin",      # not the file's size
    f"213 SHA-1 0-10 {GOOD} other.bin",    # another path
    f"213 SHA-1 0-10 {GOOD[:-1]} f.bin",   # too short
    f"213 SHA-1 0-10 {GOOD[:-1]}g f.bin",  # no hex
    f"250 SHA-1 0-10 {GOOD} f.bin",        # no 213
])
def test_hash_replies_that_are_no_hash_of_the_file(reply):
    assert _from_hash_reply(f"213 SHA-1 0-10 {GOOD} /home/x/d/f.bin", SHA1, "d/f.bin", 10) == GOOD
    assert _from_hash_reply(reply, SHA1, "f.bin", 10) is None
    assert _from_older_reply(f"250 {GOOD.upper()} d/f.bin", SHA1) == GOOD
    for older in (f"250 {GOOD} {GOOD}", f"250 {GOOD[:-1]}", f"500 {GOOD}"):
        assert _from_older_reply(older, SHA1) is None


def test_a_lying_server_leaves_no_copy(hashing, tmp_path):
    cls = hashing.path_class()
    hashing.handler.lie = True
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(ChecksumMismatch, match=rf"'d/f.bin'.*ftp://{USER}@127.0.0.1:{hashing.port}"):
        cls("d/f.bin").download(out / "f.bin", verify="hash")
    assert os.listdir(out) == []
    # A partial file continued is not kept for the next call either.
    with pytest.raises(ChecksumMismatch):
        cls("d/f.bin").download(out / "f.bin", verify="hash", resume=True)
    assert [os.path.getsize(out / name) for name in os.listdir(out)] in ([], [0])
    # Both tree engines: the download never takes its name, the upload is deleted.
    with pytest.raises(tree.TreeError, match="does not match the file on"):
        tree.download_tree(cls("d"), out / "d", verify="hash", connections=1)
    assert not (out / "d" / "f.bin").exists()
    with pytest.raises(tree.TreeError, match="does not match the file on"):
        tree.upload_tree(hashing.root / "d", cls("up"), verify="hash", temporary_names=True, connections=1)
    assert os.listdir(hashing.root / "up") == []


def sync(hashing, *args):
    url = f"ftp://{USER}:{PASSWORD}@{hashing.host}:{hashing.port}/d"
    config = hashing.root.parent / "dravlen.ini"
    config.touch()
    env = {k: v for k, v in os.environ.items() if not k.startswith("DRAVLEN_")}
    done = subprocess.run([sys.executable, "-m", "dravlen.ftp", "sync", *args, url, str(hashing.root.parent / "mine")],
                          env=dict(env, DRAVLEN_CONFIG=str(config)), capture_output=True, timeout=60, check=False)
    return done.returncode, done.stderr.decode()


def test_sync_checksum_copies_what_size_and_time_call_the_same(hashing):
    mine = hashing.root.parent / "mine"
    mine.mkdir()
    other = bytes(255 - b for b in DATA)
    (mine / "f.bin").write_bytes(other)
    stamp = os.stat(hashing.root / "d" / "f.bin").st_mtime
    os.utime(mine / "f.bin", (stamp, stamp))
    assert sync(hashing)[0] == 0
    assert (mine / "f.bin").read_bytes() == other  # size and time agree: left alone
    assert sync(hashing, "--checksum") == (0, "")
    assert (mine / "f.bin").read_bytes() == DATA
    hashing.handler.asked.clear()
    assert sync(hashing, "--checksum") == (0, "sync: 0 files moved, 1 skipped (already complete)\n")
    assert hashing.handler.asked == ["SHA-256"]
    # A server without hashes: a clear error, nothing compared by time instead.
    hashing.handler.style = None
    (mine / "f.bin").write_bytes(other)
    status, err = sync(hashing, "--checksum")
    assert status != 0 and f"127.0.0.1:{hashing.port} computes no hash of a file" in err
    assert (mine / "f.bin").read_bytes() == other
    cls = hashing.path_class()
    with pytest.raises(ChecksumUnavailable, match=f"ftp://{USER}@127.0.0.1:{hashing.port} computes no hash"):
        cls("d/f.bin").checksum()
    # Copies keep the size rule.
    assert cls("d/f.bin").download(mine / "f.bin", verify="hash") == len(DATA)
    assert tree.upload_tree(mine / "f.bin", cls("d/g.bin"), verify="hash").files == 1
    assert (hashing.root / "d" / "g.bin").read_bytes() == DATA
