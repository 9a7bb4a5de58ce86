"""dravlen's fsspec filesystem: fsspec's own conformance classes, pandas,
pyarrow and Dask on it, and what it says when things go wrong."""

from __future__ import annotations

import posixpath
import re
import shutil
import tempfile
from pathlib import Path

import fsspec
import pytest
from fsspec.tests.abstract import (
    AbstractCopyTests,
    AbstractFixtures,
    AbstractGetTests,
    AbstractOpenTests,
    AbstractPipeTests,
    AbstractPutTests,
)

from servers import start

from dravlen.ftp.filesystem import FTPFileSystem, FTPSFileSystem

CASES = [("pyftpdlib", False), ("pyftpdlib", True), ("vsftpd", False), ("vsftpd", True)]


def _filesystem(srv, **extra):
    if srv.certs is None:
        return FTPFileSystem(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                             timeout=20, **extra)
    return FTPSFileSystem(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                          timeout=20, cafile=str(srv.certs.ca), **extra)


@pytest.fixture(scope="module", params=CASES, ids=[f"{k}{'-tls' if t else ''}" for k, t in CASES])
def ftp(request, certs):
    kind, tls = request.param
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-fs-{kind}-"))
    base.chmod(0o755)
    srv = start(kind, base / "home", certs=certs if tls else None)
    try:
        yield srv, _filesystem(srv)
    finally:
        srv.stop()
        shutil.rmtree(base, ignore_errors=True)


_folders = 0


@pytest.fixture
def folder(ftp, request):
    """A fresh folder in the server's start directory, by its fsspec path."""
    global _folders
    _folders += 1
    name = f"{re.sub(r'[^A-Za-z0-9_]+', '_', request.node.name)[:50]}-{_folders}"
    (ftp[0].root / name).mkdir()
    yield name
    shutil.rmtree(ftp[0].root / name, ignore_errors=True)


class TestConformance(AbstractFixtures, AbstractCopyTests, AbstractGetTests, AbstractPutTests,
                      AbstractOpenTests, AbstractPipeTests):
    @pytest.fixture
    def fs(self, ftp):
        return ftp[1]

    @pytest.fixture
    def fs_join(self):
        return posixpath.join

    @pytest.fixture
    def fs_path(self, folder):
        return folder
