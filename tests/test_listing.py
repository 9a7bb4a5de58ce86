"""Listings with details: the line parsers, and list_dir on every server."""

from __future__ import annotations

import ftplib
import os
import signal
import time
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import assume, given, settings, strategies as st

from dravlen.ftp.wire.listing import DAY, MINUTE, ZONE_SPAN, Entry, list_dir, parse_list, parse_mlsd

UTC = timezone.utc
NOW = datetime(2026, 3, 10, 12, 0, tzinfo=UTC)


@pytest.mark.parametrize("line, expected", [
    ("type=file;size=5;modify=20261208100526; report.csv",
     Entry("report.csv", "file", 5, datetime(2026, 12, 8, 10, 5, 26, tzinfo=UTC))),
    # the name is everything after the first blank, blanks and arrows included
    ("type=file;size=1;modify=20261208100526;  lead and trail ",
     Entry(" lead and trail ", "file", 1, datetime(2026, 12, 8, 10, 5, 26, tzinfo=UTC))),
    ("Type=File;Size=1; a -> b; c=d", Entry("a -> b; c=d", "file", 1, None)),
    ("type=dir;sizd=4096;modify=20260101000000.250;unique=fe00g2; sub",
     Entry("sub", "dir", None, datetime(2026, 1, 1, 0, 0, 0, 250000, tzinfo=UTC), unique="fe00g2")),
    ("type=OS.unix=slink:/etc/passwd;size=11; pw", Entry("pw", "link", None, None, target="/etc/passwd")),
    ("type=OS.unix=slink:;size=3; ln", Entry("ln", "link", None, None)),
    ("type=OS.unix=symlink;size=3; ln", Entry("ln", "link", None, None)),
    ("type=OS.unix=chr-1/3; null", Entry("null", "other", None, None)),
    ("type=file;size=12x;modify=2026; odd", Entry("odd", "file", None, None)),
    ("type=file; *?[x]", Entry("*?[x]", "file", None, None)),
    # the directory itself, its parent, and text naming no child
    ("type=cdir;modify=20261208100526; .", None),
    ("type=pdir; ..", None),
    ("type=dir; ..", None),
    ("type=file; a/b", None),
    ("type=file;size=1;", None),
    ("type=file; ", None),
])
def test_parse_mlsd(line, expected):
    assert parse_mlsd(line) == expected


def Listed(*args, precision=MINUTE, **kw):
    """A LIST entry: its time is the server's wall clock, to the minute (or the day)."""
    return Entry(*args, precision=precision, zone_slack=ZONE_SPAN, **kw)


