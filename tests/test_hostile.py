"""A server that lies: names that leave the folder, endless or dripping
replies, sizes that are not what comes.  Nothing it says may make a member
act outside the path it was given, take memory in proportion to what it
claims, or wait without end."""

from __future__ import annotations

import ftplib

import pytest

from faultserver import DIR, FaultPath as P, fault  # noqa: F401  (fixture)

LEAVING = ["type=file; ../victim", "type=file; /victim", "type=file; sub/../../victim",
           "type=dir; ../victimdir", "type=OS.unix=symlink; /victim-link", "type=file; a\0b"]


def test_delete_never_acts_on_a_name_that_leaves_the_folder(fault):
    fault.add("/victim", b"keep me")
    fault.add("/victimdir/v.txt", b"keep me too")
    fault.add("/h2/hidden", b"unlisted")
    fault.list_lines["/h2"] = []  # LIST hides what is there; MLSD tells, and lies
    fault.mlsd_lines = {"/h2": LEAVING + ["type=file; hidden"]}
    P("/h2").delete()
    acted = [line for line in fault.log if line.split(" ", 1)[0] in ("DELE", "RMD")]
    assert acted == ["RMD /h2", "DELE /h2/hidden", "RMD /h2"]
    assert fault.nodes["/victim"] == b"keep me" and fault.nodes["/victimdir/v.txt"] == b"keep me too"

    # Only names that leave: the folder cannot be emptied, and says so.
    fault.add("/h3/hidden", b"unlisted")
    fault.list_lines["/h3"] = []
    fault.mlsd_lines = {"/h3": LEAVING}
    with pytest.raises(ftplib.error_perm):
        P("/h3").delete()
    assert not [line for line in fault.log if line.startswith(("DELE", "RMD")) and "victim" in line]
    assert "/h3/hidden" in fault.nodes and "/victim" in fault.nodes


def test_glob_yields_no_name_that_leaves_the_folder(fault):
    fault.add("/d/ok", b"1")
    fault.list_lines["/d"] = [f"-rw-r--r-- 1 o g 1 Jan 02 03:04 {name}"
                              for name in ("ok", "../x", "/abs", "a/../../b", "n\rl", ".", "..")]
    assert [p.path.as_posix() for p in P("/d").glob()] == ["/d/ok"]


def test_replies_are_bounded_in_size_and_time(fault, monkeypatch):
    import time

    from dravlen.ftp.wire.bounds import ServerLimit

    fault.add("/f", b"0123456789")
    fault.endless = "MDTM"  # 250- lines forever
    with pytest.raises(ServerLimit, match=r"ftp://127\.0\.0\.9:\d+ sent a reply longer than 1048576 bytes"):
        P("/f").mtime
    fault.endless = None
    # A greeting dripped a line every 0.4 s never ends within the 1 s timeout.
    fault.greeting, fault.drip = ["220-hello"] * 6, 0.4
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="did not answer within 1 s"):
        P("/f").exists
    assert time.monotonic() - start < 3 * 1.5  # three tries, each bounded by the timeout


def test_listings_are_bounded_and_sizes_decide_no_memory(fault, monkeypatch):
    import tracemalloc

    from dravlen.ftp.remote import RemotePath
    from dravlen.ftp.wire.bounds import ServerLimit

    class R(RemotePath):
        _section = ("fault",)

    monkeypatch.setenv("DRAVLEN_FAULT_MAXLISTING", str(1 << 20))
    fault.add("/d/f", b"0123456789")
    fault.endless = "LIST"
    for listing in (lambda: list(P("/d").glob()), lambda: list(R("/d").iterdir())):
        with pytest.raises(ServerLimit, match="sent a listing longer than 1048576 bytes"):
            listing()
    fault.endless = None
    # A size that no file has is an error, not an OverflowError; a size of
    # 3 GB for 10 bytes is a transfer that fails its confirmation, and takes
    # no 3 GB of memory.
    fault.size_reply = "213 99999999999999999999"
    with pytest.raises(ServerLimit, match="claims a size of 99999999999999999999 bytes"):
        R("/d/f").read_bytes()
    fault.size_reply = "213 3000000000"
    tracemalloc.start()
    try:
        for read in (P("/d/f").read, R("/d/f").read_bytes):
            with pytest.raises(ConnectionError, match="10 bytes moved, the server has 3000000000"):
                read()
        assert tracemalloc.get_traced_memory()[1] < 64 << 20
    finally:
        tracemalloc.stop()
