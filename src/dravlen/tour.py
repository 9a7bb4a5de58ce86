"""A tour of every FTPPath operation, printed as it runs.

    python -m dravlen.tour              # against an FTP server embedded on loopback
    python -m dravlen.tour --configured  # against the [ftp] section of your configuration

The embedded server is pyftpdlib (``pip install 'dravlen[tour]'``), serving a
temporary folder on 127.0.0.1; the tour writes a configuration for it and
points ``DRAVLEN_CONFIG`` at it.  With ``--configured`` the tour works below
``/dravlen-tour-<pid>`` on your server and removes it at the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
from pathlib import Path


def _start_embedded(root: str) -> tuple[str, int, object]:
    try:
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import ThreadedFTPServer
    except ImportError:
        sys.exit("the embedded server needs pyftpdlib: pip install 'dravlen[tour]'")
    import logging

    # pyftpdlib logs every command unless its logger is set up already.
    quiet = logging.getLogger("pyftpdlib")
    quiet.addHandler(logging.NullHandler())
    quiet.setLevel(logging.WARNING)
    quiet.propagate = False
    authorizer = DummyAuthorizer()
    authorizer.add_user("tour", "tour", root, perm="elradfmwMT")
    handler = type("TourHandler", (FTPHandler,), {"authorizer": authorizer, "banner": "dravlen tour"})
    server = ThreadedFTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2}, daemon=True).start()
    host, port = server.address[:2]
    return host, port, server


def _show(label: str, value: object) -> None:
    print(f"{label:<44} {value!r}")


def tour(base: str) -> None:
    from dravlen.ftp.path import FTPPath

    top = FTPPath(base)
    _show(f"FTPPath({base!r}).exists", top.exists)
    _show("mkdir() of a nested directory", FTPPath(f"{base}/docs/2026").mkdir())
    _show("is_dir()", FTPPath(f"{base}/docs/2026").is_dir())
    note = FTPPath(f"{base}/docs/2026/note one.txt")
    _show("write(b'hello, ftp\\n')", note.write(b"hello, ftp\n"))
    _show("exists", note.exists)
    _show("is_dir()", note.is_dir())
    _show("read()", note.read())
    _show("mtime", note.mtime)
    with tempfile.TemporaryDirectory() as local:
        Path(local, "sub").mkdir()
        Path(local, "sub", "a.bin").write_bytes(os.urandom(1000))
        Path(local, ".hidden").write_text("dot-file\n")
        _show("upload(local tree)", FTPPath(f"{base}/uploaded").upload(local))
    _show("glob() of the upload", sorted(str(p.path) for p in FTPPath(f"{base}/uploaded").glob()))
    _show("glob('*.txt')", [str(p.path) for p in FTPPath(f"{base}/docs/2026").glob("*.txt")])
    try:
        FTPPath(f"{base}/missing").read()
    except FileNotFoundError as exc:
        _show("read() of a missing path raises", exc)
    _show("delete() of the whole tree", top.delete())
    _show("exists after delete()", top.exists)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m dravlen.tour", description=__doc__.splitlines()[0])
    parser.add_argument("--configured", action="store_true", help="use the [ftp] section of your configuration")
    args = parser.parse_args(argv)
    if args.configured:
        tour(f"/dravlen-tour-{os.getpid()}")
        return 0
    with tempfile.TemporaryDirectory() as root:
        host, port, server = _start_embedded(root)
        config = Path(root).parent / f"dravlen-tour-{os.getpid()}.ini"
        config.write_text(f"[ftp]\nhost = {host}\nport = {port}\nuser = tour\npassword = tour\ntimeout = 10\n")
        os.environ["DRAVLEN_CONFIG"] = str(config)
        try:
            print(f"embedded FTP server on {host}:{port}, serving {root}")
            tour("/tour")
        finally:
            server.close_all()
            config.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
