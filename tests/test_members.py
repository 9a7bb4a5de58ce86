"""FTPPath's operations against a recording fake client: which FTP calls they
make, in which order, and what they answer or raise."""

import collections.abc
import errno
import ftplib
import inspect
import io
import pathlib
import sys
import types
import warnings
from datetime import datetime

import pytest

from dravlen.ftp.path import FTPPath
from fakes import DIR, FakeFTP, RecordingPath as P

VR_PERM = ("valid_reset", ftplib.error_perm)
VR_INT = ("valid_reset", InterruptedError)


def dir_probe(path):
    return [("nlst", path), ("retrbinary", "RETR " + path, 1), VR_PERM]


@pytest.fixture
def ftp(monkeypatch):
    fake = FakeFTP()
    monkeypatch.setattr(P, "fake", fake, raising=False)
    return fake


def sent(ftp):
    """The log without the MLST that exists may send to confirm an empty or refused NLST."""
    return [entry for entry in ftp.log if entry[:1] != ("sendcmd",) or not entry[1].startswith(("MLST ", "STAT "))]


def resets(ftp):
    return [entry for entry in ftp.log if entry[0] == "valid_reset"]


def bare(name):
    """The member without its retry wrapper, so that errors meant for retry are seen as raised."""
    member = FTPPath.__dict__[name]
    return (member.fget if isinstance(member, property) else member).__wrapped__


Bytes = type("Bytes", (bytes,), {})
Str = type("Str", (str,), {})


@pytest.mark.parametrize("method, param, expected, value", [
    *[("write", "data", "bytes", v) for v in (bytearray(b"x"), memoryview(b"x"), "x", Bytes(b"x"), None)],
    *[("upload", "local_path", "str", v) for v in (pathlib.Path("x"), b"x", Str("x"), None)],
    *[("glob", "pattern", "str", v) for v in (None, 5, Str("*"))],
])
def test_arguments_of_another_type_are_refused_before_any_traffic(ftp, method, param, expected, value):
    with pytest.raises(TypeError) as info:
        getattr(P("/d/f"), method)(value)
    got = type(value).__name__
    assert info.value.args == (f"Argument '{param}' has incorrect type (expected {expected}, got {got})",)
    assert ftp.log == []


# -- exists, is_dir, mtime -------------------------------------------------

def test_exists_asks_every_time_and_a_missing_path_resets_once(ftp):
    ftp.add_file("/d/f", b"x")
    assert P("/d/f").exists is True and P("/d/f").exists is True
    assert P("/d/nope").exists is False
    assert sent(ftp) == [("nlst", "/d/f"), ("nlst", "/d/f"), ("nlst", "/d/nope"), VR_PERM]


class Posix(pathlib.PurePosixPath):
    def as_posix(self):
        return "/d/other"


def test_commands_carry_the_paths_posix_text_cached_or_not(ftp):
    ftp.add_file("/d/f", b"x")
    ftp.add_file("/d/other", b"y")
    fresh, seen = P("/d/f"), P("/d/f")
    str(seen.path)  # pathlib keeps the text of a path once shown
    assert fresh.read() == seen.read() == b"x"
    # A path class of its own is asked for its text, which may differ from str().
    odd = P("/d/f")
    odd.path = Posix("/d/f")
    str(odd.path)
    assert odd.read() == b"y"
    assert [entry for entry in sent(ftp) if entry[0] == "nlst"] == [("nlst", "/d/f")] * 2 + [("nlst", "/d/other")]
    odd.path = Posix("/d/a\nb")
    str(odd.path)
    assert odd.exists is True  # the text sent is checked, not str(path)


def test_a_shown_posix_paths_text_is_read_from_pathlibs_slot(ftp, monkeypatch):
    # 3.11 to 3.13 keep str(path), which is as_posix() for a PurePosixPath, in PurePath's slot _str.
    slot = inspect.getattr_static(pathlib.PurePosixPath, "_str")
    assert type(slot) is types.MemberDescriptorType
    Pure = pathlib.PurePosixPath
    for path in [Pure("/a//b/"), Pure("/a") / "b c", Pure("/a/b").parent, Pure(""),
                 Pure("/a/b").relative_to("/a").with_name("x y")]:
        kept = [slot.__get__(path)] if hasattr(path, "_str") else []
        assert kept in ([], [path.as_posix()]) and slot.__get__(path) == path.as_posix() == str(path)
    ftp.add_file("/d/f", b"x")
    shown, fresh = P("/d/f"), P("/d/f")
    str(shown.path)
    monkeypatch.setattr(pathlib.PurePosixPath, "as_posix", lambda self: 1 / 0)
    assert shown.exists is True  # the kept text: as_posix() is not asked
    with pytest.raises(ZeroDivisionError):
        fresh.exists
    assert sent(ftp) == [("nlst", "/d/f")]


