"""`python -m dravlen.ftp`, run as a shell user would, against pyftpdlib.

The server's start directory is a local folder, so what a command did is
checked on disk, not through the code under test."""

from __future__ import annotations

import datetime
import fcntl
import os
import pty
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import time

import pytest

import servers
from faultserver import fault  # noqa: F401  (fixture)


@pytest.fixture(scope="module")
def srv(tmp_path_factory):
    server = servers.start("pyftpdlib", tmp_path_factory.mktemp("cli") / "folder")
    yield server
    server.stop()


@pytest.fixture
def config(srv, tmp_path):
    path = tmp_path / "dravlen.ini"
    servers.make_config(srv, path, "ftp")
    return path


@pytest.fixture
def folder(srv, tmp_path):
    """This test's own remote folder: its name, and where it is on disk."""
    (srv.root / tmp_path.name).mkdir()
    return f"/{tmp_path.name}", srv.root / tmp_path.name


def environ(config):
    env = {k: v for k, v in os.environ.items() if not k.startswith("DRAVLEN_")}
    return dict(env, DRAVLEN_CONFIG=str(config))


def cli(config, *args, env=None, input=b""):
    argv = [sys.executable, "-m", "dravlen.ftp", *map(str, args)]
    return subprocess.run(argv, env=dict(environ(config), **(env or {})), input=input,
                          capture_output=True, timeout=60)


def ok(config, *args):
    done = cli(config, *args)
    assert (done.returncode, done.stderr) == (0, b""), done
    return done.stdout.decode()


def make_tree(root):
    (root / "sub" / "deep").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "a.txt").write_bytes(b"one\r\n\x00\xff")
    (root / "sub" / "b.csv").write_bytes(b"b")
    (root / "sub" / "deep" / "c.csv").write_bytes(b"c" * 100_000)
    return root


def test_put_tree_then_read_it_back(config, folder, tmp_path):
    remote, disk = folder
    # ok() also checks that nothing reached stderr: it is no terminal here.
    ok(config, "put", make_tree(tmp_path / "tree"), f"{remote}/t")
    assert (disk / "t" / "a.txt").read_bytes() == b"one\r\n\x00\xff"
    assert (disk / "t" / "sub" / "deep" / "c.csv").read_bytes() == b"c" * 100_000
    assert (disk / "t" / "empty").is_dir()

    assert ok(config, "ls", f"{remote}/t") == "a.txt\nempty\nsub\n"
    assert ok(config, "ls", "-F", f"{remote}/t") == "a.txt\nempty/\nsub/\n"
    assert ok(config, "ls", f"{remote}/t/*/*.csv") == f"{remote}/t/sub/b.csv\n"  # matched here
    assert ok(config, "ls", f"{remote}/t/a.txt") == f"{remote}/t/a.txt\n"
    assert cli(config, "cat", f"{remote}/t/a.txt").stdout == b"one\r\n\x00\xff"

    lines = ok(config, "stat", f"{remote}/t/a.txt").splitlines()
    assert lines[:3] == [f"path: {remote}/t/a.txt", "exists: yes", "kind: file"]
    when = datetime.datetime.fromisoformat(lines[3].removeprefix("mtime: "))
    assert when.timestamp() == int((disk / "t" / "a.txt").stat().st_mtime)  # aware UTC, not shifted
    assert lines[4] == "size: 7"
    lines = ok(config, "stat", f"{remote}/t").splitlines()
    assert lines[2] == "kind: directory" and lines[3] != "mtime: unknown"

    ok(config, "put", tmp_path / "tree" / "a.txt", f"{remote}/t/sub/")  # into the directory
    assert (disk / "t" / "sub" / "a.txt").read_bytes() == b"one\r\n\x00\xff"


