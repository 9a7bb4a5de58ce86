"""Transfers that continue where they ended (REST, APPE) on every server of
the matrix and on one that refuses REST, and the rate limit of a call."""

from __future__ import annotations

import ftplib
import logging
import random
import socket
import time

import pytest
from faultserver import fault  # noqa: F401  (fixture)

from dravlen.config import ConfigError
from dravlen.ftp import server as server_class
from dravlen.ftp.remote import RemotePath
from dravlen.ftp.wire.rate import RateLimit, parse_rate
from dravlen.whole import Busy, open_partial, partial_name

DATA = random.Random(11).randbytes((3 << 20) + 17)
CUT = 1 << 20


@pytest.fixture
def sent(monkeypatch):
    """Every command line any client sends, in order."""
    lines: list[str] = []
    real = ftplib.FTP.putcmd

    def putcmd(self, line):
        lines.append(line)
        return real(self, line)

    monkeypatch.setattr(ftplib.FTP, "putcmd", putcmd)
    return lines


def cut_once(monkeypatch, method: str, after: int):
    """Make the data connection fail once, after *after* bytes went through
    *method* (``recv``, ``recv_into`` or ``sendall``) in blocks over 512 bytes."""
    real = getattr(socket.socket, method)
    moved = [0, False]

    def failing(self, data, *args):
        if moved[1] or self.type != socket.SOCK_STREAM or (data if isinstance(data, int) else len(data)) <= 512:
            return real(self, data, *args)
        if moved[0] >= after:
            moved[1] = True
            raise ConnectionResetError("cut by the test")
        result = real(self, data, *args)
        moved[0] += {"recv": len, "recv_into": int}.get(method, lambda _: len(data))(result)
        return result

    monkeypatch.setattr(socket.socket, method, failing)
    return moved


def test_download_continues_its_partial_file_and_its_own_retries(rpath, home, tmp_path, sent, monkeypatch, caplog):
    (home.path / "f.bin").write_bytes(DATA)
    target = tmp_path / "f.bin"
    part = tmp_path / partial_name("f.bin")
    part.write_bytes(DATA[:CUT])
    told: list[int] = []
    assert rpath("f.bin").download(target, progress=told.append, resume=True) == len(DATA)
    assert target.read_bytes() == DATA and not part.exists()
    assert f"REST {CUT}" in sent and told[0] == CUT and sum(told) == len(DATA)

    # A file of the target's own name is no partial one: replaced whole.
    target.write_bytes(DATA[:CUT])
    sent.clear()
    rpath("f.bin").download(target, resume=True)
    assert target.read_bytes() == DATA and not any(line.startswith("REST") for line in sent)

    # A partial file longer than the server's: started again, and said so.
    part.write_bytes(DATA + b"more")
    with caplog.at_level(logging.WARNING, logger="dravlen"):
        rpath("f.bin").download(target, resume=True)
    assert target.read_bytes() == DATA
    assert any("starting again" in r.getMessage() and "f.bin" in r.getMessage() and "ftp://" in r.getMessage()
               for r in caplog.records)

    # A try cut half-way is continued by the call's next one, from where it got.
    sent.clear()
    moved = cut_once(monkeypatch, "recv_into", CUT)
    assert rpath("f.bin").download(target) == len(DATA)
    assert moved[1] and target.read_bytes() == DATA
    rest = [int(line.split()[1]) for line in sent if line.startswith("REST")]
    # Where the cut falls is counted roughly (the control connection's reads count too).
    assert len(rest) == 1 and CUT // 2 <= rest[0] < len(DATA)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"]


def test_a_cut_download_is_kept_for_resume_and_only_then(rpath, home, tmp_path, monkeypatch):
    (home.path / "f.bin").write_bytes(DATA)
    target = tmp_path / "f.bin"
    real = socket.socket.recv_into

    def always_cut(self, buffer, *args):
        if self.type == socket.SOCK_STREAM and len(buffer) > 512 and random.random() < 0.5:
            raise ConnectionResetError("cut by the test")
        return real(self, buffer, *args)

    monkeypatch.setattr(socket.socket, "recv_into", always_cut)
    for resume in (False, True):
        with pytest.raises(ConnectionError):
            rpath("f.bin").download(target, resume=resume)
    monkeypatch.setattr(socket.socket, "recv_into", real)
    assert [p.name for p in tmp_path.iterdir()] == [partial_name("f.bin")]
    with open_partial(str(tmp_path / partial_name("f.bin"))), pytest.raises(Busy, match="another download"):
        rpath("f.bin").download(target, resume=True)  # two writers of one partial file
    assert rpath("f.bin").download(target, resume=True) == len(DATA) and target.read_bytes() == DATA