@pytest.mark.parametrize("use, tail", [
    (lambda p: p.is_dir(), []), (lambda p: p.read(), []), (lambda p: p.mtime, []), (lambda p: next(p.glob()), []),
    (lambda p: p.delete(), [("retrlines", "LIST -a /d")]),  # a dangling link would be in the parent's listing
], ids=["is_dir", "read", "mtime", "glob", "delete"])
def test_a_missing_path_is_reported_after_its_one_probe(ftp, use, tail):
    ftp.add_dir("/d")
    with pytest.raises(FileNotFoundError) as info:
        use(P("/d/nope"))
    assert info.value.args == ("'/d/nope' does not exist.",)
    assert info.value.errno is None and info.value.filename is None
    assert sent(ftp) == [("nlst", "/d/nope"), VR_PERM] + tail


@pytest.mark.parametrize("make, answer, tail", [
    (lambda ftp: ftp.add_file("/my dir/f", b"data"), False, [VR_INT]),
    (lambda ftp: ftp.add_file("/my dir/f", b""), False, []),
    (lambda ftp: ftp.add_dir("/my dir/f"), True, [VR_PERM]),
], ids=["file", "empty-file", "directory"])
def test_is_dir_downloads_at_most_one_byte(ftp, make, answer, tail):
    make(ftp)
    assert P("/my dir/f").is_dir() is answer
    assert sent(ftp) == [("nlst", "/my dir/f"), ("retrbinary", "RETR /my dir/f", 1)] + tail


@pytest.mark.parametrize("member, method", [
    ("exists", "nlst"), ("is_dir", "retrbinary"), ("mtime", "sendcmd"), ("read", "retrbinary"),
])
@pytest.mark.parametrize("exc", [ftplib.error_temp("425 no data connection"), ftplib.error_reply("150 odd"),
                                 EOFError("gone")], ids=["error_temp", "error_reply", "EOFError"])
def test_errors_without_a_meaning_pass_unchanged(ftp, member, method, exc):
    ftp.add_file("/f", b"x")
    ftp.fail(method, exc)
    with pytest.raises(type(exc)) as info:
        bare(member)(P("/f"))
    assert info.value is exc and resets(ftp) == []


@pytest.mark.parametrize("reply, expected", [
    ("213 20240102030405", datetime(2024, 1, 2, 11, 4, 5)),
    ("213 20240102030405.999", datetime(2024, 1, 2, 11, 4, 5)),
    ("213 20231231200000", datetime(2024, 1, 1, 4, 0, 0)),
    ("213  20240229235959 ", datetime(2024, 3, 1, 7, 59, 59)),
])
def test_mtime_is_shifted_by_eight_hours(ftp, reply, expected):
    ftp.add_file("/d/f", b"x")
    ftp.mdtm_reply = reply
    value = P("/d/f").mtime
    assert type(value) is datetime and value.tzinfo is None and value == expected
    assert sent(ftp) == [("nlst", "/d/f"), ("sendcmd", "MDTM /d/f")]


def test_mtime_failures(ftp):
    ftp.add_file("/d/f", b"x")
    ftp.mdtm_reply = "200 20240102030405"
    with pytest.raises(TypeError) as info:
        P("/d/f").mtime
    assert info.value.args == ("Cannot retrieve modification time for '/d/f'. Response: 200 20240102030405",)
    ftp.mdtm_reply = "213 2024-01-02"
    with pytest.raises(ValueError) as info:
        P("/d/f").mtime
    assert type(info.value) is ValueError and resets(ftp) == []


# A refused RETR is "not a file" once the directory is confirmed: here MLST
# is refused too, so CWD into it (and back) confirms it.
CWD_INTO_D = [("sendcmd", "PWD"), ("sendcmd", "CWD /d"), ("sendcmd", "CWD /")]