def test_cat_get_ls_long_and_mv(config, folder, tmp_path):
    remote, disk = folder
    make_tree(disk / "t")
    (disk / "t" / " pad ").write_bytes(b"12")
    os.utime(disk / "t" / " pad ", (1_700_000_000, 1_700_000_000))
    os.symlink("sub", disk / "t" / "ln")

    assert cli(config, "cat", f"{remote}/t/sub/deep/c.csv").stdout == b"c" * 100_000
    ok(config, "get", f"{remote}/t/a.txt", tmp_path / "a.copy")
    assert (tmp_path / "a.copy").read_bytes() == b"one\r\n\x00\xff"
    ok(config, "get", f"{remote}/t/sub/b.csv", tmp_path)  # into the directory
    assert (tmp_path / "b.csv").read_bytes() == b"b"
    # A single get asks nothing before it reads (what lftp sends), and keeps the time.
    traced = cli(config, "-v", "get", f"{remote}/t/ pad ", tmp_path / "pad")
    sent = [line.split(b" ", 2)[2] for line in traced.stderr.splitlines() if line.startswith(b"---> ")]
    where = f"{remote}/t/ pad ".encode()
    assert sent[2:7] == [b"TYPE I", b"SIZE " + where, b"MDTM " + where, b"PASV", b"RETR " + where], sent
    assert os.stat(tmp_path / "pad").st_mtime == 1_700_000_000

    lines = ok(config, "ls", "-l", f"{remote}/t").splitlines()
    # pyftpdlib's MLSD tells sizes and times to the second, and follows links
    assert lines == [
        "file             2 2023-11-14 22:13:20  pad ",
        "file             7 " + lines[1][19:38] + " a.txt",
        "dir              - " + lines[2][19:38] + " empty",
        "dir              - " + lines[3][19:38] + " ln",
        "dir              - " + lines[4][19:38] + " sub",
    ]
    datetime.datetime.strptime(lines[1][19:38], "%Y-%m-%d %H:%M:%S")
    assert ok(config, "ls", "-l", f"{remote}/t/*.txt") == lines[1].replace(" a.txt", f" {remote}/t/a.txt\n")
    assert ok(config, "ls", "-l", f"{remote}/t/a.txt").endswith(f" {remote}/t/a.txt\n")

    ok(config, "mv", f"{remote}/t/a.txt", f"{remote}/t/sub/")
    ok(config, "mv", f"{remote}/t/sub", f"{remote}/t/moved")
    assert (disk / "t" / "moved" / "a.txt").read_bytes() == b"one\r\n\x00\xff"
    assert not (disk / "t" / "sub").exists()


def test_mkdir_and_rm(config, folder):
    remote, disk = folder
    ok(config, "mkdir", f"{remote}/x/y/z")
    assert (disk / "x" / "y" / "z").is_dir()
    (disk / "x" / "f").write_bytes(b"f")
    assert cli(config, "rm", f"{remote}/x").returncode == 1
    assert (disk / "x" / "y" / "z").is_dir()  # a directory needs -r, as with rm
    ok(config, "rm", f"{remote}/x/f")
    assert not (disk / "x" / "f").exists()
    ok(config, "rm", "-r", f"{remote}/x")
    assert not (disk / "x").exists()


@pytest.mark.parametrize("args, subject, reason", [
    (["cat", "{r}/nope"], "{r}/nope", "No such file or directory"),
    (["cat", "{r}"], "{r}", "Is a directory"),
    (["ls", "{r}/nope"], "{r}/nope", "No such file or directory"),
    (["ls", "{r}/file/*"], "{r}/file", "Not a directory"),  # a pattern needs a directory
    (["ls", "{r}/*.nope"], "{r}/*.nope", "no match"),
    (["stat", "{r}/nope"], "{r}/nope", "No such file or directory"),
    (["rm", "{r}/nope"], "{r}/nope", "No such file or directory"),
    (["rm", "{r}"], "{r}", "Is a directory (use -r)"),
    (["rm", "-r", "/"], "/", "refusing to remove a top or parent directory"),
    (["mkdir", "{r}/file"], "{r}/file", "File exists"),
    (["put", "{l}/missing", "{r}/x"], "{l}/missing", "No such file or directory"),
    (["get", "{r}/nope", "{l}/x"], "{r}/nope", "No such file or directory"),
    (["get", "{r}", "{l}/x"], "{r}", "Is a directory (use -r)"),
    (["get", "{r}/file", "{l}/no dir/x"], "{l}/no dir", "No such file or directory"),
    (["ls", "-l", "{r}/nope"], "{r}/nope", "No such file or directory"),
    (["ls", "-l", "{r}/file/*"], "{r}/file", "Not a directory"),
    (["mv", "{r}/nope", "{r}/x"], "{r}/nope", "No such file or directory"),
])
def test_failures_exit_1_with_one_line(srv, config, folder, tmp_path, args, subject, reason):
    remote, disk = folder
    (disk / "file").write_bytes(b"kept")
    fill = lambda s: s.format(r=remote, l=tmp_path)  # noqa: E731
    done = cli(config, *map(fill, args))
    assert done.returncode == 1
    on = "" if subject.startswith("{l}") else f" (on ftp://{srv.user}@{srv.host}:{srv.port})"
    assert done.stderr.decode() == f"dravlen: {fill(subject)}: {reason}{on}\n"
    assert not list(tmp_path.glob("*x*"))  # nothing downloaded, not even in part
    assert (disk / "file").read_bytes() == b"kept"
    if args[0] == "stat":
        assert done.stdout.decode() == f"path: {fill(subject)}\nexists: no\n"