@pytest.mark.parametrize("line, expected", [
    # vsftpd, ProFTPD and Pure-FTPd columns; the name starts after one blank
    ("-rw-rw-r--    1 0        0               5 Dec 08 10:05  lead and trail ",
     Listed(" lead and trail ", "file", 5, datetime(2025, 12, 8, 10, 5, tzinfo=UTC))),
    ("-rw-rw-r--    1 0          root                1 Mar  8 10:05 a -> b",
     Listed("a -> b", "file", 1, datetime(2026, 3, 8, 10, 5, tzinfo=UTC))),
    ("drwxrwxr-x   3 dravlenftp dravlenftp     4096 Jan 31  2019 12 Jan 1 2020 x",
     Listed("12 Jan 1 2020 x", "dir", None, datetime(2019, 1, 31, tzinfo=UTC), precision=DAY)),
    ("-rw-r--r-- 1 ftp 4096 Feb 29 11:00 owner only", Listed("owner only", "file", 4096,
                                                             datetime(2024, 2, 29, 11, 0, tzinfo=UTC))),
    ("-rw-r--r--+ 1 a b 7 2026-03-01 09:30 iso", Listed("iso", "file", 7,
                                                       datetime(2026, 3, 1, 9, 30, tzinfo=UTC))),
    ("lrwxrwxrwx    1 0        0               3 Dec 08 10:05 ln -> sub",
     Listed("ln", "link", None, datetime(2025, 12, 8, 10, 5, tzinfo=UTC), target="sub")),
    ("crw-rw-rw-   1 root root  1,   3 Mar  1 09:00 null",
     Listed("null", "other", None, datetime(2026, 3, 1, 9, 0, tzinfo=UTC))),
    # a date up to a day ahead is this year's (clocks differ), later is last year's
    ("-rw-r--r-- 1 a b 1 Mar 11 11:00 soon", Listed("soon", "file", 1, datetime(2026, 3, 11, 11, 0, tzinfo=UTC))),
    ("-rw-r--r-- 1 a b 1 Mar 12 11:00 later", Listed("later", "file", 1, datetime(2025, 3, 12, 11, 0, tzinfo=UTC))),
    # DOS / IIS
    ("12-08-25  10:15AM       <DIR>          Program Files",
     Listed("Program Files", "dir", None, datetime(2025, 12, 8, 10, 15, tzinfo=UTC))),
    ("12-08-25  12:15AM       <DIR>            two blanks",
     Listed("  two blanks", "dir", None, datetime(2025, 12, 8, 0, 15, tzinfo=UTC))),
    ("01-15-2021  10:30PM              1234 a  b.txt ",
     Listed("a  b.txt ", "file", 1234, datetime(2021, 1, 15, 22, 30, tzinfo=UTC))),
    ("01-15-21  22:30                    0 empty", Listed("empty", "file", 0, datetime(2021, 1, 15, 22, 30, tzinfo=UTC))),
    # lines naming no child
    ("total 12", None),
    ("drwxrwxr-x    3 0        0            4096 Dec 08 10:05 .", None),
    ("drwxrwxr-x    3 1001     1001         4096 Dec 08 10:05 ..", None),
    ("-rw-rw-r--    1 0        0               4 Dec 08 10:05 /abs/f", None),
    # a link whose name cannot be told from its target is never guessed
    ("lrwxrwxrwx    1 0        0               3 Dec 08 10:05 amb -> x -> y", None),
    ("lrwxrwxrwx    1 0        0               6 Dec 08 10:05 amb -> x -> y",
     Listed("amb", "link", None, datetime(2025, 12, 8, 10, 5, tzinfo=UTC), target="x -> y")),
    ("garbage", None),
    ("-rw-r--r-- 1 a b 1 Mar 10 11:00", None),
])
def test_parse_list(line, expected):
    assert parse_list(line, now=NOW) == expected


# Names as hostile as a file system allows: blanks anywhere, arrows, wildcards,
# lone surrogates for bytes that were not text; no "/", NUL or line break.
NAME = st.text(st.one_of(st.sampled_from(" ->*?[]x.;=\t"), st.characters(
    blacklist_categories=("Cc",), blacklist_characters="/\x00\r\n")), min_size=1, max_size=24).filter(
    lambda n: n not in (".", ".."))
OWNER = st.text("abcdefgh0123456789_-", min_size=1, max_size=10)


@settings(max_examples=400, deadline=None, database=None)
@given(name=NAME, size=st.integers(0, 10**15), owner=OWNER, group=st.one_of(st.none(), OWNER),
       kind=st.sampled_from("-dl"), pad=st.integers(1, 12), recent=st.booleans(),
       when=st.datetimes(datetime(1990, 1, 1), datetime(2026, 3, 10, 12, 0)))
def test_unix_lines_give_back_the_name_size_and_time(name, size, owner, group, kind, pad, recent, when):
    assume(kind != "l" or " -> " not in name)  # such a link line is ambiguous: left out
    # The layouts vsftpd, ProFTPD and Pure-FTPd use: padded columns, a time
    # of day for the last six months, else a year; one blank before the name.
    when = when.replace(second=0, microsecond=0, tzinfo=UTC)
    if recent:
        when = max(when, NOW.replace(tzinfo=UTC) - timedelta(days=150))
    stamp = when.strftime("%b %d %H:%M") if recent else when.strftime("%b %d  %Y")
    owners = owner + (" " * pad + group if group else "")
    text = f"{name} -> target dir" if kind == "l" else name
    line = f"{kind}rwxr-xr-x{' ' * pad}1 {owners}{' ' * pad}{size:>8} {stamp} {text}"
    entry = parse_list(line, now=NOW)
    assert entry is not None, line
    assert entry.name == name
    assert entry.kind == {"-": "file", "d": "dir", "l": "link"}[kind]
    assert entry.size == (size if kind == "-" else None)
    assert entry.target == ("target dir" if kind == "l" else None)
    assert entry.mtime == (when if recent else when.replace(hour=0, minute=0))