@pytest.mark.parametrize("use, message, command", [
    (lambda p: p.read(), "'/d' is not a file.", [("retrbinary", "RETR /d", 8192), VR_PERM] + CWD_INTO_D),
    (lambda p: p.mtime, "'/d' could not retrieve modification time.", [("sendcmd", "MDTM /d"), VR_PERM]),
], ids=["read", "mtime"])
def test_a_permanent_refusal_becomes_a_type_error(ftp, use, message, command):
    ftp.add_file("/d/x")  # RETR of a directory is refused as it is; MDTM is made to be
    ftp.fail("sendcmd", ftplib.error_perm("550 no time kept"), path="/d")
    with pytest.raises(TypeError) as info:
        use(P("/d"))
    assert info.value.args == (message,)
    assert type(info.value.__context__) is ftplib.error_perm and info.value.__cause__ is None
    assert sent(ftp) == [("nlst", "/d")] + command


# -- read, write -----------------------------------------------------------

@pytest.mark.parametrize("data", [b"", bytes(range(256)) * 80], ids=["empty", "three-blocks"])
def test_read_returns_the_whole_file(ftp, data):
    ftp.add_file("/d/f", data)
    result = P("/d/f").read()
    assert type(result) is bytes and result == data
    assert sent(ftp) == [("nlst", "/d/f"), ("retrbinary", "RETR /d/f", 8192), ("sendcmd", "SIZE /d/f")]


@pytest.mark.parametrize("member", ["read", "write"])
def test_a_transfer_that_ended_early_is_not_taken_for_whole(ftp, member):
    ftp.add_file("/d/f", b"0123456789")
    ftp.size_skew = 5  # the server holds more than came across
    call = getattr(P, member).__wrapped__
    with pytest.raises(ftplib.error_temp, match=r"^426 Transfer of '/d/f' incomplete: 10 bytes moved, the server has 15$"):
        call(P("/d/f")) if member == "read" else call(P("/d/f"), b"0123456789")


@pytest.mark.parametrize("reply, outcome, message", [
    # the TYPE I reply went to another command
    ("550 SIZE not allowed in ASCII mode", ftplib.error_temp, r"^451 The size of '/d/f' was refused in ASCII mode .* out of step"),
    ("550 Could not get file size.", ftplib.error_temp, r"^426 Transfer of '/d/f' not confirmed: .* tells no size"),
    ("500 Unknown command.", None, ""), ("213 ten", ftplib.error_reply, "213 ten"), ("212 10", ftplib.error_reply, "212 10"),
])
def test_what_the_size_check_makes_of_each_answer(ftp, reply, outcome, message):
    ftp.add_file("/d/f", b"0123456789")
    if reply[0] == "5":
        ftp.fail("sendcmd", ftplib.error_perm(reply), path="/d/f")
    else:  # an odd success reply, given in place of SIZE's
        ftp.size_reply = reply
    if outcome:
        with pytest.raises(outcome, match=message):
            bare("read")(P("/d/f"))
    else:
        assert P("/d/f").read() == b"0123456789"  # a server without SIZE: taken at its word


@pytest.mark.parametrize("reply, confirms", [
    ("213 10", True), ("213 \t 10 \r", True), ("213 0010", True),
    ("213 11", False), ("213 \t1 ", False),
    ("213 1 0", None), ("213 \u0661\u0660", None), ("213 ", None), ("21", None),
    ("213 12345678901234567890", None),  # more than any file has bytes
])
def test_the_size_reply_is_read_for_its_digits_alone(ftp, reply, confirms):
    ftp.add_file("/d/f", b"0123456789")
    ftp.size_reply = reply
    if confirms is False:
        with pytest.raises(ftplib.error_temp, match=r"^426 Transfer of '/d/f' incomplete: 10 bytes moved"):
            bare("read")(P("/d/f"))
    elif confirms:
        assert bare("read")(P("/d/f")) == b"0123456789"
    else:  # nothing that tells a size: not confirmed
        with pytest.raises((ftplib.error_reply, OSError)):
            bare("read")(P("/d/f"))


def test_a_client_that_cannot_ask_the_size_is_taken_at_its_word(ftp, monkeypatch, tmp_path):
    ftp.add_file("/d/f", b"data")
    monkeypatch.setattr(type(ftp), "sendcmd", property(lambda self: (_ for _ in ()).throw(AttributeError("sendcmd"))))
    assert P("/d/f").read() == b"data"