def test_sections_and_connection_errors(srv, folder, tmp_path):
    remote, disk = folder
    (disk / "f").write_bytes(b"via backup")
    with socket.socket() as unused:  # bound, never listening: refuses connections
        unused.bind(("127.0.0.1", 0))
        path = tmp_path / "two.ini"
        port = unused.getsockname()[1]
        path.write_text(f"[ftp]\nhost = 127.0.0.1\nport = {port}\n")
        servers.make_config(srv, path, "backup")
        assert cli(path, "--section", "backup", "cat", f"{remote}/f").stdout == b"via backup"
        assert cli(path, "cat", "--section", "backup", f"{remote}/f").stdout == b"via backup"
        refused = cli(path, "cat", f"{remote}/f")
    assert refused.returncode == 1
    assert refused.stderr == f"dravlen: {remote}/f: ftp://anonymous@127.0.0.1:{port} refused the connection\n".encode()
    missing = cli(path, "--section", "nosuch", "ls", "/")
    assert missing.returncode == 1
    assert missing.stderr.startswith(b"dravlen: dravlen configuration [nosuch] has no host")
    assert b"Traceback" not in refused.stderr + missing.stderr


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["cat"], ["rm", "-x", "/a"],
                                  ["put", "a"], ["ls", "--section", "", "/"]])
def test_usage_errors_exit_2(config, args):
    done = cli(config, *args)
    assert done.returncode == 2 and b"usage:" in done.stderr


@pytest.mark.parametrize("command", [[], ["ls"], ["stat"], ["cat"], ["get"], ["put"], ["mv"], ["rm"], ["mkdir"]])
def test_help(config, command):
    assert "usage: python -m dravlen.ftp" in ok(config, *command, "--help")


def _read_terminal(proc, master, slave):
    """What *proc* wrote on the terminal whose sides are *master* and *slave*,
    until it closed it or ended (60 s at most); the child is ended after."""
    os.close(slave)
    shown, deadline = b"", time.monotonic() + 60
    while time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the child closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        elif proc.poll() is not None:
            break
    os.close(master)
    if proc.poll() is None:
        proc.kill()
    return shown


def on_terminal(config, *args, columns=0):
    """Run the command line with stderr on a terminal (of *columns*, if given):
    its status and what it showed there."""
    argv = [sys.executable, "-m", "dravlen.ftp", *map(str, args)]
    master, slave = pty.openpty()
    if columns:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen(argv, env=environ(config), stdout=subprocess.PIPE, stderr=slave)
    shown = _read_terminal(proc, master, slave)
    assert proc.wait(10) == 0 and proc.stdout.read() == b""
    # The last frame of the bar.
    return shown.decode().replace("\r\n", "\n").split("\r")[-1]