@settings(max_examples=300, deadline=None, database=None)
@given(name=NAME, facts=st.dictionaries(st.sampled_from(["perm", "unique", "UNIX.mode", "lang"]),
                                        st.text("abcdef0123=", max_size=6).filter(lambda v: ";" not in v)))
def test_mlsd_names_are_exact_whatever_the_facts(name, facts):
    line = "".join(f"{k}={v};" for k, v in facts.items()) + "type=file;size=3; " + name
    entry = parse_mlsd(line)
    assert entry is not None and (entry.name, entry.kind, entry.size) == (name, "file", 3)


# One corpus of hostile listing lines, read by both parsers: the core's (through
# glob() on a fake client) and list_dir's.  (line, name or None, encoding).
HOSTILE = [
    ("-rw-r--r--    1 0        0               5 Dec 08 10:05  lead and trail ", " lead and trail ", "utf-8"),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04   ", "  ", "utf-8"),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04\tx", "x", "utf-8"),
    ("-rw-r--r--\u30001\x1cu\x1dg\x1e5\x1fJan\x8502\u200003:04\u2028na\u2003me\u3000", "na\u2003me\u3000", "utf-8"),
    ("  -rw-r--r--   1 u g 5 Jan  2  2023    two words here", "   two words here", "utf-8"),
    ("drwxrwxr-x 3 u g 4096 Jan 31  2019 12 Jan 1 2020 x", "12 Jan 1 2020 x", "utf-8"),
    ("-rw-r--r-- 1 ftp 4096 Feb 29 11:00 owner only", "owner only", "utf-8"),
    ("crw-rw-rw- 1 root root 1,   3 Mar  1 09:00 null", "null", "utf-8"),
    ("-rw-r--r--+ 1 a b 7 2026-03-01 09:30 iso name", "iso name", "utf-8"),
    ("-rw-r--r-- 1 u g 0 Jan 02 03:04 *?[x]{a,b}", "*?[x]{a,b}", "utf-8"),
    ("-rw-r--r-- 1 u g 4 Jan 02 03:04 caf\udce9 .txt", "caf\udce9 .txt", "utf-8"),
    # " -> " in a name: only a link's line is split, where the size column says
    ("-rw-r--r-- 1 u g 1 Mar  8 10:05 a -> b", "a -> b", "utf-8"),
    ("lrwxrwxrwx 1 u g 3 Jan 02 03:04 ln", "ln", "utf-8"),
    ("lrwxrwxrwx 1 u g 4 Jan 02 03:04  ln  -> sub ", " ln ", "utf-8"),
    ("lrwxrwxrwx 1 u g 6 Dec 08 10:05 amb -> x -> y", "amb", "utf-8"),
    ("lrwxrwxrwx 1 u g 1 Dec 08 10:05 amb -> x -> y", "amb -> x", "utf-8"),
    ("lrwxrwxrwx 1 u g 6 Jan 02 03:04  -> x -> y -> z", " -> x", "utf-8"),
    ("lrwxrwxrwx 1 u g 4 Jan 02 03:04 a -> b -> caf\udce9", "a -> b", "utf-8"),
    ("lrwxrwxrwx 1 u g 4 Jan 02 03:04 a -> b -> caf\xe9", "a -> b", "latin-1"),
    ("lrwxrwxrwx 1 u g 4 Jan 02 03:04 a -> b -> caf\xe9", None, "utf-8"),  # 5 bytes there: no arrow fits
    ("lrwxrwxrwx 1 u g 3 Dec 08 10:05 amb -> x -> y", None, "utf-8"),
    ("lrwxrwxrwx 1 u g 3 Jan 02 03:04 amb -> x -> yy -> zz", None, "no-such-codec"),
    ("lrwxrwxrwx 1 root root 1, 3 Jan 02 03:04 dev -> x -> y", None, "utf-8"),
    ("lrwxrwxrwx 1 u g 1 Jan 02 03:04  -> x", None, "utf-8"),
    # DOS (IIS) lines
    ("12-08-25  10:15AM       <DIR>          Program Files", "Program Files", "utf-8"),
    ("12-08-25  12:15AM       <DIR>            two blanks", "  two blanks", "utf-8"),
    ("01-15-2021  10:30PM              1234 a  b.txt ", "a  b.txt ", "utf-8"),
    ("01-15-2021  10:30PM  1234 one two three four five six", "one two three four five six", "utf-8"),
    ("01-15-21  22:30                    0 *.txt", "*.txt", "utf-8"),
    ("01-15-21  13:30PM  12 past noon twice", None, "utf-8"),
    # naming no entry of the directory, or no entry at all
    ("-rw-r--r-- 1 u g 4 Jan 02 03:04 /abs/f", None, "utf-8"),
    ("-rw-r--r-- 1 u g 4 Jan 02 03:04 a\x00b", None, "utf-8"),
    ("drwxr-xr-x 3 u g 4096 Dec 08 10:05 ..", None, "utf-8"),
    ("-rw-r--r-- 1 u g 5 Jan 02 03:04 ", None, "utf-8"),
    ("total 12", None, "utf-8"),
    ("this line is no listing line of any kind at all", None, "utf-8"),
    ("-rw-r--r-- 1 u g five Jan 02 03:04 not a size", None, "utf-8"),
]