@pytest.mark.parametrize("data", [b"", b"\x00payload" * 2000], ids=["empty", "long"])
def test_write_makes_the_parent_then_stores(ftp, data):
    assert P("/new/sub/f.bin").write(data) is None
    assert sent(ftp) == [
        ("nlst", "/new"), VR_PERM, ("nlst", "/new"), VR_PERM, ("mkd", "/new"),
        ("nlst", "/new/sub"), VR_PERM, ("mkd", "/new/sub"), ("storbinary", "STOR /new/sub/f.bin", data),
        ("sendcmd", "SIZE /new/sub/f.bin"),
    ]
    assert type(ftp.streams[0]) is io.BytesIO and ftp.nodes["/new/sub/f.bin"] == data


def test_write_lets_a_refused_store_through(ftp):
    ftp.add_dir("/d")
    refusal = ftplib.error_perm("553 not allowed")
    ftp.fail("storbinary", refusal)
    with pytest.raises(ftplib.error_perm) as info:
        P("/d/f").write(b"x")
    assert info.value is refusal
    assert sent(ftp) == [("nlst", "/d")] + dir_probe("/d") + [("storbinary", "STOR /d/f", b"")]


# -- upload ----------------------------------------------------------------

@pytest.mark.parametrize("refusal", [None, ftplib.error_perm("553 not allowed")], ids=["stored", "refused"])
def test_upload_of_a_file_names_the_remote_file_and_closes_the_local_one(ftp, tmp_path, refusal):
    local = tmp_path / "local-name.txt"
    local.write_bytes(b"content")
    if refusal:
        ftp.fail("storbinary", refusal)
        with pytest.raises(ftplib.error_perm) as info:
            P("/r/dst.bin").upload(str(local))
        assert info.value is refusal
    else:
        assert P("/r/dst.bin").upload(str(local)) is None
    data = b"" if refusal else b"content"
    check = [] if refusal else [("sendcmd", "SIZE /r/dst.bin")]
    assert sent(ftp) == [("nlst", "/r"), VR_PERM, ("mkd", "/r"), ("storbinary", "STOR /r/dst.bin", data), *check]
    assert ftp.streams[0].closed


def test_upload_of_missing_local_path_still_makes_the_remote_parent(ftp, tmp_path):
    missing = str(tmp_path / "nope")
    with pytest.raises(FileNotFoundError) as info:
        P("/r/q/x").upload(missing)
    assert info.value.errno == errno.ENOENT and str(info.value.filename) == missing
    assert [e for e in ftp.log if e[0] in ("mkd", "storbinary")] == [("mkd", "/r"), ("mkd", "/r/q")]


def test_upload_of_an_empty_directory(ftp, tmp_path):
    P("/e").upload(str(tmp_path))
    assert sent(ftp) == [("nlst", "/e"), VR_PERM, ("mkd", "/e")]
    assert ftp.tree() == {"/e": DIR}


def test_upload_of_a_tree_is_top_down_and_depth_first(ftp, tmp_path):
    src = tmp_path / "src"
    for name in [".dot", "a b.txt", "sub/b.txt", "sub/deeper/.c", "sub/empty/", "z/x"]:
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).mkdir() if name.endswith("/") else (src / name).write_bytes(name.encode())

    def walk(local, remote):  # the local file system's order, each directory done before the next entry
        yield ("mkd", remote)
        for item in local.iterdir():
            child = f"{remote}/{item.name}"
            yield from walk(item, child) if item.is_dir() else [("storbinary", "STOR " + child, item.read_bytes())]

    P("/dst").upload(str(src))
    assert [e for e in ftp.log if e[0] in ("mkd", "storbinary")] == list(walk(src, "/dst"))
    local = {"/dst/" + p.relative_to(src).as_posix(): DIR if p.is_dir() else p.read_bytes() for p in src.rglob("*")}
    assert ftp.tree() == {"/dst": DIR, **local}


# -- glob ------------------------------------------------------------------

def test_glob_lists_once_at_the_first_request(ftp):
    ftp.add_file("/d/b")
    ftp.add_file("/d/a")
    items = P("/d").glob()
    assert ftp.log == []
    first = next(items)
    assert sent(ftp) == dir_probe("/d") + [("retrlines", "LIST -a /d")]
    assert type(first) is P and [first.path.as_posix()] + [q.path.as_posix() for q in items] == ["/d/b", "/d/a"]
    assert len(ftp.log) == 5  # with the MLST that confirms the refused RETR as a directory


