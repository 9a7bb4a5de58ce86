"""Tree upload, download and removal: on every server of the matrix, against
a server that cuts transfers short or refuses, one that limits connections,
and one slow enough to be interrupted half-way."""

from __future__ import annotations

import ftplib
import hashlib
import os
import re
import signal
import threading
import time
from collections import Counter

import pytest

import delayserver
import servers
from conftest import bound_class
from dravlen.base import Local
from dravlen.ftp import tree
from faultserver import FaultPath, fault  # noqa: F401  (fixture)

BIG = os.urandom(3 << 20)


def on_disk(root) -> dict[str, str]:
    """Relative path -> what is there: 'dir', 'link -> target', or the file's digest."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root)
            if os.path.islink(full):
                found[rel] = "link -> " + os.readlink(full)
            elif os.path.isdir(full):
                found[rel] = "dir"
            else:
                found[rel] = hashlib.sha256(open(full, "rb").read()).hexdigest()
    return found


def local_tree(root):
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / ".hidden").write_bytes(b"dot")
    (root / "two  blanks.txt").write_bytes(b"2")
    (root / " lead.txt").write_bytes(b"lead")
    (root / "ünï.txt").write_bytes("ü".encode())
    (root / "sub" / "deeper" / "x.bin").write_bytes(BIG)
    (root / "sub" / "bad\nname.txt").write_bytes(b"no FTP command can name me")
    os.symlink(" lead.txt", root / "local-link")  # followed: uploaded as a file
    return root


def test_each_tree_operation_on_every_server(server, config_file, home, tmp_path):
    from dravlen.ftp.remote import RemotePath

    cls = bound_class(server, config_file, suffix="-tree", base=RemotePath)
    src = local_tree(tmp_path / "src")
    expected = {k: v for k, v in on_disk(src).items() if "bad" not in k}
    expected["local-link"] = expected[" lead.txt"]
    top = cls(f"{home.remote}/new/t")  # its parent is missing too

    with pytest.raises(tree.TreeError) as failed:
        tree.upload_tree(src, top, connections=3)
    assert [p for p, _ in failed.value.failures] == [str(src / "sub" / "bad\nname.txt")]
    assert "line break" in str(failed.value)
    assert on_disk(home.path / "new" / "t") == expected  # the rest was done

    seen = []
    with pytest.raises(tree.TreeError) as again:
        tree.upload_tree(src, top, connections=2, progress=seen.append)
    assert again.value.progress.skipped == again.value.progress.files_done == 6
    assert seen[-1].bytes_done == seen[-1].bytes_total == len(BIG) + 14

    # Links made on the server: one to a folder outside the tree, which
    # neither a download nor a removal may enter.
    remote_dir = home.path / "new" / "t"
    (home.path / "keep").mkdir()
    (home.path / "keep" / "precious").write_bytes(b"keep me")
    os.symlink("../../keep", remote_dir / "to-keep")
    os.symlink("ünï.txt", remote_dir / "to-file")

    down = tmp_path / "down"
    down.mkdir()
    (down / "sub").write_bytes(b"in the way")  # a local file where a folder must go
    with pytest.raises(tree.TreeError) as blocked:
        tree.download_tree(top, down, connections=3)
    assert blocked.value.failures == [(str(down / "sub"), "exists locally and is not a directory")]
    (down / "sub").unlink()
    outcome = tree.download_tree(top, down, connections=3)
    assert outcome.skipped == 5 and outcome.files == 1  # only x.bin was left to fetch
    got = on_disk(down)
    for name, target in [("to-keep", "../../keep"), ("to-file", "ünï.txt")]:
        # A link comes down as a link, or is passed over where the server
        # does not tell its target; never as what it points to.
        assert got.pop(name, None) in ("link -> " + target, None), name
        if not os.path.islink(down / name):
            assert (str(top.path / name), "a symbolic link whose target the server does not tell") \
                in outcome.passed_over
    assert got == expected
    assert not [n for n in os.listdir(down) if n.endswith(".dravlen-part")]
    # Named by the caller, a link at the top is followed: to a file, or to a folder.
    assert tree.download_tree(cls(f"{top.path}/to-file"), tmp_path / "one").files == 1
    assert (tmp_path / "one").read_bytes() == "ü".encode()
    assert tree.download_tree(cls(f"{top.path}/to-keep"), tmp_path / "kept").files == 1
    assert (tmp_path / "kept" / "precious").read_bytes() == b"keep me"

    outcome = tree.remove_tree(top, connections=3)
    assert not remote_dir.exists()
    assert (home.path / "keep" / "precious").read_bytes() == b"keep me"
    assert outcome.files == 8 and outcome.directories == 4  # 6 files, 2 links; 4 folders
    with pytest.raises(FileNotFoundError):
        tree.remove_tree(top)


class Counting(ftplib.FTP):
    """A client that counts the command words it sends, over all threads."""

    sent: Counter = Counter()
    lock = threading.Lock()

    def putcmd(self, line):
        with self.lock:
            self.sent[line.split(" ", 1)[0].upper()] += 1
        super().putcmd(line)


def test_commands_grow_with_entries_not_with_folder_size(server, config_file, home, tmp_path):
    cls = bound_class(server, config_file, suffix="-count")
    cls = type(cls.__name__ + "Counting", (cls,), {"_creator": Counting})
    files = 300
    (tmp_path / "flat").mkdir()
    for i in range(files):
        (tmp_path / "flat" / f"f{i:03}").write_bytes(b"x" * 100)
    top = cls(f"{home.remote}/flat")
    sessions = lambda sent: sent["USER"] + sent["PASS"] + sent["TYPE"] + sent["QUIT"]  # noqa: E731

    def run(op):
        Counting.sent.clear()
        op()
        return Counter(Counting.sent)

    sent = run(lambda: tree.upload_tree(tmp_path / "flat", top, connections=4))
    # Confirmed by one MLSD of the folder at its end, not a SIZE per file;
    # by SIZE where the server has no MLSD (its refusal, then LIST -a, LIST).
    sizes = files if server.kind == "vsftpd" else 0
    assert (sent["MKD"], sent["STOR"], sent["SIZE"]) == (1, files, sizes), sent
    listings = sent["MLSD"] + sent["LIST"]
    assert 1 <= listings <= (3 if sizes else 1), sent
    # A PASV sent ahead goes unused where another connection took the next file.
    assert files < sent["PASV"] + sent["EPSV"] <= files + listings + 4
    assert not sent["NLST"] and not sent["RETR"]
    # LIST's zone is learnt once per connection that lists (one MDTM).
    assert sent["MDTM"] <= (listings if sizes else 0), sent
    assert sum(sent.values()) - sessions(sent) <= 2 * files + sizes + 1 + 2 * listings + sent["MDTM"] + 4, sent

    sent = run(lambda: tree.download_tree(top, tmp_path / "back", connections=4))
    assert (sent["RETR"], sent["SIZE"], sent["STOR"]) == (files, 0, 0)
    listings = sent["MLSD"] + sent["LIST"]
    assert listings <= 6, sent  # the parent's and the folder's: MLSD (+ LIST), or LIST after a refused MLSD
    # LIST tells times to the minute: each file's exact time goes with its RETR.
    assert sent["MDTM"] <= (files + listings if sizes else 0), sent
    assert sum(sent.values()) - sessions(sent) <= 2 * files + 2 * listings + 6 + sent["MDTM"], sent
    assert top.client.sendcmd("NOOP").startswith("200")  # the caller's client is left in step

    sent = run(lambda: tree.remove_tree(top, connections=4))
    assert (sent["DELE"], sent["RMD"]) == (files, 1)
    assert sum(sent.values()) - sessions(sent) <= files + 1 + 3 * listings + 6, sent
    assert not (home.path / "flat").exists()


def test_cut_transfers_are_retried_and_refusals_reported(fault, tmp_path):
    data = os.urandom(100_000)
    fault.add("/d/f", data)

    def cut_next_download(progress):
        # Planned once /d is listed, so that no probe's RETR takes the fault.
        if progress.files_total and not fault.faults:
            fault.fault("RETR", "cut226")  # half the file, and a 226 anyway

    tree.download_tree(FaultPath("/d"), tmp_path / "d", connections=1, progress=cut_next_download)
    assert (tmp_path / "d" / "f").read_bytes() == data
    assert fault.injected == 1 and fault.log.count("RETR /d/f") == 2

    (tmp_path / "up").mkdir()
    (tmp_path / "up" / "u").write_bytes(data)
    (tmp_path / "up" / "w").write_bytes(b"w")  # two files: confirmed by the folder's listing
    fault.fault("STOR", "cut226")  # the server keeps half but says 226
    tree.upload_tree(tmp_path / "up", FaultPath("/u"))
    assert fault.nodes["/u/u"] == data and fault.log.count("STOR /u/u") == 2
    assert fault.nodes["/u/w"] == b"w" and fault.log.count("STOR /u/w") == 1
    fault.fault("STOR", "421")  # "too many connections" on a command: hang up, come back
    tree.upload_tree(tmp_path / "up", FaultPath("/v"))
    assert fault.nodes["/v/u"] == data and fault.log.count("STOR /v/u") == 2

    fault.add("/d/sub/g", b"g")
    fault.add("/d/h", b"h")  # its DELE goes with /d/f's: the refusal still names its own file
    fault.fault("DELE", "temp", times=5)  # one file refused on every attempt
    with pytest.raises(tree.TreeError) as failed:
        tree.remove_tree(FaultPath("/d"), connections=1)
    [(path, reason)] = failed.value.failures
    assert path in ("/d/f", "/d/sub/g") and reason.startswith("cannot delete the file: 450")
    assert set(fault.nodes) == {"/", "/u", "/u/u", "/u/w", "/v", "/v/u", "/v/w", "/d", path, os.path.dirname(path)}


def test_trees_confirm_by_the_one_rule(fault, tmp_path):
    # A server without SIZE (502) cannot confirm: the closing reply is taken,
    # as for single files; one that refuses SIZE for the file confirms nothing.
    fault.size = False
    fault.add("/d/f", b"0123456789")
    fault.list_lines["/d"] = ["-rw-r--r-- 1 o g 0 Jan 02 03:04 f"]  # listed short: the size is asked
    tree.download_tree(FaultPath("/d"), tmp_path / "d", connections=1)
    (tmp_path / "up").mkdir()
    (tmp_path / "up" / "u").write_bytes(b"up")
    tree.upload_tree(tmp_path / "up", FaultPath("/u"))
    assert (tmp_path / "d" / "f").read_bytes() == b"0123456789" and fault.nodes["/u/u"] == b"up"
    fault.size_reply = "550 Could not get file size."
    with pytest.raises(tree.TreeError) as failed:
        tree.upload_tree(tmp_path / "up", FaultPath("/v"))
    [(path, reason)] = failed.value.failures
    assert path == "/v/u" and "not confirmed: 2 bytes moved, but the server tells no size" in reason, reason


def test_download_sends_the_next_pasv_before_reading_a_transfers_replies(fault, tmp_path, monkeypatch):
    for name in "abcd":
        fault.add(f"/d/{name}", name.encode() * 10)
    wire = []
    put, get = ftplib.FTP.putline, ftplib.FTP.getline
    monkeypatch.setattr(ftplib.FTP, "putline", lambda self, line: wire.append(line) or put(self, line))
    monkeypatch.setattr(ftplib.FTP, "getline", lambda self: wire.append(line := get(self)) or line)

    def change_after_listing(progress):
        if progress.files_total and "/d/b" in fault.nodes:
            del fault.nodes["/d/b"]  # refused in the middle
            fault.nodes["/d/c"] = b"longer than listed"

    with pytest.raises(tree.TreeError) as failed:
        tree.download_tree(FaultPath("/d"), tmp_path / "d", connections=1, progress=change_after_listing)
    assert failed.value.failures == [("/d/b", "cannot read the file: 550 Failed to open file.")]
    got = {path.name: path.read_bytes() for path in (tmp_path / "d").iterdir()}
    assert got == {"a": b"a" * 10, "c": b"longer than listed", "d": b"d" * 10}  # and no part of b left
    start = wire.index("RETR /d/a")
    # Opening replies (150) may come before or after the data's end: left out.
    said = [line[:4].strip() if line[:1].isdigit() else line for line in wire[start:] if line[:1] != "1"]
    # LIST gives the minute: each file's exact time (MDTM) goes with the next PASV.
    assert said == ["RETR /d/a", "MDTM /d/a", "PASV", "226", "213", "227",
                    "RETR /d/b", "550",  # seen at once, though no data connection was taken
                    "PASV", "227", "RETR /d/c", "MDTM /d/c", "226", "213",
                    "SIZE /d/c", "213",  # 18 bytes where 10 were listed: the server's size agrees,
                    "PASV", "227",  # asked before the next PASV (some servers read nothing after one)
                    "RETR /d/d", "MDTM /d/d", "226", "213"], said  # the last file: nothing sent ahead


def test_download_passes_over_names_that_leave_the_folder_and_links_it_cannot_make(fault, tmp_path):
    # Each name that leaves would land in tmp_path if it were joined: nothing may.
    leaving = ["../victim", "a/../../victim", str(tmp_path / "absolute")]
    for name in ["/victim", "/d/a", "/d/ok", "/d/sub/f"]:
        fault.add(name, b"data")
    dot = "drwxr-xr-x 2 o g 0 Jan 02 03:04 ."
    fault.list_lines["/d"] = [dot, "-rw-r--r-- 1 o g 4 Jan 02 03:04 ok", "drwxr-xr-x 2 o g 0 Jan 02 03:04 sub",
                              "lrwxrwxrwx 1 o g 2 Jan 02 03:04 good -> ok",
                              "lrwxrwxrwx 1 o g 3 Jan 02 03:04 nul -> a\0b",
                              f"lrwxrwxrwx 1 o g 5000 Jan 02 03:04 long -> {'x' * 5000}",
                              "lrwxrwxrwx 1 o g 9 Jan 02 03:04 twice -> a -> b"]
    fault.list_lines["/d"] += [f"-rw-r--r-- 1 o g 4 Jan 02 03:04 {name}" for name in leaving]
    fault.list_lines["/d/sub"] = [dot, "-rw-r--r-- 1 o g 4 Jan 02 03:04 f", "-rw-r--r-- 1 o g 4 Jan 02 03:04 ../a"]
    copy = tmp_path / "a" / "b" / "copy"
    outcome = tree.download_tree(FaultPath("/d"), copy, connections=2)
    data = hashlib.sha256(b"data").hexdigest()
    assert on_disk(tmp_path) == {"a": "dir", "a/b": "dir", "a/b/copy": "dir", "a/b/copy/ok": data,
                                 "a/b/copy/good": "link -> ok", "a/b/copy/sub": "dir", "a/b/copy/sub/f": data}
    assert sorted(line for line in fault.log if line.startswith("RETR")) == ["RETR /d/ok", "RETR /d/sub/f"]
    leaves = [(path, why) for path, why in outcome.passed_over if why.startswith(tree.results.LEAVES_FOLDER)]
    assert sorted(path for path, _ in leaves) == ["/d"] * 3 + ["/d/sub"]
    assert {why.split(": ", 1)[1] for _, why in leaves} == {
        repr(f"-rw-r--r-- 1 o g 4 Jan 02 03:04 {name}") for name in leaving + ["../a"]}
    others = sorted((path, why.split(": ", 1)[0]) for path, why in outcome.passed_over if (path, why) not in leaves)
    assert others == [("/d", tree.results.AMBIGUOUS_LINK),
                      ("/d/long", "a symbolic link whose target is longer than a path can be on this system"),
                      ("/d/nul", "a symbolic link whose target holds NUL")]
    assert (outcome.files, outcome.directories) == (2, 1)  # directories made below the top
    # Keeping in step removes what the server does not have, but never what a
    # left-out line may name ("twice" or "twice -> a").
    for name in ("twice", "twice -> a", "gone"):
        (copy / name).write_bytes(b"mine")
    from dravlen.ftp.tree.sync import Rules

    tree.download_tree(FaultPath("/d"), copy, connections=1, rules=Rules(delete=True))
    assert sorted(p.name for p in copy.iterdir() if p.name.startswith(("twice", "gone"))) == ["twice", "twice -> a"]


def served(config_file, root, **options):
    """A delayserver and a RemotePath class bound to it through a section of its own."""
    from dravlen.ftp.remote import RemotePath

    srv = delayserver.start(root, **options)
    name = f"delayed-{root.parent.name}"
    servers.make_config(srv, config_file, name=name)
    srv.cls = type("Delayed", (RemotePath,), {"_section": (name,)})
    return srv


@pytest.fixture
def limited(tmp_path, config_file):
    """A server that takes 2 connections from an address (a 3rd gets 421)."""
    srv = served(config_file, tmp_path / "limited", delay=0, per_ip=2)
    yield srv
    Local.clear()
    srv.stop()


def test_421_means_fewer_connections_not_failure(limited, tmp_path):
    cls = limited.cls
    (tmp_path / "src").mkdir()
    for i in range(40):
        (tmp_path / "src" / f"f{i}").write_bytes(os.urandom(2000))
    assert tree.upload_tree(tmp_path / "src", cls("/t"), connections=4).files == 40
    assert tree.download_tree(cls("/t"), tmp_path / "back", connections=4).files == 40
    assert on_disk(tmp_path / "back") == on_disk(tmp_path / "src")
    assert tree.remove_tree(cls("/t"), connections=4).files == 40
    assert "421" in limited.log_tail(10_000)  # the limit was hit, and taken


@pytest.fixture
def slow(tmp_path, config_file):
    srv = served(config_file, tmp_path / "slow", delay=0.01)
    yield srv
    Local.clear()
    srv.stop()


def interrupt_after(files):
    fired = []

    def progress(p):
        if p.files_done >= files and not fired:
            fired.append(p)
            os.kill(os.getpid(), signal.SIGINT)

    return progress


def test_interrupted_then_resumed(slow, tmp_path):
    cls = slow.cls
    (tmp_path / "src").mkdir()
    for i in range(60):
        (tmp_path / "src" / f"f{i:02}").write_bytes(os.urandom(5000 + i))

    with pytest.raises(tree.Interrupted) as stopped:
        tree.upload_tree(tmp_path / "src", cls("/t"), connections=2, progress=interrupt_after(5),
                         temporary_names=True)
    done = stopped.value.progress.files_done
    assert 5 <= done < 60 and f"{done} of 60 files" in str(stopped.value)
    assert not [t for t in threading.enumerate() if t.name.startswith("dravlen-tree")]
    # Under its own name only once whole; what was being written is gone.
    there = {f.name: f.stat().st_size for f in (slow.root / "t").iterdir()}
    assert there == {n: (tmp_path / "src" / n).stat().st_size for n in there}, there
    log = slow.log_tail(100_000)  # stored aside, then renamed; never under its own name
    assert re.search(r"RNTO \S*/t/f\d\d ", log) and not re.search(r"STOR \S*/t/f\d\d ", log)
    resumed = tree.upload_tree(tmp_path / "src", cls("/t"), connections=2)
    assert resumed.skipped >= done and resumed.skipped + resumed.files == 60
    assert on_disk(slow.root / "t") == on_disk(tmp_path / "src")

    with pytest.raises(tree.Interrupted) as stopped:
        tree.download_tree(cls("/t"), tmp_path / "back", connections=2, progress=interrupt_after(5))
    done = stopped.value.progress.files_done
    names = os.listdir(tmp_path / "back")
    assert not [n for n in names if n.endswith(".dravlen-part")]  # nothing half-written
    assert len(names) >= done
    resumed = tree.download_tree(cls("/t"), tmp_path / "back", connections=2)
    assert resumed.skipped >= done and resumed.skipped + resumed.files == 60
    assert on_disk(tmp_path / "back") == on_disk(tmp_path / "src")


def test_remote_path_members(limited, tmp_path):
    cls = limited.cls
    (tmp_path / "src" / "d").mkdir(parents=True)
    (tmp_path / "src" / "d" / "f").write_bytes(b"f")
    seen = []
    assert cls("/m").upload_tree(tmp_path / "src", connections=2, progress=seen.append).files == 1
    assert seen[-1].files_done == seen[-1].files_total == 1
    assert cls("/m").download_tree(tmp_path / "back").files == 1
    assert (tmp_path / "back" / "d" / "f").read_bytes() == b"f"
    assert cls("/m").remove_tree().directories == 2
    assert not (limited.root / "m").exists()

    def broken(progress):
        raise RuntimeError("the caller's own bug")

    with pytest.raises(RuntimeError, match="own bug"):  # stops the work, raised as it is
        cls("/m").upload_tree(tmp_path / "src", progress=broken)


def test_upload_through_a_slow_control_path(tmp_path, config_file):
    # pyftpdlib takes a data connection at once and drops it when bytes (or
    # their end) come before the STOR is read: nothing may go before the 150.
    srv = served(config_file, tmp_path / "late", delay=0, late=0.05)
    try:
        (tmp_path / "src").mkdir()
        for i in range(6):
            (tmp_path / "src" / f"f{i}").write_bytes(os.urandom(300 + i))
        started = time.monotonic()
        assert tree.upload_tree(tmp_path / "src", srv.cls("/t"), connections=2).files == 6
        assert time.monotonic() - started < 20  # no transfer waited out a timeout
        assert on_disk(tmp_path / "late" / "t") == on_disk(tmp_path / "src")
    finally:
        Local.clear()
        srv.stop()


def test_a_coarse_listing_never_hides_an_edit(fault, tmp_path, monkeypatch):
    # LIST gives the server's wall clock to the minute (here UTC+9); its
    # zone is learnt from one MDTM, and where the minute cannot tell, the
    # exact time decides, both ways.
    from datetime import datetime, timedelta, timezone

    from dravlen.ftp.tree.sync import Rules

    from dravlen.ftp.wire.listing import list_dir

    local = tmp_path / "up"
    local.mkdir()
    (local / "f").write_bytes(b"new!!")
    minute = int(time.time()) // 60 * 60 - 60
    edited = minute + 30.5
    os.utime(local / "f", (edited, edited))
    uploaded = datetime.fromtimestamp(minute + 28, timezone.utc)  # the same minute
    wall = (uploaded + timedelta(hours=9)).strftime("%Y-%m-%d %H:%M")
    fault.add("/r/f", b"old!!")
    fault.list_lines["/r"] = [f"-rw-r--r-- 1 o g 5 {wall} f"]
    fault.mdtm_reply = "213 " + uploaded.strftime("%Y%m%d%H%M%S")
    tree.upload_tree(local, FaultPath("/r"), rules=Rules())
    assert fault.nodes["/r/f"] == b"new!!"  # edited 2 s after the upload: sent again
    assert sum(line.startswith("MDTM") for line in fault.log) == 2  # the zone once, the file once
    entry = list_dir(FaultPath("/r"))[0]
    assert entry.mtime == uploaded.replace(second=0) and entry.zone_slack == 0

    fault.mdtm_reply = "213 " + datetime.fromtimestamp(int(edited) + 1, timezone.utc).strftime("%Y%m%d%H%M%S")
    outcome = tree.upload_tree(local, FaultPath("/r"), rules=Rules())
    assert outcome.skipped == 1  # the server's copy is the later one
    # A download in step takes the exact time for its copy, and then knows it.
    fault.nodes["/r/f"] = b"srv!!"
    tree.download_tree(FaultPath("/r"), tmp_path / "down")
    assert (tmp_path / "down" / "f").read_bytes() == b"srv!!"
    assert (tmp_path / "down" / "f").stat().st_mtime == int(edited) + 1
    fault.nodes["/r/f"] = b"edit!"  # edited on the server in the same second: same size and time
    assert tree.download_tree(FaultPath("/r"), tmp_path / "down").skipped == 1
    fault.mdtm_reply = "213 " + datetime.fromtimestamp(int(edited) + 3, timezone.utc).strftime("%Y%m%d%H%M%S")
    tree.download_tree(FaultPath("/r"), tmp_path / "down")
    assert (tmp_path / "down" / "f").read_bytes() == b"edit!"


def test_upload_to_a_list_only_server_asks_sizes_together(fault, tmp_path, monkeypatch):
    for folder in "ab":
        (tmp_path / "up" / folder).mkdir(parents=True)
        for name in "xyz":
            (tmp_path / "up" / folder / name).write_bytes(name.encode() * 3)
    wire = []
    put = ftplib.FTP.putline
    monkeypatch.setattr(ftplib.FTP, "putline", lambda self, line: wire.append(line) or put(self, line))
    tree.upload_tree(tmp_path / "up", FaultPath("/u"), connections=1)
    assert {p: fault.nodes.get(p) for p in ("/u/a/z", "/u/b/x")} == {"/u/a/z": b"zzz", "/u/b/x": b"xxx"}
    sizes = [i for i, line in enumerate(wire) if line.startswith("SIZE ")]
    # Without a machine listing, the first folder's files are confirmed by SIZEs
    # sent together; from then on each SIZE takes the next file's PASV along.
    assert [wire[i] for i in sizes[:3]] == ["SIZE /u/a/x", "SIZE /u/a/y", "SIZE /u/a/z"]
    assert sizes[:3] == [sizes[0], sizes[0] + 1, sizes[0] + 2], wire
    assert [wire[i + 1] for i in sizes[3:5]] == ["PASV", "PASV"], wire


@pytest.mark.parametrize("banner", ["220 (vsFTPd 3.0.5)", "220 fault server ready"])
def test_an_uploads_confirmation_goes_with_its_end_only_where_the_server_waits(fault, tmp_path, monkeypatch,
                                                                                banner):
    # vsftpd reads no command while a transfer runs; elsewhere (pyftpdlib) a
    # PASV read during an upload would close its data connection.
    fault.banner = banner
    (tmp_path / "up").mkdir()
    for name in "xy":
        (tmp_path / "up" / name).write_bytes(name.encode() * 5)
    fault.add("/u/a", b"")  # the folder's first file goes alone: batched SIZEs are another path
    wire = []
    put, get = ftplib.FTP.putline, ftplib.FTP.getline
    monkeypatch.setattr(ftplib.FTP, "putline", lambda self, line: wire.append(line) or put(self, line))
    monkeypatch.setattr(ftplib.FTP, "getline", lambda self: wire.append(line := get(self)) or line)
    tree.upload_tree(tmp_path / "up", FaultPath("/u"), connections=1)
    assert (fault.nodes["/u/x"], fault.nodes["/u/y"]) == (b"xxxxx", b"yyyyy")
    last = wire.index("STOR /u/y")
    said = [line[:3] if line[:1].isdigit() else line for line in wire[last:] if line[:1] != "1"]
    early = banner.startswith("220 (vsFTPd")
    assert said[:4] == (["STOR /u/y", "SIZE /u/y", "226", "213"] if early else
                        ["STOR /u/y", "226", "SIZE /u/y", "213"]), wire