def test_progress_on_a_terminal(config, folder, tmp_path):
    remote, disk = folder
    last = on_terminal(config, "put", make_tree(tmp_path / "tree"), f"{remote}/t")
    # Every byte (100,005 of them) and every file.
    assert last.startswith("put: 100%") and last.endswith("3/3 files]\n"), last
    assert "97.7k/97.7k" in last, last
    assert (disk / "t" / "sub" / "deep" / "c.csv").stat().st_size == 100_000
    last = on_terminal(config, "get", f"{remote}/t/sub/deep/c.csv", tmp_path / "c.copy")
    assert last.startswith("c.csv: 100%") and "97.7k/97.7k" in last, last
    assert (tmp_path / "c.copy").stat().st_size == 100_000
    # Narrow: every frame fits; a second put names what it skipped; rm -r counts files.
    for args, words in ((["put", tmp_path / "tree", f"{remote}/t"], "3/3 files, 3 skipped"),
                        (["rm", "-r", f"{remote}/t"], "| 3/3 files")):
        last = on_terminal(config, *args, columns=60)
        assert last.splitlines()[0].endswith(words) and max(map(len, last.splitlines())) <= 60, last


def test_get_r_and_rm_r(srv, config, folder, tmp_path):
    remote, disk = folder
    make_tree(disk / "t")
    (disk / "t" / "sub" / "bad\nname").write_bytes(b"x")  # its listing line is cut in two
    done = cli(config, "get", "-r", "-j", "2", f"{remote}/t", tmp_path / "back")
    assert done.returncode == 1
    lines = done.stderr.decode().splitlines()
    assert lines == [f"dravlen: {remote}/t/sub: the server listed a line in no known format: 'name'",
                     f"dravlen: 1 failed on ftp://{srv.user}@{srv.host}:{srv.port}; 1 of 1 files, 7 B of 7 B done"]
    assert (tmp_path / "back" / "a.txt").read_bytes() == b"one\r\n\x00\xff"  # the rest came
    assert (tmp_path / "back" / "empty").is_dir()
    assert os.listdir(tmp_path / "back" / "sub") == []

    assert cli(config, "get", f"{remote}/t", tmp_path).stderr.decode() == \
        f"dravlen: {remote}/t: Is a directory (use -r) (on ftp://{srv.user}@{srv.host}:{srv.port})\n"
    ok(config, "get", f"{remote}/t/a.txt", tmp_path)  # into the directory, by its name
    assert (tmp_path / "a.txt").read_bytes() == b"one\r\n\x00\xff"

    (disk / "t" / "sub" / "bad\nname").unlink()
    ok(config, "rm", "-r", "-j", "3", f"{remote}/t")
    assert not (disk / "t").exists()
    assert cli(config, "rm", "-r", f"{remote}/t").stderr.decode() == \
        f"dravlen: {remote}/t: No such file or directory (on ftp://{srv.user}@{srv.host}:{srv.port})\n"
    assert cli(config, "put", "-j", "0", tmp_path, f"{remote}/x").returncode == 2