def core_names(line, encoding):
    from fakes import FakeFTP, RecordingPath

    fake = FakeFTP()
    fake.add_dir("/d")
    fake.extra_lines["/d"] = [line]
    fake.encoding = encoding
    path = type("P", (RecordingPath,), {"fake": fake})("/d")
    return [q.path.name for q in path.glob()]


@pytest.mark.parametrize("line, name, encoding", HOSTILE)
def test_both_parsers_take_the_same_name(line, name, encoding):
    entry = parse_list(line, now=NOW, encoding=encoding)
    assert (entry and entry.name) == name
    assert core_names(line, encoding) == ([] if name is None else [name])


BLANK = st.sampled_from([" ", "  ", "\t", "\u3000"])


@settings(max_examples=300, deadline=None, database=None)
@given(name=NAME, target=NAME, data=st.data(), lead=st.sampled_from(["", " "]),
       kind=st.sampled_from("-dlc"), columns=st.integers(0, 2), size=st.integers(0, 40))
def test_both_parsers_agree_on_generated_lines(name, target, data, lead, kind, columns, size):
    # Columns as servers lay them out, and some as none does (a size that is
    # not the target's length, odd blanks), with names as hostile as above.
    b = data.draw(BLANK)
    owners = "".join(b + word for word in ["owner", "group"][:columns])
    text = f"{name} -> {target}" if kind == "l" else name
    if data.draw(st.booleans()):
        line = f"{lead}{kind}rwxr-xr-x{b}1{owners}{b}{size}{b}Mar{b}{data.draw(st.sampled_from(['1', '10']))}{b}" \
               f"{data.draw(st.sampled_from(['2020', '10:00']))}{data.draw(BLANK)}{text}"
    else:
        line = f"03-01-20  10:00{data.draw(st.sampled_from(['', 'AM', ' PM']))}  " \
               f"{data.draw(st.sampled_from(['<DIR>', str(size)]))}{data.draw(st.sampled_from([' ', '   ']))}{text}"
    entry = parse_list(line, now=NOW)
    assert core_names(line, "utf-8") == ([] if entry is None else [entry.name]), line


def test_parse_list_default_now_is_aware_and_recent():
    entry = parse_list("-rw-r--r-- 1 a b 1 Jan  1 00:00 f")
    assert entry is not None and entry.mtime is not None
    assert entry.mtime.tzinfo is UTC
    assert 0 <= (datetime.now(UTC) - entry.mtime).days <= 366


# ---------------------------------------------------------------------------
# on the servers

