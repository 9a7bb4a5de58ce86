"""IPv6 kept working: pyftpdlib on ::1, reached by URL, through the
filesystem and from the command line, with passive (EPSV) and active (EPRT)
data connections."""

from __future__ import annotations

import os
import socket
import subprocess
import sys

import pytest
import servers


def _loopback_v6() -> bool:
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
    except OSError:
        return False
    return True


pytestmark = pytest.mark.skipif(not _loopback_v6(), reason="this machine has no IPv6 loopback address ::1 to bind")


@pytest.fixture(scope="module")
def srv(tmp_path_factory):
    server = servers.start("pyftpdlib", tmp_path_factory.mktemp("ipv6") / "root", host="::1")
    yield server
    server.stop()


def url(srv, path=""):
    return f"ftp://{srv.user}:{srv.password}@[::1]:{srv.port}/{path}"


@pytest.mark.parametrize("pasv", [True, False], ids=["epsv", "eprt"])
def test_server_by_url_lists_gets_and_puts(srv, pasv):
    from dravlen.ftp import server

    cls = server(url(srv), pasv=pasv)
    folder, data = f"by-url-{pasv}", os.urandom(70_000)
    cls(folder).mkdir()
    cls(f"{folder}/a.bin").write_bytes(data)
    assert (srv.root / folder / "a.bin").read_bytes() == data
    assert [path.name for path in cls(folder).iterdir()] == ["a.bin"]
    assert cls(f"{folder}/a.bin").read_bytes() == data


def test_filesystem(srv):
    from dravlen.ftp.filesystem.fs import FTPFileSystem

    fs = FTPFileSystem(host="::1", port=srv.port, user=srv.user, password=srv.password, timeout=20,
                       skip_instance_cache=True)
    fs.pipe_file("fs.txt", b"over ::1")
    assert (srv.root / "fs.txt").read_bytes() == b"over ::1"
    assert fs.cat_file("fs.txt") == b"over ::1" and "fs.txt" in [name.rsplit("/", 1)[-1] for name in fs.ls("", detail=False)]


def test_command_line_in_both_modes(srv, tmp_path):
    (srv.root / "cli").mkdir()
    (srv.root / "cli" / "b.txt").write_bytes(b"b")
    env = {k: v for k, v in os.environ.items() if not k.startswith("DRAVLEN_")}
    (tmp_path / "empty.ini").write_text("")
    env["DRAVLEN_CONFIG"] = str(tmp_path / "empty.ini")
    for flags, data_command in (([], "EPSV"), (["--active"], "EPRT")):
        done = subprocess.run([sys.executable, "-m", "dravlen.ftp", "-v", "--url", url(srv), *flags, "ls", "cli"],
                              env=env, capture_output=True, timeout=60, check=False)
        err = done.stderr.decode()
        sent = {line.split()[2] for line in err.splitlines() if line.startswith("---> ")}
        assert (done.returncode, done.stdout) == (0, b"b.txt\n") and data_command in sent, err
