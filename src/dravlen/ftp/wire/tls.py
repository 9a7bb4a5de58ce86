"""FTPS: the TLS client and the TLS contexts made from a section's settings.

`TLSClient` is `ftplib.FTP_TLS` with three changes:

* with ``implicit`` set, TLS starts at the first byte, before the greeting
  (implicit FTPS, port 990), rather than after ``AUTH TLS``;

* each data connection resumes the control connection's TLS session.  vsftpd
  (``require_ssl_reuse=YES``, its default) and ProFTPD refuse a data
  connection that does not, so a plain ``FTP_TLS`` cannot move a byte there;
* its TLS sockets behave like plain ones when read without blocking: a read
  that has no whole record yet says "nothing yet" (``EAGAIN``) rather than
  raising `ssl.SSLWantReadError`, and the end of the stream is noted, so that
  the control connection can be brought back in step after an abandoned
  transfer, as with plain FTP.

Certificates and host names are checked by default, against the system's CA
store or the section's ``cafile``; ``verify = false`` turns both checks off.
A section's ``certfile`` (and ``keyfile``) is the client certificate the
context presents to a server that asks for one.
"""

from __future__ import annotations

import errno
import ftplib
import functools
import os
import socket
import ssl
from typing import Any

from dravlen.config import ConfigError
from dravlen.ftp.settings import FTPSettings
from dravlen.ftp.wire.client import Bounded

__all__ = ["TLSClient", "context_for"]


class _Socket(ssl.SSLSocket):
    """A TLS socket whose non-blocking reads look like a plain socket's."""

    at_eof = False

    def recv_into(self, buffer: Any, nbytes: int | None = None, flags: int = 0) -> int:
        try:
            got = super().recv_into(buffer, nbytes, flags)
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
            raise BlockingIOError(errno.EAGAIN, "no whole TLS record yet") from None
        if got == 0 and (nbytes or len(memoryview(buffer))):
            self.at_eof = True
        return got

    def unwrap(self) -> Any:
        # ftplib ends each data connection with a TLS shutdown.  A server
        # that closed it first (pyftpdlib does, before it has finished its
        # side of the handshake, after an empty listing) makes that fail,
        # though everything was moved; the transfer's own reply on the
        # control connection still says whether it succeeded.
        try:
            return super().unwrap()
        except (ssl.SSLError, OSError):
            return None


_Stamp = tuple[int, int] | None


def _stamp(path: str) -> _Stamp:
    if not path:
        return None
    info = os.stat(path)
    return info.st_mtime_ns, info.st_size


class _Unusable(Exception):
    """The client certificate or its key could not be loaded: why."""


def _no_passphrase() -> bytes:
    # Without this, OpenSSL would ask at the terminal, in whatever thread.
    raise _Unusable("its key is protected by a passphrase, which dravlen cannot take (save the key without one)")


@functools.lru_cache(maxsize=32)
def _context(verify: bool, cafile: str, stamp: _Stamp, certfile: str, keyfile: str,
             cert_stamps: tuple[_Stamp, _Stamp]) -> ssl.SSLContext:
    context = ssl.create_default_context(cafile=cafile or None)
    if not verify:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    if certfile:
        try:
            context.load_cert_chain(certfile, keyfile or None, password=_no_passphrase)
        except ssl.SSLError as exc:
            raise _Unusable(f"no PEM certificate with its private key ({exc.reason or exc}; a key in a file"
                            " of its own is named by keyfile)") from None
        except OSError as exc:
            raise _Unusable(f"unreadable ({exc.strerror or exc})") from None
    context.sslsocket_class = _Socket
    return context


def context_for(settings: FTPSettings) -> ssl.SSLContext:
    """The TLS context for *settings*: shared between clients of the same
    ``verify``, ``cafile``, ``certfile`` and ``keyfile``, made again when
    one of those files changes.  A client certificate or key that cannot be
    used is a `ConfigError` naming the server and the file."""
    try:
        return _context(settings.verify, settings.cafile, _stamp(settings.cafile), settings.certfile,
                        settings.keyfile, (_stamp(settings.certfile), _stamp(settings.keyfile)))
    except _Unusable as exc:
        files = f"{settings.certfile} and {settings.keyfile}" if settings.keyfile else settings.certfile
        raise ConfigError(f"the client certificate for {settings.where} cannot be used: {files}: {exc}") from None


class TLSClient(Bounded, ftplib.FTP_TLS):
    """`ftplib.FTP_TLS` whose data connections resume the control connection's
    TLS session, and which reads its server under the wire's bounds;
    *implicit* true: TLS from the first byte."""

    implicit = False

    def _read_replies(self) -> None:
        # Every reading of replies starts here, the greeting's too: an
        # implicit connection is made TLS before that first read.
        if self.implicit and not isinstance(self.sock, ssl.SSLSocket):
            assert self.sock is not None
            try:
                self.sock = self.context.wrap_socket(self.sock, server_hostname=self.host)
            except BaseException:
                self.sock.close()
                raise
        super()._read_replies()

    def auth(self) -> str:
        reply: str = super().auth()
        # ftplib opened a text file over the TLS socket; the wire's reader reads the replies instead.
        text_file: Any = self.file
        self._read_replies()
        text_file.close()
        return reply

    def ntransfercmd(self, cmd: str, rest: int | str | None = None) -> tuple[socket.socket, int | None]:
        conn, size = Bounded.ntransfercmd(self, cmd, rest)  # plain, through the proxy where there is one
        if self._prot_p:  # type: ignore[attr-defined]
            try:
                session = self.sock.session if isinstance(self.sock, ssl.SSLSocket) else None
                conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
            except BaseException:
                conn.close()
                raise
        return conn, size