def make_listing_tree(root):
    (root / "d").mkdir()
    (root / "d" / " lead and trail ").write_bytes(b"12345")
    (root / "d" / "a -> b").write_bytes(b"y")
    (root / "d" / "*?[x]").write_bytes(b"")
    (root / "d" / ".hidden").write_bytes(b"hh")
    (root / "d" / "sub").mkdir()
    os.symlink("sub", root / "d" / "ln")
    (root / "f").write_bytes(b"file")
    os.utime(root / "d" / " lead and trail ", (STAMP, STAMP))


# within the last six months, so that LIST shows the time of day too
STAMP = (int(time.time()) - 86400) // 60 * 60 + 7


def test_list_dir_on_the_server(rpath, home, server):
    make_listing_tree(home.path)
    os.symlink("x -> y", home.path / "d" / "amb")
    client = rpath().client
    listing = list_dir(rpath("d"))
    entries = {e.name: e for e in listing}
    # a link whose LIST line reads "amb -> x -> y" is split by its size
    # column; MLSD names it exactly (where it lists a link that leads nowhere)
    assert listing.skipped == []
    amb = entries.pop("amb", None)
    if server.kind == "vsftpd":
        assert amb is not None and (amb.kind, amb.target) == ("link", "x -> y")
    else:
        assert amb is None or (amb.kind, amb.target) == ("link", None)
    assert set(entries) == {" lead and trail ", "a -> b", "*?[x]", ".hidden", "sub", "ln"}
    lead = entries[" lead and trail "]
    assert (lead.kind, lead.size) == ("file", 5)
    assert lead.mtime is not None and lead.mtime.tzinfo is not None
    # LIST gives minutes; MLSD seconds
    assert abs(lead.mtime.timestamp() - STAMP) < 60
    assert entries["a -> b"].kind == "file" and entries["sub"].kind == "dir"
    # pyftpdlib's MLSD follows links; the others tell them
    assert entries["ln"].kind == ("dir" if server.kind == "pyftpdlib" else "link")
    assert list_dir(rpath("d/sub")) == []
    with pytest.raises(FileNotFoundError, match="does not exist"):
        list_dir(rpath("nope"))
    with pytest.raises(NotADirectoryError, match="is not a directory"):
        list_dir(rpath("f"))
    assert rpath().client is client  # refusals did not cost the connection


def test_list_dir_interrupted_keeps_or_drops_the_client(rpath, home, monkeypatch):
    make_listing_tree(home.path)
    before = rpath().client
    import socket

    real_recv = socket.socket.recv

    def interrupted(self, *args):
        raise KeyboardInterrupt

    monkeypatch.setattr(socket.socket, "recv", interrupted)
    with pytest.raises(KeyboardInterrupt):
        list_dir(rpath("d"))
    monkeypatch.setattr(socket.socket, "recv", real_recv)
    # the interrupted client is dropped; the next listing works on a new one
    assert rpath().client is not before
    assert len(list_dir(rpath("d"))) == 6


class _Signalled(Exception):
    pass


class _SignalsAtFirstLine(ftplib.FTP):
    """A client that gets a real signal while a listing is still coming in."""

    def retrlines(self, cmd, callback=None):
        def first(line):
            signal.raise_signal(signal.SIGALRM)  # its handler raises: no second line
            callback(line)

        return super().retrlines(cmd, first)


def test_interrupted_listings_end_the_server_sessions(server, home, config_file):
    # ProFTPD went on sending an NLST whose client had gone, at full CPU, for
    # every glob() interrupted so; its sessions must end as the client's do.
    from conftest import bound_class

    (home.path / "big").mkdir()
    for i in range(800):
        (home.path / "big" / f"entry-{i:05}-of-a-folder-too-big-for-one-read").touch()
    plain = bound_class(server, config_file, suffix="-signalled")
    P = type("P", (plain,), {"_creator": _SignalsAtFirstLine})
    before = len(server.sessions())

    def stop(signum, frame):
        raise _Signalled

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        for _ in range(3):
            with pytest.raises(_Signalled):
                next(P(f"{home.remote}/big").glob())
    finally:
        signal.signal(signal.SIGALRM, previous)
    deadline = time.monotonic() + 5
    while len(server.sessions()) > before and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(server.sessions()) <= before
    assert len(list(plain(f"{home.remote}/big").glob("*-00042-*"))) == 1
