"""A file downloaded over several connections (dravlen.ftp.tree.segments):
whole on every server, and never kept when the server's SIZE or data lie."""

from __future__ import annotations

import logging
import os
import random
import subprocess
import sys

import faultserver
import pytest
from faultserver import FaultServer

from dravlen.ftp import copies
from dravlen.ftp.remote import IncompleteTransfer, RemotePath
from dravlen.ftp.tree import segments

fault = faultserver.fault  # the fixture
DATA = random.Random(11).randbytes((3 << 20) + 7)


def counting_transfers(monkeypatch) -> list[str]:
    """The RETRs the segments open, as they are opened."""
    opened: list[str] = []
    real = segments.transfer

    def counted(path, client, address, command):
        opened.append(command)
        return real(path, client, address, command)

    monkeypatch.setattr(segments, "transfer", counted)
    return opened


def test_segmented_download_is_the_file(rpath, home, tmp_path, monkeypatch):
    (home.path / "big.bin").write_bytes(DATA)
    opened = counting_transfers(monkeypatch)
    blocks: list[int] = []
    assert rpath("big.bin").download(tmp_path / "four", progress=blocks.append, segments=4) == len(DATA)
    assert (tmp_path / "four").read_bytes() == DATA
    assert len(opened) == 4 and sum(blocks) == len(DATA)

    # Chosen by size where the caller does not say, and one connection where it says 1.
    monkeypatch.setattr(copies, "SEGMENTED_FROM", 1 << 20)
    del opened[:]
    assert rpath("big.bin").download(tmp_path / "auto") == len(DATA)
    assert len(opened) == segments.AUTO_SEGMENTS
    assert (tmp_path / "auto").read_bytes() == DATA
    del opened[:]
    rpath("big.bin").download(tmp_path / "one", segments=1)
    assert opened == []
    assert (tmp_path / "one").read_bytes() == DATA
    assert sorted(p.name for p in tmp_path.iterdir()) == ["auto", "four", "one"]  # no temporary file
    with pytest.raises(ValueError, match="segments must be"):
        rpath("big.bin").download(tmp_path / "x", segments=0)


class FaultRemote(RemotePath):
    _section = ("fault",)


@pytest.mark.parametrize("told", [len(DATA) - 5, len(DATA) + 5])
def test_a_size_that_lies_keeps_nothing(fault: FaultServer, tmp_path, told):
    fault.rest = True
    fault.add("/d/f", DATA)
    fault.size_reply = f"213 {told}"
    with pytest.raises((segments.SegmentFailed, IncompleteTransfer), match="/d/f"):
        FaultRemote("/d/f").download(tmp_path / "out", segments=3)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("cuts", [1, None])  # once: that segment goes on from where it got
def test_a_segment_cut_short(fault: FaultServer, tmp_path, cuts):
    fault.rest = True
    fault.add("/d/f", DATA)
    fault.fault("RETR", "cut226", times=cuts)
    target = tmp_path / "out"
    if cuts is None:
        with pytest.raises(IncompleteTransfer, match="/d/f"):
            FaultRemote("/d/f").download(target, segments=3)
        assert list(tmp_path.iterdir()) == []
    else:
        assert FaultRemote("/d/f").download(target, segments=3) == len(DATA)
        assert target.read_bytes() == DATA
        # A cut segment 0 may have read past its end; any other goes on from
        # where it got: never more than one RETR again, never from its start.
        starts = {f"REST {len(DATA) * i // 3}" for i in range(3)}
        rests = [line for line in fault.log if line.startswith("REST")]
        assert sum(line.startswith("RETR") for line in fault.log) - 3 == len(set(rests) - starts) <= 1


def test_a_server_without_rest_gets_one_connection(fault: FaultServer, tmp_path, caplog):
    fault.add("/d/f", DATA)
    with caplog.at_level(logging.INFO, logger="dravlen"):
        assert FaultRemote("/d/f").download(tmp_path / "out", segments=4) == len(DATA)
    assert (tmp_path / "out").read_bytes() == DATA
    assert "refuses REST: one connection" in caplog.text
    assert sum(line.startswith("RETR") for line in fault.log) == 1


def test_filesystem_get_file_in_segments(fault, tmp_path, monkeypatch):
    from dravlen.ftp.filesystem.fs import FTPFileSystem

    fault.rest = True
    fault.add("/d/f", DATA)
    opened = counting_transfers(monkeypatch)
    fs = FTPFileSystem(host=fault.host, port=fault.port, user=fault.user, password=fault.password, timeout=2,
                       skip_instance_cache=True)
    fs.get_file("/d/f", str(tmp_path / "f"), segments=3)
    assert (tmp_path / "f").read_bytes() == DATA and len(opened) == 3


def test_command_line_says_so_with_verbose(fault: FaultServer, tmp_path):
    fault.add("/d/f", bytes(copies.SEGMENTED_FROM))  # big enough to be cut by itself; no REST here
    url = f"ftp://{fault.user}:{fault.password}@{fault.host}:{fault.port}/"
    env = {k: v for k, v in os.environ.items() if not k.startswith("DRAVLEN_")}

    def get(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "dravlen.ftp", "--url", url, *args], env=env,
                              capture_output=True, text=True, timeout=120, check=False)

    done = get("-v", "get", "/d/f", str(tmp_path / "f"))
    assert done.returncode == 0 and (tmp_path / "f").stat().st_size == copies.SEGMENTED_FROM
    assert f"dravlen: note: '/d/f' on ftp://{fault.user}@" in done.stderr  # one connection, and why
    assert "note:" not in get("get", "/d/f", str(tmp_path / "g")).stderr  # said only with -v
    refused = get("get", "--segments", "0", "/d/f", str(tmp_path / "h"))
    assert refused.returncode == 2 and "--segments: needs a whole number" in refused.stderr
