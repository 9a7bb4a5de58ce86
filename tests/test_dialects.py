"""The ways of old and small servers (Twisted, aioftp, GNU inetutils ftpd,
busybox ftpd), imitated by the fault server: each reply is read by what it
says, and no reply is awaited that will not come (the timeout is 1 s)."""

from __future__ import annotations

import time

import pytest

from dravlen.ftp.wire.replies import IncompleteTransfer
from dravlen.ftp.remote import RemotePath
from faultserver import FaultPath as P, fault  # noqa: F401  (fixture)


class R(RemotePath):
    _section = ("fault",)


def sent(fault, *words):
    """The commands received after the last login (only those of *words*, if given)."""
    login = len(fault.log) - fault.log[::-1].index("PASS " + fault.password)
    lines = fault.log[login:]
    return [line for line in lines if not words or line.split(" ")[0] in words]


def test_a_transfer_answered_by_its_completion_alone_moved_nothing(fault):
    # Twisted: "226" and no 1xx for NLST of a missing path; no MLST, no STAT.
    fault.missing_at_once, fault.mlst, fault.stat_style = True, False, False
    fault.add("/d/f", b"data")
    fault.add("/d/empty")
    start = time.monotonic()
    assert P("/d/nope").exists is False
    assert time.monotonic() - start < 1
    # Neither MLST nor STAT tells: no folder enters, and MDTM knows no file.
    assert sent(fault) == ["TYPE A", "PASV", "NLST /d/nope", "MLST /d/nope", "STAT /d/nope", "PWD",
                           "CWD /d/nope", "MDTM /d/nope"]
    assert P("/d/empty").exists is True and P("/d/f").exists is True
    assert P("/d/f").read() == b"data"  # the client is in step
    assert fault.log.count("USER " + fault.user) == 1


@pytest.mark.parametrize("style", ["inetutils", "busybox"])
def test_stat_tells_an_entry_only_by_a_listing_line(fault, style):
    # inetutils answers a missing path "x: No such file or directory" inside
    # its 211 frame; busybox lists nothing for it, as for an empty folder.
    fault.mlst, fault.stat_style = False, style
    fault.add("/d/f", b"data")
    fault.add("/d/empty")
    fault.add("/d/full/x", b"1")
    fault.fault("NLST", "temp", times=None)  # every answer comes from the probes
    mimic = "-rw-r--r-- 1 o g 3 Jan 02 03:04 x"  # a missing name whose echo reads as a listing line
    paths = ["/d/f", "/d/empty", "/d/full", "/d/nope", mimic]
    assert [P(path).exists for path in paths] == [True, True, True, False, False]
    assert P("/d/empty").is_dir() is True
    P("/d/new/sub/g").write(b"x")  # the missing folders are made
    assert fault.nodes["/d/new/sub/g"] == b"x"
    P("/d/new").delete()
    assert not [path for path in fault.nodes if path.startswith("/d/new")]


def test_without_size_or_mdtm_the_mlst_facts_tell(fault):
    # aioftp: SIZE and MDTM unknown, MLST with the size and modify facts.
    data = b"0123456789"
    fault.add("/d/f", data)
    by_mdtm = P("/d/f").mtime
    fault.size, fault.mdtm, fault.mlst_size = False, False, True
    assert P("/d/f").mtime == by_mdtm
    assert P("/d/f").read() == data and R("/d/f").read_bytes() == data
    R("/d/g").write_bytes(data)
    fault.fault("RETR", "cut226", times=None)  # half the file, claimed whole
    for read in (P("/d/f").read, R("/d/f").read_bytes):
        with pytest.raises(IncompleteTransfer, match="5 bytes moved, the server has 10"):
            read()


def test_commands_sent_together_go_one_at_a_time_where_the_server_needs_it(fault):
    from dravlen.ftp.filesystem.fs import FTPFileSystem, RestRefused

    def filesystem():
        return FTPFileSystem(host=fault.host, port=fault.port, user=fault.user, password=fault.password,
                             timeout=1, skip_instance_cache=True)

    fault.add("/d/f", b"0123456789")
    fault.rest = True
    batch = ["TYPE I", "PASV", "REST 2"]
    fs = filesystem()
    assert fs.cat_file("d/f", 2, 5) == b"234"  # in turn: sent together once
    assert sent(fault, "TYPE", "PASV", "REST", "RETR")[-4:] == batch + ["RETR d/f"]

    # aioftp answers PASV after the REST that came with it: all replies are
    # read, the commands sent again one at a time, and so from then on.
    fs.close_idle()
    fault.out_of_turn = True
    fs = filesystem()
    for _ in range(2):
        assert fs.cat_file("d/f", 2, 5) == b"234"
    assert sent(fault, "TYPE", "PASV", "REST", "RETR") == batch * 2 + ["RETR d/f"] + batch + ["RETR d/f"]

    # Twisted reads nothing after PASV until the data connection is made, and
    # knows no REST: its refusal comes once the connection is made.
    fs.close_idle()
    fault.out_of_turn, fault.data_first, fault.rest = False, True, False
    fs = filesystem()
    for _ in range(2):
        start = time.monotonic()
        with pytest.raises(RestRefused, match="byte 2: 500"):
            fs.cat_file("d/f", 2, 5)
        assert time.monotonic() - start < 1
    assert fs.cat_file("d/f", 0, 4) == b"0123"


def test_rename_of_a_missing_path_and_touch_without_appe(fault):
    # busybox takes RNFR of any path and refuses its RNTO with "550 Error";
    # Twisted has no APPE.
    fault.add("/d/f", b"keep")
    with pytest.raises(FileNotFoundError, match="'/d/nope' does not exist"):
        R("/d/nope").rename("/d/other")
    assert R("/d/f").rename("/d/g") == R("/d/g") and fault.nodes["/d/g"] == b"keep"
    R("/d/new").touch()
    R("/d/g").touch()
    assert fault.nodes["/d/new"] == b"" and fault.nodes["/d/g"] == b"keep"
    assert sent(fault, "APPE", "STOR") == ["APPE /d/new", "STOR /d/new", "APPE /d/g"]