def test_ctrl_c_says_how_far_it_got(tmp_path):
    import delayserver

    srv = delayserver.start(tmp_path / "slow", delay=0.02)
    try:
        path = tmp_path / "slow.ini"
        servers.make_config(srv, path, "ftp")
        (tmp_path / "src").mkdir()
        for i in range(300):
            (tmp_path / "src" / f"f{i}").write_bytes(b"x" * 1000)
        argv = [sys.executable, "-m", "dravlen.ftp", "put", "-j", "2", tmp_path / "src", "/t"]
        proc = subprocess.Popen(argv, env=environ(path), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len(os.listdir(srv.root / "t") if (srv.root / "t").exists() else []) < 5:
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        assert proc.returncode == 130, err
        assert err.decode().startswith("dravlen: upload of ") and "interrupted after" in err.decode()
        assert len(os.listdir(srv.root / "t")) < 300
    finally:
        srv.stop()


def test_a_server_named_by_url(srv, folder, tmp_path):
    remote, disk = folder
    (disk / "f").write_bytes(b"via url")
    empty = tmp_path / "empty.ini"  # no [ftp] section: the URL is all there is
    empty.write_text("")
    url = f"ftp://{srv.user}:{srv.password}@{srv.host}:{srv.port}/"
    assert cli(empty, "--url", url, "cat", f"{remote}/f").stdout == b"via url"
    wrong = cli(empty, "--url", url.replace(srv.password, "wrong"), "cat", f"{remote}/f")
    assert wrong.returncode == 1 and b"refused the login" in wrong.stderr and b"wrong" not in wrong.stderr
    bad = cli(empty, "--url", "http://h/", "ls", "/")
    assert bad.returncode == 2 and b"not an ftp:// or ftps:// URL" in bad.stderr


def test_unix_habits(srv, config, folder, tmp_path):
    remote, disk = folder
    make_tree(disk / "t")
    (disk / "t" / ".hidden").write_bytes(b"h" * 2048)
    (disk / "t" / "sub" / "c.csv").write_bytes(b"cc")

    assert ok(config, "ls", f"{remote}/t") == "a.txt\nempty\nsub\n"  # no dot names without -a
    assert ok(config, "ls", "-la", f"{remote}/t").splitlines()[0].startswith("file          2048 ")
    assert ok(config, "ls", "-lh", f"{remote}/t/.hidden").startswith("file          2.0K ")
    # Several operands, wildcards in any component: files first, then each folder.
    assert ok(config, "ls", f"{remote}/t/s*/*.csv", f"{remote}/t/empty") == \
        f"{remote}/t/sub/b.csv\n{remote}/t/sub/c.csv\n\n{remote}/t/empty:\n"
    assert ok(config, "cat", f"{remote}/t/sub/*.csv", f"{remote}/t/sub/b.csv") == "bccb"
    assert ok(config, "get", f"{remote}/t/sub/b.csv", "-") == "b"
    ok(config, "get", f"{remote}/t/sub/?.csv", tmp_path)
    assert (tmp_path / "b.csv").read_bytes() == b"b" and (tmp_path / "c.csv").read_bytes() == b"cc"
    done = cli(config, "put", "-", f"{remote}/new/from-stdin", input=b"piped\x00")
    assert done.returncode == 0, done
    assert (disk / "new" / "from-stdin").read_bytes() == b"piped\x00"

    # Options after the command; -rf ignores what is missing, removes the rest.
    ok(config, "rm", "-rf", f"{remote}/t/sub", f"{remote}/none", f"{remote}/*.none")
    assert not (disk / "t" / "sub").exists() and (disk / "t" / "a.txt").exists()
    partly = cli(config, "rm", f"{remote}/none", f"{remote}/t/a.txt")
    assert partly.returncode == 1 and not (disk / "t" / "a.txt").exists()  # the others still run
    assert partly.stderr.decode().startswith(f"dravlen: {remote}/none: No such file or directory")

    version = ok(config, "--version")
    assert version.startswith("python -m dravlen.ftp ") and version.strip().split()[-1][0].isdigit()
    # It needs only the parser: nothing of the verbs, their servers or the tree engine loads.
    timed = subprocess.run([sys.executable, "-X", "importtime", "-m", "dravlen.ftp", "--version"],
                           env=environ(config), capture_output=True, text=True, timeout=60, check=True)
    loaded = {line.rsplit("|", 1)[-1].strip() for line in timed.stderr.splitlines()}
    assert timed.stdout == version and "dravlen.ftp" in loaded, timed.stderr
    assert not loaded & {"dravlen.ftp.cli.verbs", "dravlen.ftp.remote", "dravlen.ftp.tree", "ftplib", "tqdm"}
    from importlib.metadata import entry_points

    (script,) = entry_points(group="console_scripts", name="dravlen")
    assert script.value == "dravlen.ftp.cli:run"
    names = subprocess.run([sys.executable, "-c", "import dravlen.ftp; print(*dir(dravlen.ftp))"],
                           capture_output=True, text=True, check=True).stdout.split()
    assert {"RemotePath", "server"} <= set(names)  # before first use, for completion


def test_urls_credentials_and_verbose(srv, folder, tmp_path):
    remote, disk = folder
    (disk / "f").write_bytes(b"via url")
    empty = tmp_path / "empty.ini"  # no [ftp] section: the URLs are all there is
    empty.write_text("")
    where = f"{srv.host}:{srv.port}"
    full = f"ftp://{srv.user}:{srv.password}@{where}"
    assert cli(empty, "cat", f"{full}/%2F{remote[1:]}/f").stdout == b"via url"
    # --url with a path: relative paths start there; given after the command too.
    assert cli(empty, "cat", "f", "--url", f"{full}/%2F{remote[1:]}").stdout == b"via url"
    # A URL of another server than --url's is that server's.
    other = cli(empty, "--url", "ftp://127.0.0.1:9/", "cat", f"{full}/%2F{remote[1:]}/f")
    assert other.stdout == b"via url", other

    bare = f"ftp://{srv.user}@{where}/%2F{remote[1:]}/f"  # no password in the URL
    # [ftp] names no host: its password is for --url's host, which bare names too.
    from_env = cli(empty, "-v", "--url", f"ftp://{srv.user}@{where}/", "cat", bare,
                   env={"DRAVLEN_FTP_PASSWORD": srv.password})
    assert from_env.stdout == b"via url", from_env
    assert b"---> " + srv.host.encode() + b" PASS ***\n" in from_env.stderr
    assert b"<--- " + srv.host.encode() + b" 226" in from_env.stderr
    home = tmp_path / "home"
    home.mkdir()
    (home / ".netrc").write_text(f"machine {srv.host} login {srv.user} password {srv.password}\n")
    (home / ".netrc").chmod(0o600)
    for url in (bare, bare.replace(f"{srv.user}@", "")):  # the user may come from .netrc too
        assert cli(empty, "cat", url, env={"HOME": str(home)}).stdout == b"via url"
    nowhere = cli(empty, "cat", bare, env={"HOME": str(tmp_path)})
    assert nowhere.returncode == 1 and b"refused the login" in nowhere.stderr

    bad = [cli(empty, *args) for args in (["ls", "http://h/x"], ["ls", "ftp://h:99999/"],
                                          ["ls", "--url", "ftp://u:secret@h:0x/"])]
    assert [done.returncode for done in bad] == [1, 1, 2]
    traced = cli(empty, "--debug", "cat", f"{full}/%2F{remote[1:]}/nope")
    assert traced.returncode == 1 and b"Traceback" in traced.stderr  # only with --debug
    for done in [other, from_env, nowhere, *bad]:
        assert b"Traceback" not in done.stderr and srv.password.encode() not in done.stderr
        assert b"secret" not in done.stderr and b"server()" not in done.stderr


def test_password_asked_on_a_terminal(srv, folder, tmp_path):
    remote, disk = folder
    (disk / "f").write_bytes(b"asked")
    empty = tmp_path / "empty.ini"
    empty.write_text("")
    url = f"ftp://{srv.user}@{srv.host}:{srv.port}/%2F{remote[1:]}/f"

    def own_terminal():  # the pty becomes the child's terminal, which getpass opens
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "dravlen.ftp", "cat", url], stdin=slave,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=own_terminal,
                            env=dict(environ(empty), HOME=str(tmp_path)))
    os.close(slave)
    try:
        seen, deadline = b"", time.monotonic() + 30
        while b"Password for" not in seen and time.monotonic() < deadline:
            if select.select([master], [], [], 0.5)[0]:
                seen += os.read(master, 1024)
        os.write(master, srv.password.encode() + b"\n")
        out, err = proc.communicate(timeout=30)
        if select.select([master], [], [], 0.2)[0]:
            seen += os.read(master, 1024)
    finally:
        os.close(master)
    assert (proc.returncode, out) == (0, b"asked"), err
    assert f"Password for ftp://{srv.user}@{srv.host}:{srv.port}: ".encode() in seen
    assert srv.password.encode() not in seen + err  # not echoed


