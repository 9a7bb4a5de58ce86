"""pyftpdlib with hashes, in a thread of the tests' process, on loopback.

*style* says what its FEAT announces and it answers: ``"hash"`` the draft's
``HASH`` (``SHA-256`` selected, ``OPTS HASH`` choosing another), ``"x"``
the older ``XSHA256``/``XSHA1``/``XMD5``/``XCRC`` (answered ``250 <hex>``),
None neither.  With ``lie`` set, every hash it tells is of other bytes.
"""

from __future__ import annotations

import hashlib
import threading
import zlib
from typing import ClassVar

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

USER, PASSWORD = "hasher", "secret"
_ALGORITHMS = {"SHA-256": hashlib.sha256, "SHA-1": hashlib.sha1, "MD5": hashlib.md5,
               "CRC32": lambda data: f"{zlib.crc32(data):08x}"}
_OLDER = {"XSHA256": "SHA-256", "XSHA1": "SHA-1", "XMD5": "MD5", "XCRC": "CRC32"}


def _digest(name: str, data: bytes) -> str:
    result = _ALGORITHMS[name](data)
    return result if isinstance(result, str) else result.hexdigest()


class HashHandler(FTPHandler):
    style: str | None = "hash"
    lie = False
    asked: list[str]
    proto_cmds: ClassVar[dict] = {**FTPHandler.proto_cmds, **{
        word: {"perm": "r", "auth": True, "arg": True, "help": f"Syntax: {word} <SP> file-name"}
        for word in ("HASH", *_OLDER)}}

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.selected = "SHA-256"

    def _told(self, name: str, path: str) -> str:
        with open(path, "rb") as f:
            data = f.read()
        type(self).asked.append(name)
        return _digest(name, data + b"!" if self.lie else data)

    def ftp_FEAT(self, line):
        if self.style == "hash":
            self._extra_feats = ["HASH " + ";".join(n + ("*" if n == self.selected else "") for n in _ALGORITHMS)]
        elif self.style == "x":
            self._extra_feats = list(_OLDER)
        return super().ftp_FEAT(line)

    def ftp_OPTS(self, line):
        if line.upper().startswith("HASH") and self.style == "hash":
            name = line[4:].strip().upper()
            if name in _ALGORITHMS:
                self.selected = name
                return self.respond(f"200 {name}")
            return self.respond("501 Unknown algorithm")
        return super().ftp_OPTS(line)

    def ftp_HASH(self, path):
        if self.style != "hash":
            return self.respond('500 Command "HASH" not understood.')
        size = self.fs.getsize(path)
        return self.respond(f"213 {self.selected} 0-{size} {self._told(self.selected, path)} {self.fs.fs2ftp(path)}")

    def _older(self, word, path):
        if self.style != "x":
            return self.respond(f'500 Command "{word}" not understood.')
        return self.respond(f"250 {self._told(_OLDER[word], path)}")


for _word in _OLDER:
    setattr(HashHandler, f"ftp_{_word}", lambda self, path, word=_word: self._older(word, path))


class HashServer:
    """The server over *root* (a folder), until `stop`; `handler`'s class
    attributes (``style``, ``lie``) may be changed between calls, and
    ``handler.asked`` lists the algorithms it computed."""

    host = "127.0.0.1"

    def __init__(self, root, style: str | None = "hash") -> None:
        authorizer = DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, str(root), perm="elradfmwMT")
        self.handler = type("Handler", (HashHandler,), {"style": style, "authorizer": authorizer, "asked": []})
        self.server = FTPServer((self.host, 0), self.handler)
        self.port = self.server.address[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stop.is_set():
            self.server.serve_forever(timeout=0.05, blocking=False)
        self.server.close_all()

    def path_class(self):
        from dravlen.ftp import server

        return server(host=self.host, port=self.port, user=USER, password=PASSWORD, timeout=10)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(5)