@pytest.mark.parametrize("rest", [True, False])
def test_download_where_rest_is_refused_starts_again(fault, tmp_path, caplog, rest):
    class Fault(RemotePath):
        _section = ("fault",)

    fault.rest = rest
    fault.add("/f", DATA[:200_000])
    fault.fault("RETR", "cut226")  # half, then a success: found short, tried again
    with caplog.at_level(logging.WARNING, logger="dravlen"):
        assert Fault("/f").download(tmp_path / "f") == 200_000
    assert (tmp_path / "f").read_bytes() == DATA[:200_000]
    assert "REST 100000" in fault.log  # the second try continues, where the server can
    refused = [r.getMessage() for r in caplog.records if "refuses REST" in r.getMessage()]
    assert bool(refused) is not rest and all("'/f' on ftp://tester@127.0.0.9:" in m for m in refused)


def test_upload_continues_the_servers_file(rpath, home, tmp_path, sent, monkeypatch, caplog, server):
    local = tmp_path / "f.bin"
    local.write_bytes(DATA)
    (home.path / "f.bin").write_bytes(DATA[:CUT])
    told: list[int] = []
    assert rpath("f.bin").upload_from(local, progress=told.append, resume=True) == len(DATA)
    assert (home.path / "f.bin").read_bytes() == DATA
    assert told[0] == CUT and sum(told) == len(DATA)
    assert f"REST {CUT}" in sent or any(line.startswith("APPE") for line in sent)

    # Larger on the server: sent whole, and said so.
    (home.path / "f.bin").write_bytes(DATA + b"longer")
    with caplog.at_level(logging.WARNING, logger="dravlen"):
        rpath("f.bin").upload_from(local, resume=True)
    assert (home.path / "f.bin").read_bytes() == DATA
    assert any("more than" in r.getMessage() for r in caplog.records)

    # Without resume, what is there is replaced, and a cut try continues.
    (home.path / "f.bin").write_bytes(DATA[:CUT])
    sent.clear()
    moved = cut_once(monkeypatch, "sendall", CUT)
    rpath("f.bin").upload_from(local)
    assert moved[1] and (home.path / "f.bin").read_bytes() == DATA
    assert next(line for line in sent if line.startswith(("STOR", "APPE", "REST"))).startswith("STOR")
    # The next try continued (ProFTPD's cut STOR may have written nothing yet).
    assert any(line.startswith(("APPE", "REST")) for line in sent) or server.kind == "proftpd"


def test_trees_resume_both_ways(rpath, home, tmp_path, sent, monkeypatch):
    (home.path / "d").mkdir()
    (home.path / "d" / "a.bin").write_bytes(DATA)
    (home.path / "d" / "b.bin").write_bytes(DATA[:1000])
    # A worker's next try of a cut file continues it.
    moved = cut_once(monkeypatch, "recv", CUT)
    rpath("d/a.bin").download_tree(tmp_path / "a.bin")
    assert moved[1] and (tmp_path / "a.bin").read_bytes() == DATA
    rest = [int(line.split()[1]) for line in sent if line.startswith("REST")]
    assert len(rest) == 1 and CUT // 2 < rest[0] <= moved[0]
    sent.clear()  # (the cut is spent: what follows runs as usual)

    out = tmp_path / "out"
    out.mkdir()
    (out / partial_name("a.bin")).write_bytes(DATA[:CUT])
    result = rpath("d").download_tree(out, resume=True)
    assert result.files == 2
    assert (out / "a.bin").read_bytes() == DATA and (out / "b.bin").read_bytes() == DATA[:1000]
    assert f"REST {CUT}" in sent and sorted(p.name for p in out.iterdir()) == ["a.bin", "b.bin"]

    (home.path / "up").mkdir()
    (home.path / "up" / "a.bin").write_bytes(DATA[:CUT])
    sent.clear()
    rpath("up").upload_tree(out, resume=True)
    assert (home.path / "up" / "a.bin").read_bytes() == DATA
    assert (home.path / "up" / "b.bin").read_bytes() == DATA[:1000]
    assert f"REST {CUT}" in sent or any(line.startswith("APPE") for line in sent)