def test_times_and_messages_on_every_server(server, home, tmp_path):
    config = tmp_path / "dravlen.ini"
    servers.make_config(server, config, "ftp")
    # An hour ago, on the minute: every server's listing tells it exactly.
    when = (int(time.time()) // 60 - 60) * 60
    (home.path / "d").mkdir()
    (home.path / "d" / "f.txt").write_bytes(b"12345")
    os.utime(home.path / "d" / "f.txt", (when, when))
    os.utime(home.path / "d", (when, when))
    stamp = datetime.datetime.fromtimestamp(when, datetime.timezone.utc).isoformat(sep=" ")

    lines = ok(config, "stat", f"{home.remote}/d/f.txt", f"{home.remote}/d").splitlines()
    assert lines[2:5] == ["kind: file", f"mtime: {stamp}", "size: 5"], lines
    assert lines[7:9] == ["kind: directory", f"mtime: {stamp}"], lines
    assert stamp[:19] in ok(config, "ls", "-l", f"{home.remote}/d")
    assert ok(config, "ls", f"{home.remote}/?/*.t[x]t") == f"{home.remote}/d/f.txt\n"

    ok(config, "get", f"{home.remote}/d/f.txt", tmp_path)
    assert os.stat(tmp_path / "f.txt").st_mtime == when  # the server's time kept
    # A file onto a folder's name: what could not be done, then the reply.
    done = cli(config, "put", tmp_path / "f.txt", f"{home.remote}/d")
    first = done.stderr.decode().splitlines()[0]
    assert done.returncode == 1 and first.startswith(f"dravlen: {home.remote}/d: cannot "), done
    assert b"Traceback" not in done.stderr


def fault_config(fault, tmp_path):
    """An [ftp] section naming the fault server (in this process, on loopback)."""
    path = tmp_path / "fault.ini"
    path.write_text(f"[ftp]\nhost = {fault.host}\nport = {fault.port}\nuser = {fault.user}\n"
                    f"password = {fault.password}\ntimeout = 10\n")
    return path


def test_get_r_and_sync_count_names_that_leave_the_folder(fault, tmp_path):
    for name in ["/victim", "/d/ok", "/d/sub/f"]:
        fault.add(name, b"data")
    dot = "drwxr-xr-x 2 o g 0 Jan 02 03:04 ."
    fault.list_lines["/d"] = [dot, "-rw-r--r-- 1 o g 4 Jan 02 03:04 ok", "drwxr-xr-x 2 o g 0 Jan 02 03:04 sub",
                              "lrwxrwxrwx 1 o g 3 Jan 02 03:04 nul -> a\0b"]
    # Each would land beside the copy, in tmp_path, if it were joined.
    fault.list_lines["/d"] += [f"-rw-r--r-- 1 o g 4 Jan 02 03:04 {name}"
                               for name in ("../victim", str(tmp_path / "absolute"), "a/../../victim")]
    fault.list_lines["/d/sub"] = [dot, "-rw-r--r-- 1 o g 4 Jan 02 03:04 f", "-rw-r--r-- 1 o g 4 Jan 02 03:04 ../f"]
    config = fault_config(fault, tmp_path)
    for verb, args in (("get", ["get", "-r", "/d"]), ("sync", ["sync", ":/d"])):
        done = cli(config, *args, tmp_path / verb)
        err = done.stderr.decode().splitlines()
        # A folder holds no such name: not a failure, but counted, as special files are.
        assert done.returncode == 0, err
        assert err[-2:] == [f"{verb}: skipped 4 entries whose names leave the folder",
                            f"{verb}: skipped /d/nul: a symbolic link whose target holds NUL"], err
        assert sum(line.startswith("dravlen: warning: '/d") for line in err) == 4, err  # each line named
        made = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.name != "fault.ini")
        assert made == sorted([verb, f"{verb}/ok", f"{verb}/sub", f"{verb}/sub/f"] + (["get", "get/ok", "get/sub",
                              "get/sub/f"] if verb == "sync" else [])), made
    # Nothing to say, nothing said.
    del fault.list_lines["/d"], fault.list_lines["/d/sub"]
    assert ok(config, "get", "-r", "/d/sub", tmp_path / "clean") == ""


