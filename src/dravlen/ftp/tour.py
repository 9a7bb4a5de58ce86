"""A tour of every FTPPath operation, printed as it runs.

    python -m dravlen.ftp.tour                           # against an FTP server embedded on loopback
    python -m dravlen.ftp.tour --url ftps://me@host/     # against your server, named by URL
    python -m dravlen.ftp.tour --section backup          # against a section of your configuration
    python -m dravlen.ftp.tour --configured              # against its [ftp] section

The embedded server is pyftpdlib (``pip install 'dravlen[tour]'``), serving a
temporary folder on 127.0.0.1.  On your own server the tour works in a
folder ``dravlen-tour-<pid>`` that it makes in the login directory (``/``
may not be writable), and removes it at the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from dravlen.ftp.path import FTPPath


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


def _core_class() -> type[FTPPath]:
    from dravlen.ftp.path import FTPPath

    return FTPPath


def _show(label: str, value: object) -> None:
    print(f"{label:<44} {value!r}")


def tour(base: str, path_class: type[FTPPath] | None = None) -> None:
    """Every operation below *base*, on the server of *path_class* (``FTPPath``'s by default)."""
    FTPPath = path_class or _core_class()
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
    parser = argparse.ArgumentParser(prog="python -m dravlen.ftp.tour", description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--url", help="your server, as ftp://[user[:password]@]host[:port]/ or ftps://...")
    where.add_argument("--section", metavar="NAME", help="a section of your configuration")
    where.add_argument("--configured", action="store_true", help="the [ftp] section of your configuration")
    args = parser.parse_args(argv)
    if args.url is not None or args.section is not None or args.configured:
        from dravlen.ftp import server

        try:
            cls = server(args.url) if args.url is not None else server(section=args.section or "ftp")
        except (TypeError, ValueError) as exc:  # ConfigError too
            parser.error(str(exc))
        print(f"on {cls.__name__}, in the login directory")
        tour(f"dravlen-tour-{os.getpid()}", cls)
        return 0
    with tempfile.TemporaryDirectory() as root:
        host, port, embedded = _start_embedded(root)
        try:
            print(f"embedded FTP server on {host}:{port}, serving {root}")
            from dravlen.ftp import server

            tour("/tour", server(host=host, port=port, user="tour", password="tour", timeout=10))
        finally:
            embedded.close_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
