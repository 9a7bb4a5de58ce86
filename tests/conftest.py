"""Fixtures shared by the test modules: the server matrix and path classes bound to it."""

from __future__ import annotations

import os

import pytest

import servers
from servers import certs, home, make_config, server, tls_server  # noqa: F401  (fixtures)

# A proxy in the environment of the machine running the tests would send
# their loopback connections through it: the tests that want one set it.
for _variable in ("ALL_PROXY", "all_proxy", "FTP_PROXY", "ftp_proxy", "NO_PROXY", "no_proxy"):
    os.environ.pop(_variable, None)

# DRAVLEN_TEST_KINDS=pyftpdlib,vsftpd runs the tests parametrized by server
# kind on those kinds only (the rest are deselected and counted as such);
# unset, every kind.  CI's second full interpreter uses it: what differs
# from server to server is proven on the first one, which runs them all.
KINDS_VARIABLE = "DRAVLEN_TEST_KINDS"


def known_kinds() -> set[str]:
    return set(servers.KINDS) | set(getattr(servers, "OLD_KINDS", ()))


def chosen_kinds() -> set[str] | None:
    """The kinds named in DRAVLEN_TEST_KINDS, or None when it is unset."""
    named = os.environ.get(KINDS_VARIABLE, "").strip()
    if not named:
        return None
    chosen = {kind.strip() for kind in named.split(",") if kind.strip()}
    unknown = chosen - known_kinds()
    if unknown:
        raise pytest.UsageError(f"{KINDS_VARIABLE} names unknown server kinds {sorted(unknown)}; "
                                f"known: {sorted(known_kinds())}")
    return chosen


# The fixtures that start a server of the kind they are parametrized with:
# servers.py's, and test_filesystem's ftp, whose parameter is (kind, tls).
# (A parameter elsewhere may name a kind without starting one, as
# test_dialects' styles of the fault server do.)
SERVER_FIXTURES = ("server", "tls_server", "old_server", "ftp")


def kinds_of(item) -> set[str]:
    """The server kinds a collected test runs on, through SERVER_FIXTURES."""
    callspec = getattr(item, "callspec", None)
    if callspec is None:
        return set()
    found = set()
    for name in SERVER_FIXTURES:
        value = callspec.params.get(name)
        if isinstance(value, tuple) and value:
            value = value[0]
        if isinstance(value, str) and value in known_kinds():
            found.add(value)
    return found


def pytest_collection_modifyitems(config, items):
    chosen = chosen_kinds()
    if chosen is None:
        return
    kept, dropped = [], []
    for item in items:
        (dropped if kinds_of(item) - chosen else kept).append(item)
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


def pytest_report_header(config):
    chosen = chosen_kinds()
    if chosen is not None:
        return f"server kinds ({KINDS_VARIABLE}): {', '.join(sorted(chosen))}"
    return None


@pytest.fixture(scope="session")
def config_file(tmp_path_factory):
    """The INI file every connection of the run reads; one section per server."""
    path = tmp_path_factory.mktemp("config") / "dravlen.ini"
    path.write_text("", encoding="utf-8")
    before = os.environ.get("DRAVLEN_CONFIG")
    os.environ["DRAVLEN_CONFIG"] = str(path)
    yield path
    if before is None:
        os.environ.pop("DRAVLEN_CONFIG", None)
    else:
        os.environ["DRAVLEN_CONFIG"] = before


def descriptors() -> dict[int, str]:
    """This process's open descriptors: number -> what it is (a path,
    ``socket:[inode]``, ``pipe:[inode]`` ...)."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            found[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:  # closed meanwhile: the listing's own among them
            pass
    return found


def opened_since(before: dict[int, str]) -> dict[int, str]:
    """The descriptors open now that were not open, as the same thing, in
    *before* (from `descriptors`).  One that an earlier test's leftovers (a
    fault server's session thread still ending) close meanwhile is none of
    them, where a count of descriptors would take it for a mismatch and
    could offset a leak against it."""
    return {fd: what for fd, what in descriptors().items() if before.get(fd) != what}


def bound_class(server, config_file, suffix: str = "", base=None, **options):
    """A subclass of FTPPath (or of *base*) that talks to `server` through its own section."""
    from dravlen.ftp.path import FTPPath

    base = base or FTPPath
    name = f"{server.kind}{suffix}"
    make_config(server, config_file, name=name, **options)
    return type(f"{base.__name__}_{name}", (base,), {"_section": (name,)})


@pytest.fixture(scope="session")
def path_class(server, config_file):
    return bound_class(server, config_file)


@pytest.fixture
def remote(path_class, home):
    """remote("a/b") is the path object of a/b inside the test's own folder."""
    return lambda rel="": path_class(f"{home.remote}/{rel}" if rel else home.remote)


@pytest.fixture(scope="session")
def remote_path_class(server, config_file):
    from dravlen.ftp.remote import RemotePath

    return bound_class(server, config_file, suffix="-remote", base=RemotePath)


@pytest.fixture
def rpath(remote_path_class, home):
    """rpath("a/b") is the RemotePath of a/b inside the test's own folder."""
    return lambda rel="": remote_path_class(f"{home.remote}/{rel}" if rel else home.remote)