def on_stdout(config, *args, terminal):
    """Status and stdout of the command line with stdout on a terminal (read
    through its other side, line ends as written) or on a pipe."""
    argv = [sys.executable, "-m", "dravlen.ftp", *map(str, args)]
    if not terminal:
        done = subprocess.run(argv, env=environ(config), capture_output=True, timeout=60)
        return done.returncode, done.stdout
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.ONLCR  # no \r added to each line
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    proc = subprocess.Popen(argv, env=environ(config), stdout=slave, stderr=subprocess.DEVNULL)
    shown = _read_terminal(proc, master, slave)
    return proc.wait(10), shown


def test_names_reach_a_terminal_escaped_and_a_pipe_as_they_are(fault, tmp_path):
    names = ["\x1b[2Jclear", "caf\udce9", "t\x1b]0;TITLE\x07x"]
    for name in names:
        fault.add(f"/d/{name}", b"data")
    fault.list_lines["/d"] = ["drwxr-xr-x 2 o g 0 Jan 02 03:04 .", "lrwxrwxrwx 1 o g 8 Jan 02 03:04 ln -> \x1b[31mred"]
    fault.list_lines["/d"] += [f"-rw-r--r-- 1 o g 4 Jan 02 03:04 {name}" for name in names]
    config = fault_config(fault, tmp_path)
    raw = [name.encode("utf-8", "surrogateescape") for name in names]
    escaped = [b"\\x1b[2Jclear", b"caf\\xe9", b"t\\x1b]0;TITLE\\x07x"]
    local = str(tmp_path / "here").encode()
    for shown_names, terminal in ((escaped, True), (raw, False)):
        red = b"\\x1b[31mred" if terminal else b"\x1b[31mred"
        assert on_stdout(config, "ls", "/d", terminal=terminal) == (
            0, b"".join(n + b"\n" for n in [shown_names[0], shown_names[1], b"ln", shown_names[2]]))
        status, listed = on_stdout(config, "ls", "-l", "/d", terminal=terminal)
        ends = [b" " + shown_names[0], b" " + shown_names[1], b" ln -> " + red, b" " + shown_names[2]]
        lines = listed.split(b"\n")
        assert status == 0 and len(lines) == 5 and all(map(bytes.endswith, lines, ends)), listed
        assert on_stdout(config, "ls", "/d/t*", terminal=terminal) == (0, b"/d/" + shown_names[2] + b"\n")
        status, told = on_stdout(config, "stat", "/d/t*", terminal=terminal)
        assert status == 0 and told.startswith(b"path: /d/" + shown_names[2] + b"\nexists: yes\n")
        status, planned = on_stdout(config, "sync", "-n", ":/d", tmp_path / "here", terminal=terminal)
        assert status == 0 and planned.splitlines() == [b"make directory " + local] + [
            b"download " + local + b"/" + n for n in shown_names[:2]] + [
            b"link " + local + b"/ln", b"download " + local + b"/" + shown_names[2]]
        # Not one escape sequence reaches the terminal.
        assert (b"\x1b" in listed + told + planned) is not terminal


