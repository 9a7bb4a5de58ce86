"""A TLS upload's pacing on a local link (dravlen.ftp.wire.pacing): it never
loses or reorders a byte, and it stops waiting on a reader slower than the link."""

from __future__ import annotations

import os
import socket
import ssl
import sys
import threading

import pytest
import servers

from dravlen.ftp.wire import pacing

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="the kernel tells the round trip on Linux only")

DATA = os.urandom(3 << 20)


@pytest.fixture
def link(certs):
    """A TLS connection over loopback: (sending end, receiving end), whose
    buffers hold a few MiB unread (set before the handshake, which fixes the
    window's scale)."""
    host = servers.ADDRESSES["pyftpdlib"]
    serving = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    serving.load_cert_chain(certs.cert, certs.key)
    with socket.socket() as listener:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        listener.bind((host, 0))
        listener.listen()
        raw = socket.socket()
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        raw.connect(listener.getsockname())
        accepted, _ = listener.accept()
    accepted.settimeout(30)
    raw.settimeout(30)
    ends: list[ssl.SSLSocket] = []
    handshake = threading.Thread(target=lambda: ends.append(serving.wrap_socket(accepted, server_side=True)))
    handshake.start()
    sender = ssl.create_default_context(cafile=str(certs.ca)).wrap_socket(raw, server_hostname=host)
    handshake.join(30)
    yield sender, ends[0]
    sender.close()
    ends[0].close()


def _received(receiver: socket.socket, into: bytearray, size: int) -> None:
    while len(into) < size and (chunk := receiver.recv(1 << 16)):
        into += chunk


def test_a_paced_reader_gets_every_byte_in_order(link):
    sender, receiver = link
    got = bytearray()
    reader = threading.Thread(target=_received, args=(receiver, got, len(DATA)))
    reader.start()
    paced = pacing.Sender(sender)
    for at in range(0, len(DATA), 1 << 20):
        paced.send(DATA[at:at + (1 << 20)])
    reader.join(30)
    assert bytes(got) == DATA


def test_a_reader_that_stalls_ends_the_pacing(link):
    # Nothing is read until all is sent: a pacer that went on waiting would
    # spend its patience on every piece.
    sender, receiver = link
    paced = pacing.Sender(sender)
    paced.send(DATA[: 2 << 20])
    assert not paced._paced
    got = bytearray()
    _received(receiver, got, 2 << 20)
    assert bytes(got) == DATA[: 2 << 20]
