"""Every member over explicit TLS, on each server kind requiring it for the login and all data;
implicit TLS, client certificates and the control connection's keepalives."""

from __future__ import annotations

import ftplib
import hashlib
import os
import shutil
import socket
import ssl
import tempfile
import threading
from pathlib import Path

import pytest

import servers
from conftest import bound_class
from dravlen.base import LoginError
from dravlen.config import ConfigError
from dravlen.ftp import server as ftp_server
from dravlen.ftp.connect import parse_url
from dravlen.ftp.filesystem.fs import FTPSFileSystem
from dravlen.ftp.remote import RemotePath
from dravlen.ftp.settings import FTPSettings, ftp_settings
from dravlen.ftp.wire.client import KEEPALIVE, Client
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


# ---------------------------------------------------------------------------
# Implicit FTPS, client certificates, keepalives on the control connection


@pytest.fixture(scope="module", params=["pyftpdlib", "vsftpd"])
def implicit_server(request, certs):
    """A server speaking TLS from the first byte: pyftpdlib on implicit FTPS's
    own port 990 (so that its plain ftps:// URL reads as implicit), vsftpd on
    any other (so only the setting says so)."""
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-{request.param}-implicit-"))
    os.chmod(base, 0o755)
    # Port 990 on an address of this run's own: CI runs two test runs at once.
    where = {"host": servers.OWN_ADDRESS, "port": 990} if request.param == "pyftpdlib" else {}
    srv = servers.start(request.param, base / "home", certs=certs, implicit=True, **where)
    yield srv
    srv.stop()
    shutil.rmtree(base, ignore_errors=True)


def test_implicit_tls(implicit_server, certs, config_file, tmp_path):
    srv = implicit_server
    if srv.port == 990:
        cls = ftp_server(f"ftps://{srv.user}:{srv.password}@{srv.host}:990/", cafile=certs.ca, timeout=10)
    else:  # a section of the INI file
        cls = bound_class(srv, config_file, suffix="_implicit", base=RemotePath, tls="implicit")
    data = os.urandom(300_000)
    cls("im/data.bin").write(data)
    assert (srv.root / "im/data.bin").read_bytes() == data
    assert cls("im/data.bin").read() == data
    assert [p.name for p in cls("im").glob()] == ["data.bin"]
    client = cls("im").client
    assert isinstance(client, TLSClient) and client.implicit and client._prot_p
    local = tmp_path / "tree"
    (local / "sub").mkdir(parents=True)
    for i in range(4):
        (local / "sub" / f"{i}.bin").write_bytes(os.urandom(5000 + i))
    assert cls("im/up").upload_tree(local, connections=2).files == 4
    assert (srv.root / "im/up/sub/3.bin").read_bytes() == (local / "sub/3.bin").read_bytes()
    cls("im").remove_tree(connections=2)
    assert not (srv.root / "im").exists()
    if srv.port == 990:
        fs = FTPSFileSystem(**FTPSFileSystem._get_kwargs_from_urls(f"ftps://{srv.user}@{srv.host}:990/x"),
                            password=srv.password, cafile=str(certs.ca), timeout=10, skip_instance_cache=True)
        fs.pipe_file("f.txt", b"fs")
        assert fs.cat_file("f.txt") == b"fs" and fs.where == f"ftps://{srv.user}@{srv.host}:990"
        # Explicit TLS where port 990's server waits for the handshake: the
        # server says nothing, and the error says what that likely means.
        explicit = ftp_server(host=srv.host, port=990, user=srv.user, password=srv.password, tls=True,
                              cafile=certs.ca, timeout=0.5)
        with pytest.raises(TimeoutError, match=r"did not answer within 0.5 s \(port 990 is implicit FTPS's: .*"
                                               "tls = implicit"):
            explicit(".").is_dir()


@pytest.fixture(scope="module")
def cert_server(certs):
    """vsftpd requiring explicit TLS and a client certificate of the test CA."""
    base = Path(tempfile.mkdtemp(prefix="dravlen-vsftpd-certs-"))
    os.chmod(base, 0o755)
    srv = servers.start("vsftpd", base / "home", certs=certs, client_certs=True)
    yield srv
    srv.stop()
    shutil.rmtree(base, ignore_errors=True)