def test_connection_flags_reach_every_server(tmp_path, certs, monkeypatch):
    from dravlen.ftp.cli.command import build_parser, settings_given
    from dravlen.ftp.cli.servers import Servers
    from dravlen.ftp.settings import OPTIONS, ftp_settings

    missing = sorted({"pasv", "proxy", "certfile", "keyfile"} - set(OPTIONS))
    if missing:
        pytest.skip(f"no setting {', '.join(missing)} yet for its option")
    config = tmp_path / "dravlen.ini"
    config.write_text("[ftp]\nhost = 127.0.0.9\nuser = alice\npassword = s3cret\ntls = true\nmaxreply = 4096\n")
    monkeypatch.setenv("DRAVLEN_CONFIG", str(config))

    def settings(*argv):
        # The section's server, a URL of its host (its password lent), a URL of another.
        args = build_parser().parse_args([*map(str, argv), "ls"])
        servers = Servers(args.section, args.url, settings_given(args))
        paths = ["a", "ftps://alice@127.0.0.9/b", "ftps://bob:pw@127.0.0.8/c"]
        return [ftp_settings(servers.path(path)._section[0]) for path in paths]

    proxy = "socks5://127.0.0.1:1080"
    given = settings("--proxy", proxy, "--certfile", certs.cert, "--keyfile", certs.key)
    assert [(s.proxy, s.certfile, s.keyfile, s.pasv) for s in given] == [
        (proxy, str(certs.cert), str(certs.key), True)] * 3
    assert [(s.user, s.password) for s in given] == [("alice", "s3cret")] * 2 + [("bob", "pw")]
    assert given[0].maxreply == 4096 and given[0].host == "127.0.0.9"
    assert [s.pasv for s in settings("--active")] == [False] * 3
    assert [s.pasv for s in settings()] == [True] * 3