def test_rate_limit_of_a_call_is_shared_by_its_connections(rpath, home, tmp_path, server):
    if server.kind != "pyftpdlib":
        pytest.skip("the limit is the client's own: one server shows it")
    assert [parse_rate(t) for t in ("2M", "512k", "100", "1.5G", 0)] == [2 << 20, 512 << 10, 100, 3 << 29, 0]
    with pytest.raises(ValueError, match="'fast'"):
        parse_rate("fast")
    with pytest.raises(ConfigError, match="max_rate = 'fast'"):
        server_class(host="127.0.0.1", max_rate="fast")
    size = 512 << 10
    (home.path / "one.bin").write_bytes(DATA[:size])
    started = time.monotonic()
    rpath("one.bin").download(tmp_path / "one.bin", max_rate="512k")
    took = time.monotonic() - started
    assert 0.7 < took < 5, took  # 1 s at 512 KiB/s, less the bucket's first tenth of a second

    (home.path / "t").mkdir()
    for name in "abcdef":
        (home.path / "t" / f"{name}.bin").write_bytes(DATA[:96 << 10])
    limit = RateLimit(512 << 10)
    started = time.monotonic()
    rpath("t").download_tree(tmp_path / "t", connections=4, max_rate=limit)
    took = time.monotonic() - started
    assert 0.85 < took < 5, took  # 1.1 s: four connections, one limit (each its own: about 0.45 s)
    started = time.monotonic()
    rpath("up.bin").upload_from(tmp_path / "one.bin", max_rate=512 << 10)
    assert 0.7 < time.monotonic() - started < 5


def test_command_line_continues_both_ways_under_a_limit(server, home, tmp_path, sent, monkeypatch, capsys):
    import servers

    from dravlen.ftp.cli.command import main

    if server.kind != "pyftpdlib":
        pytest.skip("the flags reach the calls tested above on every server")
    config = tmp_path / "dravlen.ini"
    servers.make_config(server, config, "ftp")
    monkeypatch.setenv("DRAVLEN_CONFIG", str(config))
    (home.path / "f.bin").write_bytes(DATA)
    (tmp_path / partial_name("f.bin")).write_bytes(DATA[:CUT])
    assert main(["get", "-c", "--limit-rate", "64M", f"{home.remote}/f.bin", str(tmp_path / "f.bin")]) == 0
    assert (tmp_path / "f.bin").read_bytes() == DATA and f"REST {CUT}" in sent

    (home.path / "up.bin").write_bytes(DATA[:CUT])
    assert main(["put", "-c", str(tmp_path / "f.bin"), f"{home.remote}/up.bin"]) == 0
    assert (home.path / "up.bin").read_bytes() == DATA

    with pytest.raises(SystemExit) as exit:
        main(["get", "--limit-rate", "fast", "x"])
    assert exit.value.code == 2 and "'fast'" in capsys.readouterr().err


def test_a_tree_upload_cut_on_the_way_is_continued(rpath, home, tmp_path, sent, monkeypatch, server):
    (tmp_path / "a.bin").write_bytes(DATA)
    moved = cut_once(monkeypatch, "sendall", CUT)
    rpath("a.bin").upload_tree(tmp_path / "a.bin")
    assert moved[1] and (home.path / "a.bin").read_bytes() == DATA
    words = [line.split()[0] for line in sent if line.split()[0] in ("STOR", "APPE", "REST", "SIZE")]
    assert words[:2] == ["STOR", "SIZE"]  # the next try asks what the server kept
    # ProFTPD, whose cut STOR may not have written anything yet, is sometimes sent it all again.
    assert "APPE" in words or "REST" in words or server.kind == "proftpd"
