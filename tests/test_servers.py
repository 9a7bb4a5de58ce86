"""The loopback FTP servers of tests/servers.py, checked with plain ftplib.

Only what the rest of the suite takes for granted, so that a broken fixture
shows up here rather than as a fault of the package: each server logs in at
``server.root``, moves data both ways in passive and active mode between the
client and the files under it (also files the tests made there as root), and
``stop()`` leaves no process and no listening port behind.  What the package
does on each server is tested in test_matrix.py.
"""

from __future__ import annotations

import io
import os
import shutil
import socket
import tempfile
from pathlib import Path

import pytest

import servers  # its `server` and `home` fixtures come through conftest.py


@pytest.fixture
def ftp(server):
    client = server.connect()
    yield client
    client.close()


def test_login_starts_at_the_root(server, ftp, home):
    assert ftp.getwelcome().startswith("220")
    # pyftpdlib shows its root as "/"; the Debian servers run without a chroot.
    assert ftp.pwd() == ("/" if server.kind == "pyftpdlib" else str(server.root))
    assert home.path.parent == server.root and list(home.path.iterdir()) == []


@pytest.mark.parametrize("passive", [True, False], ids=["pasv", "active"])
def test_transfers_reach_the_files_under_the_root(ftp, home, passive):
    ftp.set_pasv(passive)
    ftp.cwd(home.remote)
    up = os.urandom(1 << 20)
    ftp.storbinary("STOR up.bin", io.BytesIO(up))
    assert (home.path / "up.bin").read_bytes() == up

    down = os.urandom(300_001)
    (home.path / "down.bin").write_bytes(down)
    got = bytearray()
    assert ftp.retrbinary("RETR down.bin", got.extend).startswith("226")
    assert bytes(got) == down

    # What a test makes on disk as root, the FTP account may change and remove.
    (home.path / "made").mkdir()
    (home.path / "made" / "old.txt").write_text("old")
    ftp.storbinary("STOR made/old.txt", io.BytesIO(b"new"))
    assert (home.path / "made" / "old.txt").read_bytes() == b"new"
    ftp.delete("made/old.txt")
    ftp.rmd("made")
    ftp.delete("down.bin")
    assert [p.name for p in home.path.iterdir()] == ["up.bin"]


def test_stop_ends_every_process(server):
    """A second server of the kind, stopped with a session open, leaves nothing."""
    scratch = Path(tempfile.mkdtemp(prefix="dravlen-scratch-"))
    scratch.chmod(0o755)  # the FTP account walks through it
    try:
        extra = servers.start(server.kind, scratch / "home", server.host)
        try:
            client = extra.connect()
            pid = extra._process.pid
            family = [pid, *servers._family(pid)]
            if server.kind != "pyftpdlib":  # which serves every session in one process
                assert len(family) >= 2, family  # the session's process is seen
        finally:
            extra.stop()
        assert not extra.running
        # (Zombies may linger until PID 1 reaps them; _alive does not count them.)
        assert [p for p in family + servers._family(pid) if servers._alive(p)] == []
        with pytest.raises(OSError):
            socket.create_connection((extra.host, extra.port), timeout=2).close()
        client.close()
        extra.stop()  # a second stop is harmless
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