@pytest.mark.parametrize("line, names", [
    ("total 3", []),
    ("", []),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04", []),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04 ", []),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04   ", ["  "]),  # one blank parts the time from the name
    ("01-02-24  03:04AM       <DIR>          dosdir", ["dosdir"]),  # a DOS line, read as list_dir reads it
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04 ...", ["..."]),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04 my  file  ", ["my  file  "]),
    ("  -rw-r--r--   1 u g 5 Jan  2  2023    two words here", ["   two words here"]),
    ("drwxr-xr-x 1 u g 5 Jan 02 03:04  lead", [" lead"]),
    ("-rw-r--r--\u30001\x1cu\x1dg\x1e5\x1fJan\x8502\u200003:04\u2028na\u2003me\u3000", ["na\u2003me\u3000"]),
    ("lrwxrwxrwx 1 u g 6 Jan 02 03:04 dlink -> target", ["dlink"]),
    ("  lrwxrwxrwx 1 u g 6 Jan 02 03:04 my link -> a -> b", ["my link"]),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04 odd -> name", ["odd -> name"]),
    ("drwxr-xr-x 1 u g 5 Jan 02 03:04 dir -> x", ["dir -> x"]),
])
def test_glob_takes_the_name_from_the_ninth_field(ftp, line, names):
    ftp.add_dir("/d")
    ftp.extra_lines["/d"] = [line]  # after it the listing has only "." and ".."
    assert [str(q.path) for q in P("/d").glob()] == ["/d/" + name for name in names]


@pytest.mark.parametrize("pattern, names", [
    ("*", [".hidden", "a.txt", "b.log", "A.TXT"]), ("*.txt", ["a.txt"]), ("[ab].*", ["a.txt", "b.log"]),
    ("/d/*", []), ("d*", []),
])
def test_glob_matches_the_bare_name(ftp, pattern, names):
    for name in [".hidden", "a.txt", "b.log", "A.TXT"]:
        ftp.add_file("/d/" + name)
    assert [q.path.name for q in P("/d").glob(pattern)] == names


def test_glob_of_a_file_fails_at_the_first_request(ftp):
    ftp.add_file("/f", b"x")
    items = P("/f").glob()
    assert ftp.log == []
    with pytest.raises(TypeError, match=r"^'/f' is not a directory\.$"):
        next(items)
    assert sent(ftp) == [("nlst", "/f"), ("retrbinary", "RETR /f", 1), VR_INT]
    assert list(items) == []


@pytest.fixture
def listing(ftp):
    for name in ["a", "b", "c"]:
        ftp.add_file("/d/" + name)
    return P("/d")


def test_glob_generator_send(ftp, listing):
    items = listing.glob()
    assert isinstance(items, collections.abc.Generator)
    assert (items.__name__, items.__qualname__) == ("glob", "FTPPath.glob")
    with pytest.raises(TypeError, match=r"^can't send non-None value to a just-started generator$"):
        items.send(1)
    assert ftp.log == []
    assert items.send(None).path.name == "a"
    assert items.send("ignored").path.name == "b"
    assert [q.path.name for q in items] == ["c"] and list(items) == []


def test_glob_generator_throw_and_close(ftp, listing):
    fresh, closed = listing.glob(), listing.glob()
    with pytest.raises(KeyError):
        fresh.throw(KeyError("k"))
    assert closed.close() is None
    assert list(fresh) == [] and list(closed) == [] and ftp.log == []

    started = [listing.glob() for _ in range(3)]
    for items in started:
        next(items)
    traffic = len(ftp.log)
    with pytest.raises(KeyError, match="k"):
        started[0].throw(KeyError("k"))
    with pytest.raises(OSError, match="late"):
        started[0].throw(OSError("late"))  # finished: the exception comes straight back
    with pytest.raises(RuntimeError, match=r"^generator raised StopIteration$"):
        started[1].throw(StopIteration)
    started[2].close()
    assert [list(items) for items in started] == [[], [], []] and len(ftp.log) == traffic