def test_client_certificates(cert_server, certs, tmp_path):
    srv = cert_server
    (srv.root / "hello.txt").write_bytes(b"hello")
    url = f"ftps://{srv.user}:{srv.password}@{srv.host}:{srv.port}/"
    combined = tmp_path / "client-combined.pem"
    combined.write_bytes(certs.client_key.read_bytes() + certs.client_cert.read_bytes())
    for options in ({"certfile": certs.client_cert, "keyfile": certs.client_key}, {"certfile": combined}):
        cls = ftp_server(url, cafile=certs.ca, timeout=10, **options)
        assert cls("hello.txt").read() == b"hello"
    where = f"ftps://{srv.user}@{srv.host}:{srv.port}"
    failures = [
        ({}, r"client certificate: set certfile"),
        ({"certfile": certs.cert, "keyfile": certs.key}, rf"refused the client certificate {certs.cert}"),
        # TLS at once where the server waits for AUTH TLS: its greeting is no TLS.
        ({"tls": "implicit", "certfile": combined}, "TLS failed at the first byte: .*tls = true"),
    ]
    for options, expected in failures:
        cls = ftp_server(url, cafile=certs.ca, timeout=10, **options)
        with pytest.raises(ssl.SSLError, match=expected) as caught:
            cls("hello.txt").read()
        assert str(caught.value).startswith(where) and srv.password not in str(caught.value)


def test_tls_settings_are_checked(certs, tmp_path, monkeypatch):
    assert parse_url("ftps://h:990/")["tls"] == "implicit"
    assert parse_url("ftps://h/")["tls"] is True and parse_url("ftp://h:990/")["tls"] is False
    settings = ftp_settings(ftp_server("ftps://h/", tls="implicit")._section[0])
    assert (settings.tls, settings.port, settings.implicit) == ("implicit", 990, True)
    assert ftp_settings(ftp_server("ftps://h:2990/", tls="implicit")._section[0]).implicit
    ini = tmp_path / "a.ini"
    ini.write_text("[im]\nhost = h\ntls = Implicit\n[bad]\nhost = h\ntls = sometimes\n")
    monkeypatch.setenv("DRAVLEN_CONFIG", str(ini))
    assert (ftp_settings("im").tls, ftp_settings("im").port) == ("implicit", 990)
    with pytest.raises(ConfigError, match=r"\[bad\] tls = 'sometimes' .*implicit"):
        ftp_settings("bad")

    missing = tmp_path / "nothere.pem"
    refusals = [
        ({"tls": True, "certfile": missing}, rf"certfile = '{missing}'.*{missing}: missing"),
        ({"tls": True, "keyfile": certs.client_key}, "no keyfile without certfile"),
        ({"tls": False, "certfile": certs.client_cert}, "no client certificate where tls is false"),
    ]
    for options, expected in refusals:
        with pytest.raises(ConfigError, match=rf"\[ftps?://alice@127.0.0.1:21\] .*{expected}"):
            ftp_server(host="127.0.0.1", user="alice", password="pw", **options)
    # Files that are there but cannot serve: told at the first connection,
    # before any byte is sent.
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    locked = tmp_path / "locked.key"
    locked.write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"secret")))
    for keyfile, expected in ((certs.key, "no PEM certificate with its private key"), (locked, "passphrase")):
        cls = ftp_server(host="127.0.0.1", port=9, user="alice", password="pw", tls=True,
                         certfile=certs.client_cert, keyfile=keyfile)
        with pytest.raises(ConfigError, match=rf"client certificate for ftps://alice@127.0.0.1:9 .*{keyfile}: "
                                              rf".*{expected}"):
            cls("x").is_dir()


def test_control_connection_keeps_alive():
    # A real connection to a greeting-only listener: keepalives are on, with
    # the timing set where the platform names it.
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def greet():
            conn, _ = listener.accept()
            with conn:
                conn.sendall(b"220 hello\r\n")
                conn.recv(1)

        threading.Thread(target=greet, daemon=True).start()
        client = Client(timeout=5)
        client.connect("127.0.0.1", listener.getsockname()[1])
        try:
            sock = client.sock
            assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE) == 1
            for name, value in KEEPALIVE.items():
                if hasattr(socket, name):
                    assert sock.getsockopt(socket.IPPROTO_TCP, getattr(socket, name)) == value, name
        finally:
            client.close()
