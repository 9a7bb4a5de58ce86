"""Every member over explicit TLS, on each server kind requiring it for the login and all data."""

from __future__ import annotations

import ftplib
import hashlib
import os
import shutil
import ssl
import tempfile
from pathlib import Path

import pytest

import servers
from conftest import bound_class
from dravlen.base import LoginError
from dravlen.ftp import server as ftp_server
from dravlen.ftp.settings import FTPSettings
from dravlen.ftp.wire.tls import TLSClient, context_for


@pytest.fixture(scope="session")
def tls_class(tls_server):
    return ftp_server(
        f"ftps://{tls_server.user}:{tls_server.password}@{tls_server.host}:{tls_server.port}/",
        cafile=tls_server.certs.ca, timeout=20,
    )


@pytest.fixture
def tls_home(tls_server, request):
    name = f"{request.node.name[:40]}-{os.getpid()}".replace("[", "_").replace("]", "_")
    path = tls_server.root / name
    path.mkdir()
    yield path
    shutil.rmtree(path, ignore_errors=True)


def test_every_member_over_tls(tls_server, tls_class, tls_home, tmp_path):
    home = tls_home.name
    data = os.urandom(3 << 20)
    target = tls_class(f"{home}/new/deeper/data.bin")
    target.write(data)  # makes both parents
    assert hashlib.sha256((tls_home / "new/deeper/data.bin").read_bytes()).digest() == hashlib.sha256(data).digest()
    client = target.client
    assert isinstance(client, TLSClient) and isinstance(client.sock, ssl.SSLSocket)
    assert client._prot_p, "data connections must be protected"
    assert target.read() == data
    # is_dir() abandons a download after its first block; the control
    # connection is brought back in step without a new TLS session.  Pure-FTPd
    # over TLS at times sends no reply at all for an abandoned download, and
    # the client is then replaced rather than trusted.
    for _ in range(3):
        assert target.exists and target.is_dir() is False
        assert tls_class(f"{home}/new").is_dir() is True
        assert target.read() == data
    assert tls_class(f"{home}/missing").exists is False
    keeps_client = tls_server.kind != "pureftpd"
    if keeps_client:
        assert target.client is client
    client = target.client

    os.utime(tls_home / "new/deeper/data.bin", (1_700_000_000, 1_700_000_000))
    assert target.mtime.year == 2023

    tls_class(f"{home}/made/one/two").mkdir()
    assert (tls_home / "made/one/two").is_dir()

    local = tmp_path / "tree"
    (local / "sub").mkdir(parents=True)
    (local / "sub/a.bin").write_bytes(os.urandom(70_000))
    (local / "b.txt").write_bytes(b"b\n")
    tls_class(f"{home}/up").upload(str(local))
    assert (tls_home / "up/sub/a.bin").read_bytes() == (local / "sub/a.bin").read_bytes()
    assert sorted(p.name for p in tls_class(f"{home}/up").glob()) == ["b.txt", "sub"]
    assert [p.name for p in tls_class(f"{home}/up").glob("*.txt")] == ["b.txt"]

    tls_class(f"{home}/up").delete()
    tls_class(f"{home}/new").delete()
    assert not (tls_home / "up").exists() and not (tls_home / "new").exists()
    if keeps_client:  # delete() probes with is_dir() too
        assert target.client is client


def test_a_section_with_tls_turns_the_core_class_to_tls(tls_server, config_file, tls_home):
    # Settings from the INI file: the plain class's ftplib.FTP becomes the TLS
    # client; active mode too.
    cls = bound_class(tls_server, config_file, suffix="_ini_tls_active", pasv=False)
    p = cls(f"{tls_home.name}/sub/f.bin")
    data = os.urandom(200_000)
    p.write(data)
    assert p.read() == data and isinstance(p.client, TLSClient) and p.client.passiveserver is False
    assert [q.name for q in cls(f"{tls_home.name}/sub").glob()] == ["f.bin"]


def test_data_connections_resume_the_control_session(tls_server):
    # What the TLS client exists for: vsftpd and ProFTPD refuse a data
    # connection that does not resume the control connection's TLS session.
    plain = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=str(tls_server.certs.ca)), timeout=10)
    plain.connect(tls_server.host, tls_server.port)
    try:
        plain.login(tls_server.user, tls_server.password)
        plain.prot_p()
        if tls_server.kind in ("vsftpd", "proftpd"):
            with pytest.raises(ftplib.Error, match="^(522|425)"):
                plain.nlst()
        settings = FTPSettings(host=tls_server.host, port=tls_server.port, user=tls_server.user,
                               password=tls_server.password, timeout=10, pasv=True, encoding="utf-8",
                               tls=True, cafile=str(tls_server.certs.ca))
        ours = TLSClient(context=context_for(settings), timeout=10)
        ours.connect(tls_server.host, tls_server.port)
        ours.login(tls_server.user, tls_server.password)
        ours.prot_p()
        assert isinstance(ours.nlst(), list)
        ours.quit()
    finally:
        plain.close()