def test_glob_generator_throw_takes_its_arguments_as_this_interpreters_generators(ftp, listing):
    def outcome(items, args):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(BaseException) as info:
                items.throw(*args)
        return type(info.value), str(info.value), [(w.category, str(w.message)) for w in caught]

    seen = []
    for args in [(), (1, 2, 3, 4), (KeyError, "k"), (KeyError, KeyError("k"), None), (KeyError("k"), 1)]:
        seen.append(outcome(listing.glob(), args))
        assert seen[-1] == outcome((n for n in "ab"), args), args
    # The (type, value, traceback) form warns from 3.12 on.
    assert [bool(warned) for *_, warned in seen] == [False, False] + [sys.version_info >= (3, 12)] * 3
    assert ftp.log == []


@pytest.mark.parametrize("action, error, message", [
    ("reenter", ValueError, "generator already executing"),
    ("stop", RuntimeError, "generator raised StopIteration"),
])
def test_glob_generator_errors_from_join_end_it(ftp, listing, monkeypatch, action, error, message):
    items = listing.glob()

    def join(self, name):
        if action == "reenter":
            return next(items)
        raise StopIteration("from join")

    monkeypatch.setattr(P, "join", join)
    with pytest.raises(error) as info:
        next(items)
    assert info.value.args == (message,)
    if action == "stop":
        assert type(info.value.__context__) is StopIteration and info.value.__context__.args == ("from join",)
    assert list(items) == []


# -- mkdir, delete ---------------------------------------------------------

@pytest.mark.parametrize("path, make, log", [
    ("/a/b/c", "/a/b/c", [("nlst", "/a/b"), ("nlst", "/a/b/c")] + dir_probe("/a/b/c")),
    ("/x/y/z", None, [("nlst", "/x/y"), VR_PERM, ("nlst", "/x"), VR_PERM, ("nlst", "/x"), VR_PERM, ("mkd", "/x"),
                      ("nlst", "/x/y"), VR_PERM, ("mkd", "/x/y"), ("nlst", "/x/y/z"), VR_PERM, ("mkd", "/x/y/z")]),
    ("d", None, [("nlst", "d"), VR_PERM, ("mkd", "d")]),
    ("/top", None, [("nlst", "/top"), VR_PERM, ("mkd", "/top")]),
    ("/", None, [("nlst", "/")] + dir_probe("/")),
], ids=["existing", "three-missing", "relative", "below-root", "root"])
def test_mkdir_climbs_only_as_far_as_needed(ftp, path, make, log):
    if make:
        ftp.add_dir(make)
    assert P(path).mkdir() is None
    assert sent(ftp) == log


@pytest.mark.parametrize("path, failed, log", [
    # after the refusal, a second look (made meanwhile by someone else?) before giving up
    ("/a/f", "/a/f", [("nlst", "/a"), ("nlst", "/a/f"), ("nlst", "/a/f"), ("retrbinary", "RETR /a/f", 1), VR_INT,
                      ("mkd", "/a/f"), VR_PERM,
                      ("nlst", "/a/f"), ("nlst", "/a/f"), ("retrbinary", "RETR /a/f", 1), VR_INT]),
    ("/f/sub/leaf", "/f/sub", [("nlst", "/f/sub"), VR_PERM, ("nlst", "/f"), ("nlst", "/f/sub"), VR_PERM,
                               ("mkd", "/f/sub"), VR_PERM, ("nlst", "/f/sub"), VR_PERM]),
], ids=["file-in-the-way", "ancestor-fails"])
def test_mkdir_refused(ftp, path, failed, log):
    ftp.add_file("/a/f", b"x")
    ftp.add_file("/f", b"x")
    with pytest.raises(FileNotFoundError) as info:
        P(path).mkdir()
    assert info.value.args == (f"Failed to create directory '{failed}'.",)
    assert type(info.value.__context__) is ftplib.error_perm and info.value.__cause__ is None
    assert sent(ftp) == log


def test_delete_of_a_file_and_of_an_empty_directory(ftp):
    ftp.add_file("/d/f", b"x")
    P("/d/f").delete()
    assert sent(ftp) == [("nlst", "/d/f"), ("retrbinary", "RETR /d/f", 1), VR_INT, ("delete", "/d/f")]
    ftp.log.clear()
    assert P("/d").delete() is None
    # The parent's listing tells whether /d is a symbolic link, which is removed rather than walked.
    assert sent(ftp) == dir_probe("/d") + [("retrlines", "LIST -a /")] + dir_probe("/d") + [
        ("retrlines", "LIST -a /d"), ("rmd", "/d")]
    assert ftp.tree() == {}


