"""Where a login's password goes: one kept in configuration or ~/.netrc
reaches only the host it was given for, through server(), the fsspec
filesystem and the command line alike.  Two fault servers on two loopback
addresses stand for that host (A) and another one (B); their logs show
every USER and PASS line each received."""

from __future__ import annotations

import os
import subprocess
import sys

import fsspec
import pytest

from faultserver import FaultServer
from dravlen.base import Local
from dravlen.ftp import server

SECRET = "secret-of-alice-on-a"
# ftplib's password for anonymous; B takes no other.
ANONYMOUS = ["USER anonymous", "PASS anonymous@"]


@pytest.fixture
def hosts(tmp_path, monkeypatch):
    """A (127.0.0.9), where alice's password is SECRET, and B (127.0.0.10),
    which lets anonymous in; each has /dir/f.  HOME is the test's own folder
    and no DRAVLEN_ variable is left."""
    a, b = FaultServer("127.0.0.9"), FaultServer("127.0.0.10")
    a.password, b.password = SECRET, ANONYMOUS[1][5:]
    for srv in (a, b):
        srv.add("/dir/f", b"x")
    for name in [name for name in os.environ if name.startswith("DRAVLEN_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("HOME", str(tmp_path))
    Local.clear()
    yield a, b
    Local.clear()
    a.stop()
    b.stop()


def logins(srv):
    return [line for line in srv.log if line[:5].upper() in ("USER ", "PASS ")]


def url(srv, user=None, path=""):
    return f"ftp://{user + '@' if user else ''}{srv.host}:{srv.port}/{path}"


def write(path, text, mode=0o644):
    path.write_text(text)
    path.chmod(mode)
    return path


def listed_by_server(srv, user):
    return sorted(p.name for p in server(url(srv, user), timeout=2)("dir").iterdir())


def listed_by_filesystem(srv, user):
    fs, path = fsspec.core.url_to_fs(url(srv, user, "dir").replace("ftp://", "dftp://"), timeout=2)
    return sorted(name.rsplit("/", 1)[-1] for name in fs.ls(path, detail=False))


@pytest.mark.parametrize("listed", [listed_by_server, listed_by_filesystem], ids=["server", "filesystem"])
def test_a_kept_password_reaches_only_its_own_host(hosts, tmp_path, monkeypatch, listed):
    a, b = hosts
    # A section and a .netrc entry for A; the default entry names no machine.
    monkeypatch.setenv("DRAVLEN_CONFIG", str(write(
        tmp_path / "d.ini", f"[ftp]\nhost = {a.host}\nport = {a.port}\nuser = alice\npassword = {SECRET}\n")))
    write(tmp_path / ".netrc", f"machine {a.host} login alice password {SECRET}\n"
                               f"default login alice password {SECRET}\n", 0o600)

    assert listed(a, None) == ["f"]  # .netrc's user and password
    assert listed(b, None) == ["f"]
    for srv, user in ((b, "alice"), (a, "carol")):  # carol is not .netrc's user for A
        with pytest.raises(PermissionError, match="refused the login"):
            listed(srv, user)
    assert logins(a) == ["USER alice", f"PASS {SECRET}", "USER carol", "PASS "]
    assert logins(b) == [*ANONYMOUS, "USER alice", "PASS "]


def test_the_command_line_gives_a_section_s_password_to_its_host_only(hosts, tmp_path):
    a, b = hosts
    placed = write(tmp_path / "placed.ini", f"[ftp]\nhost = {a.host}\nport = {a.port}\nuser = alice\n"
                                            f"[backup]\nhost = {a.host}\nport = {a.port}\nuser = alice\n"
                                            f"password = {SECRET}\n")
    hostless = write(tmp_path / "hostless.ini", "[ftp]\ntimeout = 5\n")
    over_tls = write(tmp_path / "tls.ini", f"[ftp]\nhost = {a.host}\nport = {a.port}\nuser = alice\n"
                                           f"password = {SECRET}\ntls = true\n")
    in_env = {"DRAVLEN_FTP_PASSWORD": SECRET}
    alice = ["USER alice", f"PASS {SECRET}"]
    cases = [
        # config, environment, arguments, exit status, what A received, what B received
        (placed, in_env, ["ls", url(b, None, "dir")], 0, [], ANONYMOUS),
        (placed, in_env, ["ls", url(b, "alice", "dir")], 1, [], ["USER alice", "PASS "]),
        (placed, in_env, ["ls", url(a, None, "dir")], 0, alice, []),
        (placed, {}, ["--section", "backup", "ls", "dir", url(b, None, "dir")], 0, alice, ANONYMOUS),
        # A section without a host gives its password to --url's host, not to another.
        (hostless, in_env, ["--url", url(a, "alice"), "ls", "dir", url(b, None, "dir")], 0, alice, ANONYMOUS),
        (hostless, in_env, ["ls", url(b, "alice", "dir")], 1, [], ["USER alice", "PASS "]),
        # A password kept for TLS never goes over a plain connection to the same host.
        (over_tls, {}, ["ls", url(a, "alice", "dir")], 1, ["USER alice", "PASS "], []),
    ]
    base = {name: value for name, value in os.environ.items() if not name.startswith("DRAVLEN_")}
    for config, env, args, status, seen_by_a, seen_by_b in cases:
        a.log.clear()
        b.log.clear()
        done = subprocess.run([sys.executable, "-m", "dravlen.ftp", *args], capture_output=True, timeout=60,
                              env={**base, "HOME": str(tmp_path), "DRAVLEN_CONFIG": str(config), **env})
        assert done.returncode == status, (args, done)
        if status:
            assert b"refused the login of user 'alice'" in done.stderr, (args, done)
        else:
            assert done.stderr == b"" and done.stdout.count(b"f\n") == len(args) - args.index("ls") - 1, done
        assert SECRET.encode() not in done.stderr
        assert (logins(a), logins(b)) == (seen_by_a, seen_by_b), args
