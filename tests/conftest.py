"""Fixtures shared by the test modules: the server matrix and path classes bound to it."""

from __future__ import annotations

import os

import pytest

from servers import certs, home, make_config, server, tls_server  # noqa: F401  (fixtures)


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