def test_delete_of_a_tree_goes_in_listing_order(ftp):
    for name in ["b.txt", "sub/.hidden", "sub/inner/", "a.txt"]:
        ftp.add_dir("/t/" + name) if name.endswith("/") else ftp.add_file("/t/" + name, b"x")
    ftp.extra_lines["/t"] = ["total 3"]
    P("/t").delete()
    assert [e for e in ftp.log if e[0] in ("delete", "rmd")] == [
        ("delete", "/t/b.txt"), ("delete", "/t/sub/.hidden"), ("rmd", "/t/sub/inner"), ("rmd", "/t/sub"),
        ("delete", "/t/a.txt"), ("rmd", "/t"),
    ]
    assert [e[1] for e in ftp.log if e[0] == "retrlines"] == [
        "LIST -a /", "LIST -a /t", "LIST -a /t", "LIST -a /t/sub", "LIST -a /t/sub", "LIST -a /t/sub/inner"]
    assert ftp.tree() == {}


# -- ways out of an exchange -----------------------------------------------

@pytest.mark.parametrize("method, where, use", [
    ("retrlines", "/d", lambda: next(P("/d").glob())), ("retrbinary", "/d/f", lambda: P("/d/f").read()),
    ("retrbinary", "/d/f", lambda: P("/d/f").is_dir()), ("storbinary", "/d/f", lambda: P("/d/f").write(b"x")),
    ("nlst", "/d/f", lambda: P("/d/f").exists), ("sendcmd", "/d/f", lambda: P("/d/f").mtime),
    ("retrlines", "/d/a b", lambda: next(P("/d/a b").glob())),  # listed from inside: no CWD back after
], ids=["glob", "read", "is_dir", "write", "exists", "mtime", "glob-inside"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), RuntimeError("from a signal handler")], ids=["Ctrl-C", "handler"])
def test_an_exchange_left_by_anything_but_a_reply_drops_the_client(ftp, method, where, use, exc):
    ftp.add_file("/d/f", b"data")
    ftp.add_dir("/d/a b")
    ftp.fail(method, exc, path=where)
    with pytest.raises(type(exc)) as info:
        use()
    assert info.value is exc
    assert ftp.log[-2][0] == method and ftp.log[-1] == ("drop_client",)  # at once, nothing more sent


def test_an_error_reply_keeps_the_client(ftp):
    ftp.add_dir("/d")
    ftp.fail("retrlines", ftplib.error_perm("550 no"), times=None)
    with pytest.raises(ftplib.error_perm):
        next(P("/d").glob())
    assert ("drop_client",) not in ftp.log


# A lookup made while a Python exception is pending may clear it (a type-attribute cache miss does):
# the answers that arrive as exceptions must survive whatever the members look up to handle them.
# Each call is made with warm caches and again right after they are cleared: same answer, same traffic.
@pytest.mark.parametrize("case", ["missing", "empty listing", "directory", "new directory", "read a directory"])
def test_refusals_are_handled_the_same_whatever_the_lookup_caches_hold(ftp, case, monkeypatch):
    import sys
    ftp.add_dir("/d/sub")
    if case == "empty listing":  # a server that lists nothing for a missing path; MLST then says 550
        monkeypatch.setattr(ftp, "nlst", lambda path: ftp.log.append(("nlst", path)) or [], raising=False)
    call = {"missing": lambda: P("/d/nope").exists, "empty listing": lambda: P("/d/nope").exists,
            "directory": lambda: P("/d/sub").is_dir(), "new directory": lambda: P("/d/new").mkdir(),
            "read a directory": lambda: P("/d/sub").read()}[case]

    def outcome(cold):
        ftp.nodes.pop("/d/new", None)
        ftp.log.clear()
        if cold:
            sys._clear_type_cache()
        try:
            result = call()
        except Exception as exc:
            result = (type(exc), str(exc))
        return result, list(ftp.log)

    warm = [outcome(False) for _ in range(2)][-1]
    assert all(outcome(True) == warm for _ in range(3))
    if case == "empty listing":
        assert warm == (False, [("nlst", "/d/nope"), ("sendcmd", "MLST /d/nope")])
    expected = {"missing": False, "directory": True, "new directory": None,
                "read a directory": (TypeError, "'/d/sub' is not a file.")}
    assert warm[0] == expected.get(case, False)
