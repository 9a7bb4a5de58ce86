"""A small SOCKS5 or HTTP CONNECT proxy for the tests, on loopback, in threads.

It notes each connection it was asked for (``asked``: host and port as the
client named them) and each it relayed (``relayed``), and may require a
user and password.  *hosts* maps names only it knows to loopback
addresses: a client that connects anywhere but through it finds no such
host.  ``eager`` (HTTP): the proxy's answer and the first bytes
the server sends go out in one write, so that a client that reads the
answer a buffer at a time takes the FTP greeting with it.
"""

from __future__ import annotations

import base64
import ipaddress
import select
import socket
import struct
import threading
from typing import Self
from urllib.parse import quote


class ProxyServer:
    def __init__(self, kind: str, user: str | None = None, password: str | None = None,
                 eager: bool = False, hosts: dict[str, str] | None = None) -> None:
        assert kind in ("socks5", "http")
        self.kind, self.user, self.password, self.eager = kind, user, password, eager
        self.hosts = hosts or {}
        self.asked: list[tuple[str, int]] = []
        self.relayed: list[tuple[str, int]] = []
        self.logins = 0  # credentials checked, good or bad
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._threads: list[threading.Thread] = []
        self._sockets: list[socket.socket] = []
        self._stopping = False
        self._start(self._accept)

    def url(self, user: str | None = None, password: str | None = None, scheme: str | None = None) -> str:
        """The proxy's URL with *user* and *password* (its own where not given)."""
        user = self.user if user is None else user
        password = self.password if password is None else password
        auth = f"{quote(user, safe='')}:{quote(password or '', safe='')}@" if user else ""
        return f"{scheme or self.kind}://{auth}127.0.0.1:{self.port}"

    def stop(self) -> None:
        """Close the listener and every connection (the clients' included,
        which they find closed), and wait for the threads."""
        self._stopping = True
        self._listener.close()
        with self._lock:
            for sock in self._sockets:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for thread in self._threads:
            thread.join(5)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _start(self, target, *args) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    def _accept(self) -> None:
        self._listener.settimeout(0.1)  # to see `stop`: closing it does not end accept()
        while not self._stopping:
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            self._start(self._serve, conn)

    def _keep(self, sock: socket.socket) -> socket.socket:
        with self._lock:
            self._sockets.append(sock)
        return sock

    def _serve(self, conn: socket.socket) -> None:
        conn.settimeout(10)
        self._keep(conn)
        upstream = None
        try:
            upstream = self._socks(conn) if self.kind == "socks5" else self._http(conn)
            if upstream is not None:
                _relay(conn, upstream)
        except OSError:
            pass
        finally:
            conn.close()
            if upstream is not None:
                upstream.close()

    def _note(self, where: list[tuple[str, int]], host: str, port: int) -> None:
        with self._lock:
            where.append((host, port))

    def _login(self, user: str, password: str) -> bool:
        with self._lock:
            self.logins += 1
        return (user, password) == (self.user, self.password)

    def _connect(self, host: str, port: int) -> socket.socket | None:
        self._note(self.asked, host, port)
        try:
            upstream = self._keep(socket.create_connection((self.hosts.get(host, host), port), 10))
        except OSError:
            return None
        self._note(self.relayed, host, port)
        return upstream

    def _socks(self, conn: socket.socket) -> socket.socket | None:
        version, count = _exactly(conn, 2)
        methods = _exactly(conn, count)
        wanted = 2 if self.user else 0
        if version != 5 or wanted not in methods:
            conn.sendall(b"\x05\xff")
            return None
        conn.sendall(bytes([5, wanted]))
        if wanted == 2:
            _, size = _exactly(conn, 2)
            user = _exactly(conn, size).decode()
            password = _exactly(conn, _exactly(conn, 1)[0]).decode()
            good = self._login(user, password)
            conn.sendall(b"\x01\x00" if good else b"\x01\x01")
            if not good:
                return None
        _, command, _, kind = _exactly(conn, 4)
        if kind == 1:
            host = str(ipaddress.IPv4Address(_exactly(conn, 4)))
        elif kind == 4:
            host = str(ipaddress.IPv6Address(_exactly(conn, 16)))
        else:
            host = _exactly(conn, _exactly(conn, 1)[0]).decode()
        port = struct.unpack("!H", _exactly(conn, 2))[0]
        upstream = self._connect(host, port) if command == 1 else None
        conn.sendall(b"\x05" + (b"\x00" if upstream is not None else b"\x05") + b"\x00\x01" + bytes(6))
        return upstream

    def _http(self, conn: socket.socket) -> socket.socket | None:
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            byte = conn.recv(1)
            if not byte:
                return None
            head += byte
        request, *headers = head.decode("latin-1").split("\r\n")
        verb, authority, _ = request.split(" ")
        if self.user:
            given = dict(line.split(": ", 1) for line in headers if ": " in line).get("Proxy-Authorization", "")
            scheme, _, secret = given.partition(" ")
            user, _, password = base64.b64decode(secret).decode().partition(":") if secret else ("", "", "")
            if scheme != "Basic" or not self._login(user, password):
                conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: Basic realm=\"tests\"\r\nContent-Length: 0\r\n\r\n")
                return None
        host, _, port = authority.rpartition(":")
        upstream = self._connect(host.strip("[]"), int(port)) if verb == "CONNECT" else None
        if upstream is None:
            conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return None
        answer = b"HTTP/1.1 200 Connection established\r\n\r\n"
        if self.eager and select.select([upstream], [], [], 0.15)[0]:
            answer += upstream.recv(65536)
        conn.sendall(answer)
        return upstream


def _exactly(conn: socket.socket, size: int) -> bytes:
    data = b""
    while len(data) < size:
        more = conn.recv(size - len(data))
        if not more:
            raise ConnectionResetError("the client went")
        data += more
    return data


def _relay(a: socket.socket, b: socket.socket) -> None:
    """Bytes both ways until both sides have ended; an end is passed on as
    one (an upload's end is how the server knows it is whole)."""
    other = {a: b, b: a}
    while other:
        ready, _, _ = select.select(list(other), [], [], 60)
        if not ready:
            return
        for sock in ready:
            try:
                data = sock.recv(65536)
            except OSError:
                data = b""
            if data:
                other[sock].sendall(data)
                continue
            try:
                other.pop(sock).shutdown(socket.SHUT_WR)
            except OSError:
                pass


def silent_port() -> tuple[socket.socket, int]:
    """A listening socket that accepts connections and never answers (the
    caller closes it), and its port."""
    listener = socket.create_server(("127.0.0.1", 0))
    return listener, listener.getsockname()[1]


def dead_port() -> int:
    """A loopback port that nothing listens on (connections are refused)."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return listener.getsockname()[1]