def test_certificate_checks(tls_server, tls_home):
    url = f"ftps://{tls_server.user}:{tls_server.password}@{tls_server.host}:{tls_server.port}/"
    untrusted = ftp_server(url, timeout=10)  # the system's store knows no test CA
    with pytest.raises(ssl.SSLCertVerificationError) as caught:
        untrusted(tls_home.name).exists
    message = str(caught.value)
    assert f"ftps://{tls_server.user}@{tls_server.host}:{tls_server.port}" in message
    assert "not trusted" in message and "verify = false" in message
    assert tls_server.password not in message
    unchecked = ftp_server(url, verify=False, timeout=10)
    assert unchecked(tls_home.name).is_dir() is True
    # Plain FTP to a server that requires TLS: one clear refusal, not retried.
    clear = ftp_server(url.replace("ftps://", "ftp://"), timeout=10)
    with pytest.raises(LoginError, match="asks for TLS"):
        clear(tls_home.name).exists


def test_a_certificate_for_another_host_is_refused(tmp_path):
    certs = servers.make_certs(tmp_path / "certs", hosts=("127.0.0.9",))
    base = Path(tempfile.mkdtemp(prefix="dravlen-tls-name-"))
    srv = servers.start("pyftpdlib", base / "home", certs=certs)
    try:
        cls = ftp_server(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                         tls=True, cafile=certs.ca, timeout=10)
        with pytest.raises(ssl.SSLCertVerificationError, match="not trusted: .*(IP address mismatch|match)"):
            cls("/").exists
    finally:
        srv.stop()
        shutil.rmtree(base, ignore_errors=True)


def test_everyday_and_tree_members_over_tls(tls_server, tls_class, tls_home, tmp_path):
    home = tls_home.name
    data = os.urandom(1 << 20)
    (tls_home / "d").mkdir()
    (tls_home / "d/big.bin").write_bytes(data)
    (tls_home / "d/small.txt").write_bytes(b"line one\nline two\n")
    big = tls_class(f"{home}/d/big.bin")

    info = big.info()
    assert (info.kind, info.size) == ("file", len(data)) and big.size == len(data)
    listed = {p.name: e.kind for p, e in tls_class(f"{home}/d").iterdir(detail=True)}
    assert listed == {"big.bin": "file", "small.txt": "file"}

    with big.open("rb") as stream:
        assert stream.read() == data
    # A reader closed early abandons its protected data connection; the
    # next exchanges must still be in step.
    with big.open("rb") as stream:
        assert stream.read(10) == data[:10]
    with tls_class(f"{home}/d/small.txt").open("r", encoding="utf-8") as text:
        assert text.readline() == "line one\n"
    with tls_class(f"{home}/d/written.bin").open("wb") as stream:
        stream.write(data[:70_000])
    assert (tls_home / "d/written.bin").read_bytes() == data[:70_000]

    assert big.download(tmp_path / "big.bin") == len(data)
    assert (tmp_path / "big.bin").read_bytes() == data
    moved = tls_class(f"{home}/d/written.bin").rename(tls_class(f"{home}/d/moved.bin"))
    assert moved.name == "moved.bin" and (tls_home / "d/moved.bin").exists()
    assert not (tls_home / "d/written.bin").exists()
    assert sorted(p.name for p in tls_class(home).rglob("*.bin")) == ["big.bin", "moved.bin"]

    local = tmp_path / "tree"
    (local / "a/b").mkdir(parents=True)
    for i in range(12):
        (local / "a/b" / f"f{i}.bin").write_bytes(os.urandom(3000 + i))
    (local / ".dot").write_bytes(b"dot")
    up = tls_class(f"{home}/up")
    done = up.upload_tree(local, connections=3)
    assert done.files == 13
    back = tmp_path / "back"
    assert up.download_tree(back, connections=3).files == 13
    assert sorted(p.relative_to(back).as_posix() for p in back.rglob("*") if p.is_file()) == sorted(
        p.relative_to(local).as_posix() for p in local.rglob("*") if p.is_file())
    for p in local.rglob("*"):
        if p.is_file():
            assert (back / p.relative_to(local)).read_bytes() == p.read_bytes()
    up.remove_tree(connections=3)
    assert not (tls_home / "up").exists()
    assert tls_class(f"{home}/d/small.txt").read() == b"line one\nline two\n"
